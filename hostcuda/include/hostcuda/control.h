// Test controls of the host CUDA runtime: fault injection, budgets, counters.
// Invalid arguments (unknown function names, bad device ordinals, n < 1)
// throw std::invalid_argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostcuda::control {

// Clears injections and restores defaults: memory budgets, one device,
// device 0 and no last error on every thread, shuffling off, counters zero.
// Live allocations stay.
void reset();

// The n-th call (1 = the next) of function `name` fails with `code`
// (cudaError_t, or cublasStatus_t for cublas* names) without doing its work.
// Names: the runtime and cuBLAS entry points, and "launch" for kernel launches.
void fail_nth(const std::string& name, int n, int code);

// The next synchronising call (cudaDeviceSynchronize, cudaStreamSynchronize,
// blocking cudaMemcpy) reports `code` once.
void inject_async_error(int code);

void set_memory_limit(int device, std::size_t bytes);
std::size_t memory_limit(int device);

// 0 to kMaxDevices devices.
constexpr int kMaxDevices = 64;
void set_device_count(int count);
int device_count();

// Over all devices; bytes as requested.
std::size_t live_allocations();
std::size_t live_bytes();
std::size_t live_cublas_handles();

// Calls since the last reset, failed ones included.
std::uint64_t call_count(const std::string& name);

// Launches since the last reset (those not failed by injection), one record
// per kernel, block shape and dynamic shared memory. A kernel is named by
// the loaded object holding it and its offset there, which the object's
// symbol table turns into the kernel's (mangled) name; `symbol` is that name
// where the object exports it, else empty.
struct LaunchRecord {
  const void* kernel;
  std::string object;
  std::uintptr_t offset;
  std::string symbol;
  unsigned block[3];
  std::size_t dynamic_shared;
  std::uint64_t launches;
};
std::vector<LaunchRecord> launch_records();

// Nonzero: block order, thread start order and resume order after barriers
// follow a generator seeded with `seed` (restarted by each call). 0: off.
void set_shuffle(std::uint64_t seed);

std::string error_string(int code);

}  // namespace hostcuda::control
