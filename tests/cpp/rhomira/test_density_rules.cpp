// Host-side rules of density operations that Python cannot reach directly:
// single-precision matrix arithmetic, the index helpers, and Kraus checks
// on records that the parser never produces.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "density_tile.cuh"
#include "device_targets.h"
#include "kraus_operation.h"
#include "operation_matrices.h"

namespace qalvane::rhomira {
namespace {

DensityOperation gate(const std::string& name, std::vector<int64_t> targets,
                      std::vector<double> parameters = {}) {
  DensityOperation op;
  op.name = name;
  op.targets = std::move(targets);
  op.parameters = std::move(parameters);
  return op;
}

TEST(OperationMatrices, SinglePrecisionIsComputedInFloat) {
  const auto m = named_operation_matrix<float>(gate("rx", {0}, {0.3}));
  const float half = 0.3f / 2.0f;
  EXPECT_EQ(m[0].re, std::cos(half));
  EXPECT_EQ(m[1].im, -std::sin(half));
  const auto h = named_operation_matrix<float>(gate("h", {0}));
  EXPECT_EQ(h[0].re, 0.70710677f);
  const auto t = named_operation_matrix<float>(gate("t", {0}));
  EXPECT_EQ(t[3].re, 0.70710677f);
  EXPECT_EQ(t[3].im, 0.70710677f);
  const auto u = named_operation_matrix<float>(gate("u", {0}, {0.1, 0.2, 0.3}));
  const float phase = 0.2f + 0.3f;  // phi + lambda summed in float
  EXPECT_EQ(u[3].re, std::cos(phase) * std::cos(0.1f / 2.0f));
}

TEST(OperationMatrices, DoublePrecisionTable) {
  const auto t = named_operation_matrix<double>(gate("t_dag", {0}));
  EXPECT_EQ(t[3].re, 0.7071067811865476);
  EXPECT_EQ(t[3].im, -0.7071067811865475);
  const auto form = diagonal_form<double>(gate("rz", {0}, {1.0}));
  ASSERT_EQ(form.kind, DiagonalKind::Diagonal);
  EXPECT_EQ(form.d1.re, std::cos(0.5));
  EXPECT_EQ(diagonal_form<double>(gate("gp", {0, 1, 2}, {1.0, 2.0})).kind,
            DiagonalKind::GlobalPhase);
  EXPECT_EQ(diagonal_form<double>(gate("h", {0})).kind, DiagonalKind::NotDiagonal);
  EXPECT_EQ(canonical_operation_name("mcrz"), "rz");
  EXPECT_EQ(canonical_operation_name("CX"), "CX");
}

TEST(DeviceTargets, RestAndPatterns) {
  const DeviceTargets t = make_device_targets({4, 1, 2}, 6);
  EXPECT_EQ(t.num_targets, 3);
  EXPECT_EQ(t.num_rest, 3);
  EXPECT_EQ(t.rest[0], 0);
  EXPECT_EQ(t.rest[1], 3);
  EXPECT_EQ(t.rest[2], 5);
  EXPECT_EQ(t.rest[3], 0);
  EXPECT_EQ(t.targets[3], 0);
  EXPECT_EQ(expand_rest(t, 0b111), 0b101001u);
  EXPECT_EQ(expand_rest(t, 0b010), 0b001000u);
  EXPECT_EQ(target_pattern(t, 0b001), 0b010000u);  // local bit 0 is qubit 4
  EXPECT_EQ(target_pattern(t, 0b110), 0b000110u);
  EXPECT_TRUE(index_active(0b1010, 0b0011, 0b0010));
  EXPECT_FALSE(index_active(0b1011, 0b0011, 0b0010));
}

TEST(DeviceTargets, DepositAndGatherAreInverse) {
  const uint64_t mask = 0b1011'0010'1101;
  EXPECT_EQ(deposit_bits(0b10110, mask), 0b0001'0000'1100u);  // bits 1, 2, 4 -> qubits 2, 3, 8
  for (uint64_t x = 0; x < 64; ++x) {
    EXPECT_EQ(gather_bits(deposit_bits(x, mask), mask), x);
    EXPECT_EQ(deposit_bits(x, mask) & ~mask, 0u);
  }
  EXPECT_EQ(gather_bits(~uint64_t{0}, mask), 0b111'1111u);
  const DeviceTargets t = make_device_targets({4, 1, 2}, 6);
  EXPECT_EQ(target_bits(t), 0b010110u);
  EXPECT_EQ(rest_bits(t, 64), 0b101001u);
  for (uint32_t a = 0; a < 8; ++a) EXPECT_EQ(target_index(t, target_pattern(t, a) | 0b101001), a);
}

// The grid-stride walks step a deposited index; they must agree with
// depositing the stepped index, wrapping at the mask's top.
TEST(DeviceTargets, MaskedStepsFollowTheCompressedIndex) {
  const uint64_t mask = 0b1101'0110'0100;
  const uint64_t size = uint64_t{1} << 6;
  for (uint64_t stride : {uint64_t{1}, uint64_t{3}, uint64_t{16}, uint64_t{37}}) {
    uint64_t x = deposit_bits(5, mask);
    for (uint64_t i = 5 + stride; i < 5 + 3 * size; i += stride) {
      x = masked_add(x, deposit_bits(stride, mask), mask);
      EXPECT_EQ(x, deposit_bits(i % size, mask)) << "stride " << stride << " index " << i;
    }
  }
}

TEST(DeviceTargets, SplitDepositCarriesIntoTheHighPart) {
  // As the fused kernel walks its blocks: rows from b mod 2^11, columns from
  // b >> 11, both on the same 11 inactive qubits; 65535 is its largest grid.
  const uint64_t mask = 0b1110'0111'1010'0111;
  const int low_bits = 11;
  for (uint64_t stride : {uint64_t{5}, uint64_t{2048}, uint64_t{65535}}) {
    SplitDeposit walk(3, stride, low_bits, mask);
    for (uint64_t b = 3, steps = 0; b < (uint64_t{1} << 2 * low_bits) && steps < 4000;
         b += stride, ++steps) {
      ASSERT_EQ(walk.low, deposit_bits(b % 2048, mask)) << "stride " << stride << " b " << b;
      ASSERT_EQ(walk.high, deposit_bits(b >> low_bits, mask)) << "stride " << stride << " b " << b;
      walk.advance();
    }
  }
  SplitDeposit none(0, 7, 0, 0);
  none.advance();
  EXPECT_EQ(none.low, 0u);
  EXPECT_EQ(none.high, 0u);
}

TEST(KrausOperation, RecordsThatTheParserNeverBuilds) {
  DensityOperation op;
  op.kind = DensityOperationKind::Kraus;
  op.targets = {0};
  op.kraus_dimension = 2;
  op.kraus_count = 0;
  try {
    validate_kraus_operation(op, 1);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Kraus operation requires at least one matrix");
  }
  op.kraus_count = 2;
  op.kraus_data.assign(4, {1.0, 0.0});
  try {
    validate_kraus_operation(op, 1);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "invalid Kraus matrix buffer size");
  }
}

TEST(KrausOperation, BuiltinChannelParameters) {
  DensityOperation op;
  op.kind = DensityOperationKind::Kraus;
  op.targets = {0};
  op.kraus_dimension = 2;
  op.kraus_count = 4;
  op.channel_name = "depolarizing";
  op.kraus_data.assign(16, {0.0, 0.0});
  op.kraus_data[5] = {0.25, 3.0};  // only the real part counts
  BuiltinChannel c = builtin_channel(op);
  ASSERT_TRUE(c.recognised);
  EXPECT_EQ(c.kind, density::ChannelKind::Depolarizing);
  EXPECT_EQ(c.parameter, (4.0 * 0.25) * 0.25);
  op.kraus_count = 3;  // wrong count for the name: a general Kraus set
  op.kraus_data.resize(12);
  EXPECT_FALSE(builtin_channel(op).recognised);
  op.channel_name = "phase_damping";
  op.kraus_data[4] = {0.5, 0.0};
  c = builtin_channel(op);
  ASSERT_TRUE(c.recognised);
  EXPECT_EQ(c.parameter, 0.25);
}

}  // namespace
}  // namespace qalvane::rhomira
