// Error texts and names, last-error semantics, asynchronous errors.
#include <cstring>

#include "helpers.h"

namespace {

struct Text {
  cudaError_t code;
  const char* name;
  const char* text;
};

void PrintTo(const Text& t, std::ostream* os) { *os << t.name; }

class ErrorText : public HostCudaTest, public ::testing::WithParamInterface<Text> {};

TEST_P(ErrorText, MatchesTheRealRuntime) {
  const Text& t = GetParam();
  EXPECT_STREQ(cudaGetErrorString(t.code), t.text);
  EXPECT_STREQ(cudaGetErrorName(t.code), t.name);
  EXPECT_EQ(hostcuda::control::error_string(t.code), t.text);
}

// Every code this runtime returns by itself, as libcudart 13.0 prints them.
INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorText,
    ::testing::Values(
        Text{cudaSuccess, "cudaSuccess", "no error"},
        Text{cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
        Text{cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
        Text{cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
             "invalid configuration argument"},
        Text{cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
             "invalid copy direction for memcpy"},
        Text{cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
        Text{cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
        Text{cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle",
             "invalid resource handle"},
        Text{cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
             "an illegal memory access was encountered"},
        Text{cudaErrorHostMemoryAlreadyRegistered, "cudaErrorHostMemoryAlreadyRegistered",
             "part or all of the requested memory range is already mapped"},
        Text{cudaErrorHostMemoryNotRegistered, "cudaErrorHostMemoryNotRegistered",
             "pointer does not correspond to a registered memory region"},
        Text{cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
        Text{cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
        Text{cudaErrorUnknown, "cudaErrorUnknown", "unknown error"}),
    [](const ::testing::TestParamInfo<Text>& param) { return std::string(param.param.name); });

TEST(ErrorCodes, HaveCudaNumericValues) {
  EXPECT_EQ(cudaErrorInvalidValue, 1);
  EXPECT_EQ(cudaErrorMemoryAllocation, 2);
  EXPECT_EQ(cudaErrorInvalidConfiguration, 9);
  EXPECT_EQ(cudaErrorInvalidMemcpyDirection, 21);
  EXPECT_EQ(cudaErrorNoDevice, 100);
  EXPECT_EQ(cudaErrorInvalidDevice, 101);
  EXPECT_EQ(cudaErrorInvalidResourceHandle, 400);
  EXPECT_EQ(cudaErrorIllegalAddress, 700);
  EXPECT_EQ(cudaErrorLaunchOutOfResources, 701);
  EXPECT_EQ(cudaErrorHostMemoryAlreadyRegistered, 712);
  EXPECT_EQ(cudaErrorHostMemoryNotRegistered, 713);
  EXPECT_EQ(cudaErrorLaunchFailure, 719);
  EXPECT_EQ(cudaErrorNotSupported, 801);
  EXPECT_EQ(cudaErrorUnknown, 999);
}

using Errors = HostCudaTest;

TEST_F(Errors, UnknownCodesAreUnrecognized) {
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(5000)), "unrecognized error code");
  EXPECT_STREQ(cudaGetErrorName(static_cast<cudaError_t>(-1)), "unrecognized error code");
}

TEST_F(Errors, GetLastErrorClearsAndPeekDoesNot) {
  EXPECT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaPeekAtLastError(), cudaSuccess);
}

TEST_F(Errors, SuccessfulCallsKeepTheLastError) {
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x10)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(Errors, LatestFailureIsTheLastError) {
  EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaFree(reinterpret_cast<void*>(0x10)), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

enum class Sync { kDevice, kStream, kMemcpy };

class AsyncError : public HostCudaTest, public ::testing::WithParamInterface<Sync> {};

cudaError_t synchronise(Sync how, char* device, char* host) {
  switch (how) {
    case Sync::kDevice:
      return cudaDeviceSynchronize();
    case Sync::kStream:
      return cudaStreamSynchronize(nullptr);
    case Sync::kMemcpy:
      return cudaMemcpy(host, device, 4, cudaMemcpyDeviceToHost);
  }
  return cudaErrorUnknown;
}

TEST_P(AsyncError, IsReportedOnceByTheNextSynchronisingCall) {
  DeviceArray<char> device(4);
  ASSERT_EQ(cudaMemset(device.get(), 'a', 4), cudaSuccess);
  char host[4] = {'z', 'z', 'z', 'z'};
  hostcuda::control::inject_async_error(cudaErrorIllegalAddress);
  // Calls that do not synchronise do not see it.
  EXPECT_EQ(cudaMemcpyAsync(host, device.get(), 1, cudaMemcpyDeviceToHost, nullptr), cudaSuccess);
  EXPECT_EQ(cudaMemset(device.get(), 'b', 4), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(synchronise(GetParam(), device.get(), host), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  if (GetParam() == Sync::kMemcpy) {
    EXPECT_EQ(host[1], 'z');  // the failed copy did nothing
  }
  EXPECT_EQ(synchronise(GetParam(), device.get(), host), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(Calls, AsyncError,
                         ::testing::Values(Sync::kDevice, Sync::kStream, Sync::kMemcpy));

TEST_F(Errors, FirstAsynchronousErrorWins) {
  hostcuda::control::inject_async_error(cudaErrorLaunchFailure);
  hostcuda::control::inject_async_error(cudaErrorIllegalAddress);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

}  // namespace
