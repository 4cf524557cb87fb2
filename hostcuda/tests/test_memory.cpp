// Allocation accounting, budgets, copy and memset checks, host registration.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "helpers.h"

namespace {

using hostcuda::control::live_allocations;
using hostcuda::control::live_bytes;
using hostcuda::control::memory_limit;
using hostcuda::control::set_memory_limit;
using Memory = HostCudaTest;

TEST_F(Memory, AllocationsAreAlignedCountedAndFreed) {
  const std::size_t count = live_allocations(), bytes = live_bytes();
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(cudaMalloc(&a, 1000), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&b, 1), cudaSuccess);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 256, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 256, 0u);
  EXPECT_EQ(live_allocations(), count + 2);
  EXPECT_EQ(live_bytes(), bytes + 1001);
  EXPECT_EQ(cudaFree(a), cudaSuccess);
  EXPECT_EQ(live_allocations(), count + 1);
  EXPECT_EQ(live_bytes(), bytes + 1);
  EXPECT_EQ(cudaFree(b), cudaSuccess);
  EXPECT_EQ(live_allocations(), count);
  EXPECT_EQ(live_bytes(), bytes);
}

TEST_F(Memory, FreshAllocationsHoldGarbage) {
  DeviceArray<double> d(16);
  for (double v : d.download()) EXPECT_TRUE(std::isnan(v));
}

TEST_F(Memory, ZeroBytesGiveNullAndFreeOfNullSucceeds) {
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, 0), cudaSuccess);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaMalloc(static_cast<void**>(nullptr), 8), cudaErrorInvalidValue);
}

class OverBudget : public HostCudaTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(OverBudget, FailsWithoutAttempt) {
  set_memory_limit(0, 4096);
  void* held = nullptr;
  ASSERT_EQ(cudaMalloc(&held, 4000), cudaSuccess);
  void* p = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(cudaMalloc(&p, GetParam()), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(live_allocations(), 1u);
  EXPECT_EQ(live_bytes(), 4000u);
  EXPECT_EQ(cudaFree(held), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OverBudget,
                         ::testing::Values(std::size_t{97}, std::size_t{1} << 40, SIZE_MAX,
                                           SIZE_MAX - 100));

TEST_F(Memory, HugeRequestsFailUnderTheDefaultBudget) {
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, SIZE_MAX), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&p, memory_limit(0) + 1), cudaErrorMemoryAllocation);
  EXPECT_EQ(live_allocations(), 0u);
}

TEST_F(Memory, BudgetIsPerDeviceAndFreedBytesReturn) {
  hostcuda::control::set_device_count(2);
  set_memory_limit(0, 100);
  set_memory_limit(1, 200);
  EXPECT_EQ(memory_limit(0), 100u);
  EXPECT_EQ(memory_limit(1), 200u);
  void* p0 = nullptr;
  void* p1 = nullptr;
  ASSERT_EQ(cudaMalloc(&p0, 100), cudaSuccess);
  void* more = nullptr;
  EXPECT_EQ(cudaMalloc(&more, 1), cudaErrorMemoryAllocation);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&p1, 200), cudaSuccess);
  EXPECT_EQ(cudaFree(p0), cudaSuccess);  // frees device 0's budget, whatever is current
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&p0, 100), cudaSuccess);
  EXPECT_EQ(cudaFree(p0), cudaSuccess);
  EXPECT_EQ(cudaFree(p1), cudaSuccess);
}

TEST_F(Memory, DefaultBudgetIsAQuarterOfPhysicalMemory) {
  const std::size_t ram =
      static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE);
  EXPECT_EQ(memory_limit(0), ram / 4);
  EXPECT_THROW(memory_limit(1), std::invalid_argument);
}

TEST_F(Memory, FreeOfUnknownPointersFails) {
  DeviceArray<char> d(512);
  int host = 0;
  EXPECT_EQ(cudaFree(&host), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(d.get() + 1), cudaErrorInvalidValue);  // inside, not the start
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  void* p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 64), cudaSuccess);
  ASSERT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue);  // double free
}

struct Copy {
  const char* name;
  int dst;  // 0 host, 1 device, 2 device near its end
  int src;
  cudaMemcpyKind kind;
  cudaError_t expected;
};

void PrintTo(const Copy& copy, std::ostream* os) { *os << copy.name; }

class Copies : public HostCudaTest, public ::testing::WithParamInterface<Copy> {};

TEST_P(Copies, DirectionAndBoundsAreChecked) {
  const Copy& copy = GetParam();
  constexpr std::size_t kBytes = 64;
  DeviceArray<char> d_dst(kBytes), d_src(kBytes);
  std::vector<char> h_dst(kBytes, 'x'), h_src(kBytes, 'y');
  ASSERT_EQ(cudaMemset(d_src.get(), 'y', kBytes), cudaSuccess);
  ASSERT_EQ(cudaMemset(d_dst.get(), 'x', kBytes), cudaSuccess);
  auto pick = [&](int side, char* host, char* device) {
    return side == 0 ? host : side == 1 ? device : device + 8;
  };
  char* dst = pick(copy.dst, h_dst.data(), d_dst.get());
  char* src = pick(copy.src, h_src.data(), d_src.get());
  for (int async = 0; async < 2; ++async) {
    const cudaError_t result = async ? cudaMemcpyAsync(dst, src, kBytes, copy.kind, nullptr)
                                     : cudaMemcpy(dst, src, kBytes, copy.kind);
    EXPECT_EQ(result, copy.expected) << (async ? "async" : "blocking");
    EXPECT_EQ(cudaGetLastError(), copy.expected);
  }
  std::vector<char> got(kBytes);
  if (copy.dst == 0) got = h_dst;
  else ASSERT_EQ(cudaMemcpy(got.data(), d_dst.get(), kBytes, cudaMemcpyDefault), cudaSuccess);
  const bool copied = copy.expected == cudaSuccess;
  EXPECT_EQ(got, std::vector<char>(kBytes, copied ? 'y' : 'x'));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Copies,
    ::testing::Values(
        Copy{"h2d", 1, 0, cudaMemcpyHostToDevice, cudaSuccess},
        Copy{"d2h", 0, 1, cudaMemcpyDeviceToHost, cudaSuccess},
        Copy{"d2d", 1, 1, cudaMemcpyDeviceToDevice, cudaSuccess},
        Copy{"h2h", 0, 0, cudaMemcpyHostToHost, cudaSuccess},
        Copy{"default_h2d", 1, 0, cudaMemcpyDefault, cudaSuccess},
        Copy{"default_d2h", 0, 1, cudaMemcpyDefault, cudaSuccess},
        Copy{"default_d2d", 1, 1, cudaMemcpyDefault, cudaSuccess},
        Copy{"h2d_given_host_dst", 0, 0, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
        Copy{"h2d_given_device_src", 1, 1, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
        Copy{"d2h_given_host_src", 0, 0, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
        Copy{"d2h_given_device_dst", 1, 1, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
        Copy{"d2d_given_host_src", 1, 0, cudaMemcpyDeviceToDevice, cudaErrorInvalidValue},
        Copy{"h2h_given_device", 1, 0, cudaMemcpyHostToHost, cudaErrorInvalidValue},
        Copy{"h2d_past_the_end", 2, 0, cudaMemcpyHostToDevice, cudaErrorInvalidValue},
        Copy{"d2h_past_the_end", 0, 2, cudaMemcpyDeviceToHost, cudaErrorInvalidValue},
        Copy{"default_past_the_end", 2, 1, cudaMemcpyDefault, cudaErrorInvalidValue},
        Copy{"bad_kind", 1, 0, static_cast<cudaMemcpyKind>(7), cudaErrorInvalidMemcpyDirection}),
    [](const ::testing::TestParamInfo<Copy>& param) { return std::string(param.param.name); });

TEST_F(Memory, CopyFromNullHostPointerFails) {
  DeviceArray<char> d(16);
  EXPECT_EQ(cudaMemcpy(d.get(), nullptr, 16, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(d.get(), nullptr, 0, cudaMemcpyHostToDevice), cudaSuccess);
}

TEST_F(Memory, MemsetStaysInsideOneAllocation) {
  DeviceArray<unsigned char> d(100);
  EXPECT_EQ(cudaMemset(d.get(), 0xab, 100), cudaSuccess);
  EXPECT_EQ(cudaMemset(d.get() + 50, 0xcd, 51), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemsetAsync(d.get() + 50, 0xcd, 51, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemsetAsync(d.get() + 50, 0xcd, 50, nullptr), cudaSuccess);
  unsigned char host[100];
  EXPECT_EQ(cudaMemset(host, 0, sizeof host), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  std::vector<unsigned char> expected(100, 0xab);
  std::fill(expected.begin() + 50, expected.end(), 0xcd);
  EXPECT_EQ(d.download(), expected);
}

TEST_F(Memory, HostRegistrationTracksRanges) {
  std::vector<char> buffer(4096);
  char* p = buffer.data();
  EXPECT_EQ(cudaHostRegister(p, 1024, cudaHostRegisterDefault), cudaSuccess);
  EXPECT_EQ(cudaHostRegister(p, 1024, cudaHostRegisterDefault),
            cudaErrorHostMemoryAlreadyRegistered);
  EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryAlreadyRegistered);
  EXPECT_EQ(cudaHostRegister(p + 1023, 10, 0), cudaErrorHostMemoryAlreadyRegistered);
  EXPECT_EQ(cudaHostRegister(p + 512, 8, 0), cudaErrorHostMemoryAlreadyRegistered);
  EXPECT_EQ(cudaHostRegister(p + 1024, 1024, 0), cudaSuccess);  // adjacent is fine
  EXPECT_EQ(cudaHostUnregister(p + 8), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaHostUnregister(p), cudaSuccess);
  EXPECT_EQ(cudaHostUnregister(p), cudaErrorHostMemoryNotRegistered);
  EXPECT_EQ(cudaHostUnregister(p + 1024), cudaSuccess);
  EXPECT_EQ(cudaHostRegister(nullptr, 16, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaHostRegister(p, 0, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaHostRegister(p, 16, 0x100), cudaErrorInvalidValue);
}

}  // namespace
