// The pass plan of Pauli expectation values, and its kernels on grids that
// Python cannot reach: blocks that walk several tiles, tiles of 1 to 1024
// weights, threads that own no term.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cuda_error.h"
#include "device_buffer.h"
#include "pauli_expectation.cuh"

namespace {

using qalvane::PauliKernel;
using qalvane::PauliPlan;
using qalvane::PauliSlot;
using qalvane::PauliTerm;
using qalvane::PauliWeights;

double unit_scale(bool, unsigned) { return 1.0; }

TEST(PauliPlan, SignMaskDropsTheHighestFlippedBit) {
  EXPECT_EQ(qalvane::pauli_sign_mask(0b1011, 0), 0b1011u);
  // Bit 2 is the pair bit: bits 0-1 stay, bits 3.. move down one, bit 2 goes.
  EXPECT_EQ(qalvane::pauli_sign_mask(0b11111, 0b100), 0b1111u);
  EXPECT_EQ(qalvane::pauli_sign_mask(0b01000, 0b100), 0b0100u);
  EXPECT_EQ(qalvane::pauli_sign_mask(uint64_t{1} << 61, uint64_t{1} << 61), 0u);
}

TEST(PauliPlan, GroupsByFlipsAndSplitsLargeGroups) {
  std::vector<PauliTerm> terms;
  for (int k = 0; k < 300; ++k) terms.push_back({0, static_cast<uint64_t>(k)});  // I/Z only
  terms.insert(terms.begin() + 7, PauliTerm{0b10, 0b10});                         // one Y
  terms.push_back({0b1, 0});
  terms.push_back({0b1, 0b1});
  terms.push_back({0b1, 0b100});
  const PauliPlan plan = qalvane::plan_pauli_passes(20, terms, &unit_scale);
  ASSERT_EQ(plan.passes.size(), 4u);
  EXPECT_EQ(plan.passes[0].kernel, PauliKernel::Transform);
  EXPECT_EQ(plan.passes[0].count, 256u);
  EXPECT_EQ(plan.passes[0].tiles, uint64_t{1} << 10);
  EXPECT_EQ(plan.passes[1].kernel, PauliKernel::Transform);  // the other 44 of the group
  EXPECT_EQ(plan.passes[1].count, 44u);
  EXPECT_EQ(plan.passes[2].kernel, PauliKernel::Direct4);  // flips 0b1: three terms
  EXPECT_EQ(plan.passes[2].weights, uint64_t{1} << 19);
  EXPECT_EQ(plan.passes[2].blocks, 32u);
  EXPECT_EQ(plan.passes[3].kernel, PauliKernel::Direct1);
  EXPECT_TRUE(plan.passes[3].odd && !plan.passes[3].even);
  EXPECT_EQ(plan.term_of_slot[7], 8u);  // list order within a group
  EXPECT_EQ(plan.term_of_slot[303], 7u);
  EXPECT_EQ(plan.partials, std::size_t{1024} * 256);
}

TEST(PauliPlan, LargeStatesStayWithinTheBlockCap) {
  const PauliPlan plan = qalvane::plan_pauli_passes(30, {{0, 1}, {0b1, 0}}, &unit_scale);
  EXPECT_EQ(plan.passes[0].blocks, qalvane::kPauliMaxBlocks);
  EXPECT_EQ(plan.passes[1].weights, uint64_t{1} << 29);
}

// Weights straight from two device arrays (nothing flips: pair p is index p).
struct ArrayWeights {
  const double* even;
  const double* odd;
  __host__ __device__ PauliWeights operator()(uint64_t i, uint64_t) const {
    return PauliWeights{even[i], odd[i]};
  }
  static double scale(bool, unsigned) { return 1.0; }
};

struct KernelCase {
  int bits;        // log2 of the weights
  unsigned grid;   // blocks launched
  uint32_t terms;  // slots
};

class PauliKernels : public ::testing::TestWithParam<KernelCase> {};

double expected_sum(const std::vector<double>& even, const std::vector<double>& odd,
                    const PauliSlot& slot) {
  long double sum = 0;
  for (std::size_t p = 0; p < even.size(); ++p) {
    const double v = slot.odd ? odd[p] : even[p];
    sum += __builtin_parityll(p & slot.sign_mask) ? -v : v;
  }
  return static_cast<double>(sum);
}

// Launches the kernel on the given grid and adds the partial sums in block
// order, as the finishing kernel does.
std::vector<double> run_kernel(bool transform, int bits, unsigned grid, const ArrayWeights& source,
                               const std::vector<PauliSlot>& slots) {
  using qalvane::check_cuda;
  const uint32_t count = static_cast<uint32_t>(slots.size());
  qalvane::DeviceBuffer<PauliSlot> device_slots;
  qalvane::DeviceBuffer<double> partials;
  check_cuda(device_slots.allocate(slots.size()));
  check_cuda(partials.allocate(std::size_t{grid} * count));
  check_cuda(cudaMemcpy(device_slots.get(), slots.data(), device_slots.bytes(),
                        cudaMemcpyHostToDevice));
  const int tile_bits = std::min(bits, qalvane::kPauliTileBits);
  if (transform) {
    qalvane::launch_kernel(qalvane::pauli_transform_kernel<ArrayWeights>, dim3(grid),
                           dim3(qalvane::kPauliThreads), 0, nullptr, source, uint64_t{0},
                           uint64_t{0}, tile_bits, uint64_t{1} << (bits - tile_bits),
                           static_cast<const PauliSlot*>(device_slots.get()), count, true, true,
                           partials.get());
  } else {
    qalvane::launch_kernel(qalvane::pauli_direct_kernel<4, ArrayWeights>, dim3(grid),
                           dim3(qalvane::kPauliThreads), 0, nullptr, source, uint64_t{0},
                           uint64_t{0}, uint64_t{1} << bits,
                           static_cast<const PauliSlot*>(device_slots.get()), count,
                           partials.get());
  }
  check_cuda(cudaGetLastError());
  std::vector<double> host(partials.size());
  check_cuda(cudaMemcpy(host.data(), partials.get(), partials.bytes(), cudaMemcpyDeviceToHost));
  std::vector<double> sums(count, 0.0);
  for (unsigned b = 0; b < grid; ++b)
    for (uint32_t k = 0; k < count; ++k) sums[k] += host[b * count + k];
  return sums;
}

TEST_P(PauliKernels, MatchSignedSums) {
  const KernelCase c = GetParam();
  const std::size_t weights = std::size_t{1} << c.bits;
  std::mt19937_64 rng(static_cast<uint64_t>(c.bits * 131 + c.grid));
  std::normal_distribution<double> normal;
  std::vector<double> even(weights), odd(weights);
  for (std::size_t p = 0; p < weights; ++p) {
    even[p] = normal(rng);
    odd[p] = normal(rng);
  }
  std::vector<PauliSlot> slots(c.terms);
  for (uint32_t k = 0; k < c.terms; ++k) {
    slots[k].sign_mask = rng() & (weights - 1);
    slots[k].odd = static_cast<uint32_t>(rng() & 1);
  }
  qalvane::DeviceBuffer<double> device_even, device_odd;
  qalvane::check_cuda(device_even.allocate(weights));
  qalvane::check_cuda(device_odd.allocate(weights));
  qalvane::check_cuda(cudaMemcpy(device_even.get(), even.data(), device_even.bytes(),
                                 cudaMemcpyHostToDevice));
  qalvane::check_cuda(cudaMemcpy(device_odd.get(), odd.data(), device_odd.bytes(),
                                 cudaMemcpyHostToDevice));
  const ArrayWeights source{device_even.get(), device_odd.get()};
  for (const bool transform : {true, false}) {
    if (!transform && c.terms > 4) continue;
    const std::vector<double> sums = run_kernel(transform, c.bits, c.grid, source, slots);
    for (uint32_t k = 0; k < c.terms; ++k)
      EXPECT_NEAR(sums[k], expected_sum(even, odd, slots[k]), 1e-11 * std::sqrt(double(weights)))
          << (transform ? "transform" : "direct") << " term " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grids, PauliKernels,
    ::testing::Values(KernelCase{0, 1, 3}, KernelCase{1, 1, 4}, KernelCase{2, 2, 2},
                      KernelCase{3, 1, 4}, KernelCase{9, 1, 200}, KernelCase{10, 1, 256},
                      KernelCase{13, 3, 256}, KernelCase{12, 2, 1}, KernelCase{15, 5, 4}));

}  // namespace
