// Launch configuration checks, injected launch failures and streams.
#include "helpers.h"
#include "kernels.h"

namespace {

using hostcuda::control::call_count;
using hostcuda::control::fail_nth;

struct Config {
  const char* name;
  dim3 grid, block;
  std::size_t shmem;
  cudaError_t expected;
};

void PrintTo(const Config& config, std::ostream* os) { *os << config.name; }

class LaunchConfig : public HostCudaTest, public ::testing::WithParamInterface<Config> {};

TEST_P(LaunchConfig, IsCheckedBeforeAnythingRuns) {
  const Config& config = GetParam();
  DeviceArray<int> flag(1);
  ASSERT_EQ(cudaMemset(flag.get(), 0, flag.bytes()), cudaSuccess);
  kernels::set_flag(flag.get(), config.grid, config.block, config.shmem);
  EXPECT_EQ(cudaPeekAtLastError(), config.expected);
  EXPECT_EQ(cudaGetLastError(), config.expected);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);  // nothing asynchronous either
  EXPECT_EQ(flag.download()[0], config.expected == cudaSuccess ? 1 : 0);
  EXPECT_EQ(call_count("launch"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LaunchConfig,
    ::testing::Values(
        Config{"minimal", dim3(1), dim3(1), 0, cudaSuccess},
        Config{"block_1024_x", dim3(1), dim3(1024), 0, cudaSuccess},
        Config{"block_1024_y", dim3(1), dim3(1, 1024), 0, cudaSuccess},
        Config{"block_64_z", dim3(1), dim3(1, 1, 64), 0, cudaSuccess},
        Config{"grid_y_65535", dim3(1, 65535), dim3(1), 0, cudaSuccess},
        Config{"shmem_48k", dim3(1), dim3(32), 48 * 1024, cudaSuccess},
        Config{"block_1025_x", dim3(1), dim3(1025), 0, cudaErrorInvalidConfiguration},
        Config{"block_1025_y", dim3(1), dim3(1, 1025), 0, cudaErrorInvalidConfiguration},
        Config{"block_65_z", dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
        Config{"block_product_2048", dim3(1), dim3(64, 32), 0, cudaErrorInvalidConfiguration},
        Config{"block_zero_x", dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration},
        Config{"block_zero_z", dim3(1), dim3(1, 1, 0), 0, cudaErrorInvalidConfiguration},
        Config{"grid_zero_x", dim3(0), dim3(1), 0, cudaErrorInvalidConfiguration},
        Config{"grid_zero_y", dim3(1, 0), dim3(1), 0, cudaErrorInvalidConfiguration},
        Config{"grid_x_2pow31", dim3(2147483648u), dim3(1), 0, cudaErrorInvalidConfiguration},
        Config{"grid_y_65536", dim3(1, 65536), dim3(1), 0, cudaErrorInvalidConfiguration},
        Config{"grid_z_65536", dim3(1, 1, 65536), dim3(1), 0, cudaErrorInvalidConfiguration},
        Config{"shmem_48k_plus_1", dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue}),
    [](const ::testing::TestParamInfo<Config>& param) { return std::string(param.param.name); });

using Launch = HostCudaTest;

TEST_F(Launch, InjectedFailureSetsTheLastErrorAndRunsNothing) {
  DeviceArray<int> flag(1);
  ASSERT_EQ(cudaMemset(flag.get(), 0, flag.bytes()), cudaSuccess);
  fail_nth("launch", 2, cudaErrorLaunchOutOfResources);
  kernels::set_flag(flag.get(), dim3(1), dim3(1), 0);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(flag.download()[0], 1);
  ASSERT_EQ(cudaMemset(flag.get(), 0, flag.bytes()), cudaSuccess);
  kernels::set_flag(flag.get(), dim3(1), dim3(1), 0);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  EXPECT_EQ(flag.download()[0], 0);
  kernels::set_flag(flag.get(), dim3(1), dim3(1), 0);  // injections fire once
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(flag.download()[0], 1);
  EXPECT_EQ(call_count("launch"), 3u);
}

TEST_F(Launch, KnownStreamsRunAndOthersAreInvalidHandles) {
  DeviceArray<int> flag(1);
  for (cudaStream_t stream : {cudaStream_t{nullptr}, cudaStreamLegacy, cudaStreamPerThread}) {
    ASSERT_EQ(cudaMemset(flag.get(), 0, flag.bytes()), cudaSuccess);
    kernels::set_flag(flag.get(), dim3(1), dim3(1), 0, stream);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(flag.download()[0], 1);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  }
  const auto bogus = reinterpret_cast<cudaStream_t>(0x1234);
  ASSERT_EQ(cudaMemset(flag.get(), 0, flag.bytes()), cudaSuccess);
  kernels::set_flag(flag.get(), dim3(1), dim3(1), 0, bogus);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(flag.download()[0], 0);
  EXPECT_EQ(cudaStreamSynchronize(bogus), cudaErrorInvalidResourceHandle);
}

TEST_F(Launch, DynamicSharedMemoryIsOnlyThereDuringALaunch) {
  EXPECT_EQ(hostcuda::dynamic_shared_memory(), nullptr);
}

}  // namespace
