// Fault injection by name and count, call counters, devices and reset.
#include <functional>
#include <map>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "helpers.h"
#include "kernels.h"

namespace {

namespace control = hostcuda::control;

struct Target {
  const char* name;
  std::function<cudaError_t(char* device)> call;  // one successful call unless injected
};

void PrintTo(const Target& target, std::ostream* os) { *os << target.name; }

class FailNth : public HostCudaTest, public ::testing::WithParamInterface<Target> {};

TEST_P(FailNth, FailsExactlyTheNthCallWithTheGivenCode) {
  const Target& target = GetParam();
  DeviceArray<char> device(64);
  const std::size_t allocations = control::live_allocations();
  const std::uint64_t calls = control::call_count(target.name);
  control::fail_nth(target.name, 3, cudaErrorNotPermitted);
  EXPECT_EQ(target.call(device.get()), cudaSuccess);
  EXPECT_EQ(target.call(device.get()), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(target.call(device.get()), cudaErrorNotPermitted);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // cleared() checked and consumed it
  EXPECT_EQ(target.call(device.get()), cudaSuccess);
  EXPECT_EQ(control::live_allocations(), allocations);
  EXPECT_GE(control::call_count(target.name), calls + 4);
}

// Checks that a failure was also recorded as the last error, and clears it.
cudaError_t cleared(cudaError_t error) {
  if (error != cudaSuccess) {
    EXPECT_EQ(cudaGetLastError(), error);
  }
  return error;
}

INSTANTIATE_TEST_SUITE_P(
    Functions, FailNth,
    ::testing::Values(
        Target{"cudaMalloc",
               [](char*) {
                 void* p = nullptr;
                 const cudaError_t e = cleared(cudaMalloc(&p, 64));
                 if (e == cudaSuccess) cudaFree(p);
                 return e;
               }},
        Target{"cudaFree",
               [](char*) {
                 void* p = nullptr;
                 cudaMalloc(&p, 64);
                 const cudaError_t e = cleared(cudaFree(p));
                 if (e != cudaSuccess) cudaFree(p);
                 return e;
               }},
        Target{"cudaMemset", [](char* d) { return cleared(cudaMemset(d, 1, 64)); }},
        Target{"cudaMemsetAsync", [](char* d) { return cleared(cudaMemsetAsync(d, 1, 64)); }},
        Target{"cudaMemcpy",
               [](char* d) {
                 char h[64];
                 return cleared(cudaMemcpy(h, d, 64, cudaMemcpyDeviceToHost));
               }},
        Target{"cudaMemcpyAsync",
               [](char* d) {
                 char h[64];
                 return cleared(cudaMemcpyAsync(h, d, 64, cudaMemcpyDeviceToHost));
               }},
        Target{"cudaHostRegister",
               [](char*) {
                 static char h[64];
                 const cudaError_t e = cleared(cudaHostRegister(h, sizeof h, 0));
                 if (e == cudaSuccess) cudaHostUnregister(h);
                 return e;
               }},
        Target{"cudaHostUnregister",
               [](char*) {
                 static char h[64];
                 cudaHostRegister(h, sizeof h, 0);
                 const cudaError_t e = cleared(cudaHostUnregister(h));
                 if (e != cudaSuccess) cudaHostUnregister(h);
                 return e;
               }},
        Target{"cudaSetDevice", [](char*) { return cleared(cudaSetDevice(0)); }},
        Target{"cudaGetDevice",
               [](char*) {
                 int d = -1;
                 return cleared(cudaGetDevice(&d));
               }},
        Target{"cudaGetDeviceCount",
               [](char*) {
                 int n = -1;
                 return cleared(cudaGetDeviceCount(&n));
               }},
        Target{"cudaStreamSynchronize", [](char*) { return cleared(cudaStreamSynchronize(0)); }},
        Target{"cudaDeviceSynchronize", [](char*) { return cleared(cudaDeviceSynchronize()); }},
        Target{"launch",
               [](char* d) {
                 kernels::set_flag(reinterpret_cast<int*>(d), dim3(1), dim3(1), 0);
                 return cudaGetLastError();
               }}),
    [](const ::testing::TestParamInfo<Target>& param) { return std::string(param.param.name); });

using Control = HostCudaTest;

TEST_F(Control, InjectedFailuresDoNoWork) {
  DeviceArray<char> d(8);
  ASSERT_EQ(cudaMemset(d.get(), 'a', 8), cudaSuccess);
  control::fail_nth("cudaMemset", 1, cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset(d.get(), 'b', 8), cudaErrorInvalidValue);
  char h[8] = {};
  control::fail_nth("cudaMemcpy", 1, cudaErrorUnknown);
  EXPECT_EQ(cudaMemcpy(h, d.get(), 8, cudaMemcpyDeviceToHost), cudaErrorUnknown);
  EXPECT_EQ(h[0], 0);
  EXPECT_EQ(d.download(), std::vector<char>(8, 'a'));
  control::set_device_count(2);
  control::fail_nth("cudaSetDevice", 1, cudaErrorUnknown);
  EXPECT_EQ(cudaSetDevice(1), cudaErrorUnknown);
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 0);
}

TEST_F(Control, SeveralInjectionsForOneFunctionFireInTurn) {
  control::fail_nth("cudaDeviceSynchronize", 2, cudaErrorUnknown);
  control::fail_nth("cudaDeviceSynchronize", 1, cudaErrorNotPermitted);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorNotPermitted);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorUnknown);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(Control, CallCountsIncludeFailedCallsAndResetClearsThem) {
  EXPECT_EQ(control::call_count("cudaFree"), 0u);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x10)), cudaErrorInvalidValue);
  EXPECT_EQ(control::call_count("cudaFree"), 2u);
  EXPECT_EQ(control::call_count("cudaMalloc"), 0u);
  cudaGetLastError();
  EXPECT_EQ(control::call_count("cudaGetLastError"), 1u);
  control::reset();
  EXPECT_EQ(control::call_count("cudaFree"), 0u);
  EXPECT_EQ(control::call_count("cudaGetLastError"), 0u);
}

TEST_F(Control, LaunchRecordsCountEachKernelAndConfigurationAsAsked) {
  DeviceArray<int> flag(1);
  kernels::set_flag(flag.get(), dim3(4), dim3(64), 0);
  kernels::set_flag(flag.get(), dim3(1), dim3(64), 0);
  kernels::set_flag(flag.get(), dim3(1), dim3(32, 2), 256);
  kernels::set_flag(flag.get(), dim3(1), dim3(32), 64 * 1024);  // refused, but asked for
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  control::fail_nth("launch", 1, cudaErrorLaunchOutOfResources);
  kernels::set_flag(flag.get(), dim3(1), dim3(16), 0);  // failed by injection: not a launch
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  kernels::scale(nullptr, nullptr, 1.0, 0);  // refused: zero grid
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);

  const std::vector<control::LaunchRecord> records = control::launch_records();
  ASSERT_EQ(records.size(), 4u);
  std::map<std::tuple<unsigned, unsigned, std::size_t>, std::uint64_t> set_flag;
  const void* set_flag_kernel = nullptr;
  for (const control::LaunchRecord& r : records) {
    EXPECT_FALSE(r.object.empty());
    EXPECT_NE(r.offset, 0u);
    EXPECT_EQ(r.block[2], 1u);
    if (r.block[0] == 256) {  // scale
      EXPECT_EQ(r.dynamic_shared, 0u);
      continue;
    }
    if (set_flag_kernel == nullptr) set_flag_kernel = r.kernel;
    EXPECT_EQ(r.kernel, set_flag_kernel);
    set_flag[{r.block[0], r.block[1], r.dynamic_shared}] = r.launches;
  }
  const std::map<std::tuple<unsigned, unsigned, std::size_t>, std::uint64_t> expected = {
      {{64, 1, 0}, 2}, {{32, 2, 256}, 1}, {{32, 1, 64 * 1024}, 1}};
  EXPECT_EQ(set_flag, expected);
  control::reset();
  EXPECT_TRUE(control::launch_records().empty());
}

TEST_F(Control, ResetRestoresDefaults) {
  control::fail_nth("cudaMalloc", 1, cudaErrorMemoryAllocation);
  control::set_device_count(3);
  ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
  control::set_memory_limit(0, 10);
  control::set_shuffle(9);
  control::inject_async_error(cudaErrorLaunchFailure);
  EXPECT_EQ(cudaSetDevice(7), cudaErrorInvalidDevice);
  const std::size_t default_limit = [] {
    control::reset();
    return control::memory_limit(0);
  }();
  EXPECT_GT(default_limit, 10u);
  EXPECT_EQ(control::device_count(), 1);
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 0);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  DeviceArray<char> d(16);  // the injected malloc failure is gone
  EXPECT_NE(d.get(), nullptr);
}

TEST_F(Control, InvalidArgumentsThrow) {
  EXPECT_THROW(control::fail_nth("cudaMallocc", 1, 2), std::invalid_argument);
  EXPECT_THROW(control::fail_nth("cudaMalloc", 0, 2), std::invalid_argument);
  EXPECT_THROW(control::fail_nth("cudaMalloc", 1, 0), std::invalid_argument);
  EXPECT_THROW(control::fail_nth("cudaGetLastError", 1, 2), std::invalid_argument);
  EXPECT_THROW(control::call_count("nope"), std::invalid_argument);
  EXPECT_THROW(control::set_memory_limit(1, 10), std::invalid_argument);
  EXPECT_THROW(control::set_memory_limit(-1, 10), std::invalid_argument);
  EXPECT_THROW(control::set_device_count(-1), std::invalid_argument);
  EXPECT_THROW(control::set_device_count(control::kMaxDevices + 1), std::invalid_argument);
  EXPECT_THROW(control::inject_async_error(0), std::invalid_argument);
}

TEST_F(Control, DeviceCountAndOrdinals) {
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  control::set_device_count(4);
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(cudaSetDevice(3), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(4), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 3);  // unchanged by the bad ordinals
  EXPECT_EQ(cudaGetDevice(nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetDeviceCount(nullptr), cudaErrorInvalidValue);
}

TEST_F(Control, NoDevices) {
  control::set_device_count(0);
  int count = -1;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorNoDevice);
  EXPECT_EQ(control::live_allocations(), 0u);
}

TEST_F(Control, CurrentDeviceBeyondAShrunkCountIsInvalid) {
  control::set_device_count(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  control::set_device_count(1);
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

}  // namespace
