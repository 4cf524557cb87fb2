// Per-thread device and last error; several threads using the runtime at once.
#include <atomic>
#include <thread>

#include "helpers.h"
#include "kernels.h"

namespace {

using Threads = HostCudaTest;

TEST_F(Threads, CurrentDeviceIsPerThread) {
  hostcuda::control::set_device_count(3);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  int seen_first = -1, seen_after = -1;
  std::thread([&] {
    cudaGetDevice(&seen_first);
    cudaSetDevice(2);
    cudaGetDevice(&seen_after);
  }).join();
  EXPECT_EQ(seen_first, 0);
  EXPECT_EQ(seen_after, 2);
  int mine = -1;
  EXPECT_EQ(cudaGetDevice(&mine), cudaSuccess);
  EXPECT_EQ(mine, 1);
}

TEST_F(Threads, LastErrorIsPerThread) {
  cudaError_t other_before = cudaErrorUnknown, other_after = cudaErrorUnknown;
  EXPECT_EQ(cudaSetDevice(9), cudaErrorInvalidDevice);
  std::thread([&] {
    other_before = cudaPeekAtLastError();
    cudaFree(reinterpret_cast<void*>(0x10));
    other_after = cudaGetLastError();
  }).join();
  EXPECT_EQ(other_before, cudaSuccess);
  EXPECT_EQ(other_after, cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(Threads, ConcurrentAllocationsAndLaunchesStayCorrect) {
  constexpr int kThreads = 6, kRounds = 20;
  const unsigned blocks = 4, n = blocks * kernels::kReduceBlock;
  std::atomic<int> failures{0};
  auto worker = [&](int id) {
    if (id % 2) hostcuda::control::set_shuffle(0);  // exercises the call from threads too
    std::vector<double> in(n);
    for (unsigned i = 0; i < n; ++i) in[i] = static_cast<double>((i + 1) * (id + 1));
    std::vector<double> expected(blocks, 0.0);
    for (unsigned i = 0; i < n; ++i) expected[i / kernels::kReduceBlock] += in[i];
    for (int round = 0; round < kRounds; ++round) {
      double* d_in = nullptr;
      double* d_out = nullptr;
      double* d_scaled = nullptr;
      if (cudaMalloc(&d_in, n * sizeof(double)) != cudaSuccess ||
          cudaMalloc(&d_out, blocks * sizeof(double)) != cudaSuccess ||
          cudaMalloc(&d_scaled, n * sizeof(double)) != cudaSuccess) {
        ++failures;
        return;
      }
      cudaMemcpy(d_in, in.data(), n * sizeof(double), cudaMemcpyHostToDevice);
      kernels::block_sum_static(d_in, d_out, blocks);  // fibers, static shared tile
      kernels::scale(d_in, d_scaled, 2.0, n);          // fast path
      std::vector<double> out(blocks), scaled(n);
      cudaMemcpy(out.data(), d_out, blocks * sizeof(double), cudaMemcpyDeviceToHost);
      cudaMemcpy(scaled.data(), d_scaled, n * sizeof(double), cudaMemcpyDeviceToHost);
      if (out != expected || cudaGetLastError() != cudaSuccess) ++failures;
      for (unsigned i = 0; i < n; ++i)
        if (scaled[i] != 2.0 * in[i]) ++failures;
      cudaFree(d_in);
      cudaFree(d_out);
      cudaFree(d_scaled);
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < kThreads; ++id) threads.emplace_back(worker, id);
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(hostcuda::control::call_count("cudaMalloc"), 3u * kThreads * kRounds);
  EXPECT_EQ(hostcuda::control::call_count("launch"), 2u * kThreads * kRounds);
  EXPECT_EQ(hostcuda::control::live_bytes(), 0u);
}

TEST_F(Threads, BudgetHoldsUnderConcurrentRequests) {
  hostcuda::control::set_memory_limit(0, 10 * 1000);
  std::atomic<int> granted{0};
  std::vector<void*> pointers(40, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i)
        if (cudaMalloc(&pointers[t * 10 + i], 1000) == cudaSuccess) ++granted;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(granted.load(), 10);
  EXPECT_EQ(hostcuda::control::live_bytes(), 10u * 1000);
  for (void* p : pointers) EXPECT_EQ(cudaFree(p), cudaSuccess);
}

}  // namespace
