// Host-side rules of density operations that Python cannot reach directly:
// single-precision matrix arithmetic, the index helpers, and Kraus checks
// on records that the parser never produces.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

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
