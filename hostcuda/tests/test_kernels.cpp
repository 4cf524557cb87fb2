// Kernels from kernels.cu (compiled as C++) running on fibers and the fast path.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "helpers.h"
#include "kernels.h"

namespace {

using Kernels = HostCudaTest;

std::vector<double> block_sums(const std::vector<double>& in, unsigned block) {
  std::vector<double> sums(in.size() / block, 0.0);
  for (std::size_t i = 0; i < in.size(); ++i) sums[i / block] += in[i];
  return sums;
}

TEST_F(Kernels, StaticSharedReductionSumsEveryBlock) {
  const unsigned blocks = 5;
  const std::vector<double> in = iota_values(blocks * kernels::kReduceBlock);
  DeviceArray<double> d_in(in), d_out(blocks);
  kernels::block_sum_static(d_in.get(), d_out.get(), blocks);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_out.download(), block_sums(in, kernels::kReduceBlock));
}

class DynamicShared : public HostCudaTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(DynamicShared, ReductionSumsEveryBlock) {
  const unsigned threads = GetParam(), blocks = 3;
  const std::vector<double> in = iota_values(blocks * threads);
  DeviceArray<double> d_in(in), d_out(blocks);
  kernels::block_sum_dynamic(d_in.get(), d_out.get(), blocks, threads);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_out.download(), block_sums(in, threads));
}

INSTANTIATE_TEST_SUITE_P(Threads, DynamicShared, ::testing::Values(1u, 2u, 64u, 512u, 1024u));

class WarpSum : public HostCudaTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(WarpSum, SyncwarpStepsSumEachWarp) {
  const unsigned threads = GetParam(), blocks = 2;
  const std::vector<double> in = iota_values(blocks * threads);
  DeviceArray<double> d_in(in), d_out(blocks * threads / 32);
  kernels::warp_sum(d_in.get(), d_out.get(), blocks, threads);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_out.download(), block_sums(in, 32));
}

INSTANTIATE_TEST_SUITE_P(Threads, WarpSum, ::testing::Values(32u, 96u, 1024u));

TEST_F(Kernels, SyncwarpWithMaskWaitsForTheMaskedLanesOnly) {
  const unsigned threads = 64;
  const std::vector<double> in = iota_values(threads);
  DeviceArray<double> d_in(in), d_out(threads);
  kernels::half_warp_swap(d_in.get(), d_out.get(), threads);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  std::vector<double> expected(threads);
  for (unsigned t = 0; t < threads; ++t) expected[t] = t % 32 < 16 ? in[t ^ 1u] : -1.0;
  EXPECT_EQ(d_out.download(), expected);
}

std::vector<double> shifted(const std::vector<double>& in) {
  std::vector<double> out(in.begin() + 1, in.end());
  out.push_back(0.0);
  return out;
}

TEST_F(Kernels, MissingBarrierGivesWrongResultUnderShuffle) {
  const unsigned threads = 256;
  const std::vector<double> in = iota_values(threads);
  DeviceArray<double> d_in(in), d_out(threads);
  // Unshuffled, threads resume in order and the race stays hidden.
  kernels::shift_left(d_in.get(), d_out.get(), threads, false);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_out.download(), shifted(in));
  int wrong_without = 0, wrong_with = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    hostcuda::control::set_shuffle(seed);
    kernels::shift_left(d_in.get(), d_out.get(), threads, false);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    wrong_without += d_out.download() != shifted(in);
    kernels::shift_left(d_in.get(), d_out.get(), threads, true);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    wrong_with += d_out.download() != shifted(in);
  }
  EXPECT_EQ(wrong_without, 8);
  EXPECT_EQ(wrong_with, 0);
}

TEST_F(Kernels, ShuffleWithTheSameSeedRepeatsTheSameResult) {
  const unsigned threads = 256;
  const std::vector<double> in = iota_values(threads);
  DeviceArray<double> d_in(in), d_out(threads);
  hostcuda::control::set_shuffle(42);
  kernels::shift_left(d_in.get(), d_out.get(), threads, false);
  const std::vector<double> first = d_out.download();
  hostcuda::control::set_shuffle(42);
  kernels::shift_left(d_in.get(), d_out.get(), threads, false);
  EXPECT_EQ(d_out.download(), first);
}

struct Shape {
  dim3 grid, block;
};

class BuiltIns : public HostCudaTest, public ::testing::WithParamInterface<std::tuple<Shape, bool>> {
};

TEST_P(BuiltIns, FastPathAndFibersSeeTheSameIds) {
  const auto [shape, with_barrier] = GetParam();
  const unsigned threads = shape.block.x * shape.block.y * shape.block.z;
  const unsigned blocks = shape.grid.x * shape.grid.y * shape.grid.z;
  DeviceArray<unsigned> d_out(threads * blocks);
  kernels::write_ids(d_out.get(), shape.grid, shape.block, with_barrier);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  std::vector<unsigned> expected;
  for (unsigned bz = 0; bz < shape.grid.z; ++bz)
    for (unsigned by = 0; by < shape.grid.y; ++by)
      for (unsigned bx = 0; bx < shape.grid.x; ++bx)
        for (unsigned tz = 0; tz < shape.block.z; ++tz)
          for (unsigned ty = 0; ty < shape.block.y; ++ty)
            for (unsigned tx = 0; tx < shape.block.x; ++tx)
              expected.push_back(tx | ty << 4 | tz << 8 | bx << 12 | by << 16 | bz << 20 |
                                 blocks << 24);
  EXPECT_EQ(d_out.download(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BuiltIns,
    ::testing::Combine(::testing::Values(Shape{dim3(1), dim3(1)}, Shape{dim3(3), dim3(7)},
                                         Shape{dim3(2, 3, 2), dim3(4, 3, 2)},
                                         Shape{dim3(1, 1, 3), dim3(1, 5, 1)}),
                       ::testing::Bool()));

TEST_F(Kernels, FastPathRunsLargeLaunches) {
  const unsigned n = (1u << 20) + 3;
  std::vector<double> x(n);
  for (unsigned i = 0; i < n; ++i) x[i] = i * 0.25;
  DeviceArray<double> d_x(x), d_y(n);
  kernels::scale(d_x.get(), d_y.get(), -2.0, n);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<double> y = d_y.download();
  for (unsigned i = 0; i < n; ++i) ASSERT_EQ(y[i], -2.0 * x[i]) << i;
}

TEST_F(Kernels, BarrierReachedOnFastPathIsALaunchFailure) {
  DeviceArray<double> d_out(64 * 4);
  kernels::barrier_after_first_block(d_out.get(), 4);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // reported asynchronously
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);  // reported once
}

TEST_F(Kernels, BarrierCompletesWithoutExitedThreads) {
  const unsigned threads = 128;
  const std::vector<double> in = iota_values(threads);
  DeviceArray<double> d_in(in), d_out(1);
  kernels::early_exit_sum(d_in.get(), d_out.get(), threads);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_out.download()[0], 64.0 * 65.0 / 2.0);
}

TEST_F(Kernels, DeadlockedBarriersAreALaunchFailure) {
  DeviceArray<double> d_out(64);
  kernels::deadlock(d_out.get());
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  // The block still ran to its end, so nothing is left suspended.
  EXPECT_EQ(d_out.download(), std::vector<double>(64, 1.0));
}

std::vector<unsigned> block_order(unsigned blocks) {
  DeviceArray<unsigned> d_counter(1), d_order(blocks);
  EXPECT_EQ(cudaMemset(d_counter.get(), 0, sizeof(unsigned)), cudaSuccess);
  kernels::record_block_order(d_counter.get(), d_order.get(), blocks);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(d_counter.download()[0], blocks);
  return d_order.download();
}

TEST_F(Kernels, BlocksRunInOrderUnlessShuffled) {
  const unsigned blocks = 64;
  std::vector<unsigned> identity(blocks);
  std::iota(identity.begin(), identity.end(), 0u);
  EXPECT_EQ(block_order(blocks), identity);
  hostcuda::control::set_shuffle(7);
  std::vector<unsigned> order = block_order(blocks);
  EXPECT_NE(order, identity);
  std::sort(order.begin(), order.end());
  EXPECT_EQ(order, identity);  // still every block exactly once
}

TEST_F(Kernels, AtomicAddsOfEveryType) {
  const unsigned blocks = 6, threads = 100;
  DeviceArray<int> i(1);
  DeviceArray<unsigned long long> u(1);
  DeviceArray<float> f(1);
  DeviceArray<double> d(1);
  ASSERT_EQ(cudaMemset(i.get(), 0, i.bytes()), cudaSuccess);
  ASSERT_EQ(cudaMemset(u.get(), 0, u.bytes()), cudaSuccess);
  ASSERT_EQ(cudaMemset(f.get(), 0, f.bytes()), cudaSuccess);
  ASSERT_EQ(cudaMemset(d.get(), 0, d.bytes()), cudaSuccess);
  kernels::atomic_adds(i.get(), u.get(), f.get(), d.get(), blocks, threads);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(i.download()[0], 600);
  EXPECT_EQ(u.download()[0], 600ull);
  EXPECT_EQ(f.download()[0], 300.0f);
  EXPECT_EQ(d.download()[0], 300.0);
}

struct ShuffleResults {
  std::vector<double> out;
  std::vector<long long> wide;
  std::vector<float> narrow;
  bool operator==(const ShuffleResults& o) const {
    return out == o.out && wide == o.wide && narrow == o.narrow;
  }
};

ShuffleResults run_shuffles(const std::vector<double>& in, unsigned blocks, unsigned threads) {
  DeviceArray<double> d_in(in), d_out(3 * in.size());
  DeviceArray<long long> d_wide(in.size());
  DeviceArray<float> d_narrow(in.size());
  kernels::shuffles(d_in.get(), d_out.get(), d_wide.get(), d_narrow.get(), blocks, threads);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  return {d_out.download(), d_wide.download(), d_narrow.download()};
}

// What CUDA defines for each shuffle of kernels::shuffles, warp by warp.
ShuffleResults expected_shuffles(const std::vector<double>& in) {
  ShuffleResults r{std::vector<double>(3 * in.size()), std::vector<long long>(in.size()),
                   std::vector<float>(in.size())};
  for (std::size_t w = 0; w < in.size(); w += 32) {
    std::vector<double> tail(in.begin() + w, in.begin() + w + 32);
    for (unsigned offset = 16; offset > 0; offset /= 2) {
      const std::vector<double> before = tail;
      for (unsigned l = 0; l < 32; ++l) tail[l] += before[l + offset < 32 ? l + offset : l];
    }
    const double sum = std::accumulate(in.begin() + w, in.begin() + w + 32, 0.0);
    for (unsigned l = 0; l < 32; ++l) {
      const std::size_t i = w + l;
      r.out[3 * i] = sum;
      r.out[3 * i + 1] = tail[l];
      r.out[3 * i + 2] = std::accumulate(in.begin() + w + (l & ~7u), in.begin() + i + 1, 0.0);
      r.wide[i] = static_cast<long long>(w + 31 - l) << 33;
      const unsigned source = l ^ 9u;  // a later group of 8 gives the lane its own value
      r.narrow[i] = static_cast<float>(w + (source < (l & ~7u) + 8 ? source : l));
    }
  }
  return r;
}

class Shuffles : public HostCudaTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(Shuffles, EveryKindReadsItsSourceLaneInAnyResumeOrder) {
  const unsigned threads = GetParam(), blocks = 3;
  const std::vector<double> in = iota_values(blocks * threads);
  const ShuffleResults expected = expected_shuffles(in);
  EXPECT_TRUE(run_shuffles(in, blocks, threads) == expected);
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    hostcuda::control::set_shuffle(seed);
    EXPECT_TRUE(run_shuffles(in, blocks, threads) == expected) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, Shuffles, ::testing::Values(32u, 256u, 1024u));

TEST_F(Kernels, ShuffleWithAPartialMaskIsALaunchFailure) {
  DeviceArray<double> d_out(32);
  kernels::half_mask_shuffle(d_out.get());
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
}

TEST_F(Kernels, TrigFunctionsMatchTheHostLibrary) {
  const unsigned n = 300;
  std::vector<double> x(n);
  for (unsigned i = 0; i < n; ++i) x[i] = -7.0 + 0.05 * i;
  DeviceArray<double> d_x(x), d_out(2 * n);
  DeviceArray<float> d_outf(4 * n);
  kernels::trig(d_x.get(), d_out.get(), d_outf.get(), n);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<double> out = d_out.download();
  const std::vector<float> outf = d_outf.download();
  for (unsigned i = 0; i < n; ++i) {
    EXPECT_DOUBLE_EQ(out[2 * i], std::sin(x[i]));
    EXPECT_DOUBLE_EQ(out[2 * i + 1], std::cos(x[i]));
    const float xf = static_cast<float>(x[i]);
    EXPECT_FLOAT_EQ(outf[4 * i], std::sin(xf));
    EXPECT_FLOAT_EQ(outf[4 * i + 1], std::cos(xf));
    EXPECT_FLOAT_EQ(outf[4 * i + 2], std::sin(xf));
    EXPECT_FLOAT_EQ(outf[4 * i + 3], std::cos(xf));
  }
}

}  // namespace
