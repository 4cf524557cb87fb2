// State shared by the parts of the host runtime.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

namespace hostcuda::detail {

// Every function whose calls are counted; the names are those of the API.
#define HOSTCUDA_FUNCTIONS(X)                                                            \
  X(cudaGetDeviceCount, true)                                                            \
  X(cudaSetDevice, true)                                                                 \
  X(cudaGetDevice, true)                                                                 \
  X(cudaMalloc, true)                                                                    \
  X(cudaFree, true)                                                                      \
  X(cudaMemset, true)                                                                    \
  X(cudaMemsetAsync, true)                                                               \
  X(cudaMemcpy, true)                                                                    \
  X(cudaMemcpyAsync, true)                                                               \
  X(cudaHostRegister, true)                                                              \
  X(cudaHostUnregister, true)                                                            \
  X(cudaStreamSynchronize, true)                                                         \
  X(cudaDeviceSynchronize, true)                                                         \
  X(launch, true)                                                                        \
  X(cudaGetLastError, false)                                                             \
  X(cudaPeekAtLastError, false)                                                          \
  X(cudaGetErrorString, false)                                                           \
  X(cudaGetErrorName, false)                                                             \
  X(cublasCreate, true)                                                                  \
  X(cublasDestroy, true)                                                                 \
  X(cublasSetStream, true)                                                               \
  X(cublasCgemm, true)                                                                   \
  X(cublasZgemm, true)

enum class Fn {
#define HOSTCUDA_ENUM(name, injectable) name,
  HOSTCUDA_FUNCTIONS(HOSTCUDA_ENUM)
#undef HOSTCUDA_ENUM
      kCount
};

// Counts a call; returns the code injected for it, or 0 to go on.
int enter(Fn fn);

// Counts a launch of `kernel` with this block and dynamic shared memory.
void record_launch(const void* kernel, dim3 block, std::size_t shmem);

// The real runtime's text for a code ("unrecognized error code" if unknown).
const char* error_text(int code);

// Records a failure as the calling thread's last error; returns it.
cudaError_t fail(cudaError_t error);

// The calling thread's current device, checked against the device count.
cudaError_t current_device(int* device);
int device_count();
std::size_t memory_limit(int device);
bool valid_stream(cudaStream_t stream);

// The first asynchronous error since the last synchronising call wins.
void record_async_error(cudaError_t error);
// Synchronising calls report (and clear) the pending asynchronous error.
cudaError_t take_async_error();
// What a synchronising call returns: the pending asynchronous error (also
// made the last error), else cudaSuccess.
cudaError_t synchronise();

// Whether [p, p + bytes) lies inside one live device allocation.
bool is_device_range(const void* p, std::size_t bytes);

// Seed of this thread's shuffle generator when it must be restarted (the
// seed was set since the last call); *restart is false otherwise. 0 = off.
std::uint64_t shuffle_seed(bool* restart);

// Bumped by control::reset; per-thread state older than it reverts to defaults.
std::uint64_t generation();

}  // namespace hostcuda::detail
