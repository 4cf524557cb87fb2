// Owner of one device allocation. Release ignores its own error, so a buffer
// can be dropped while another exception propagates; a refused free is not
// lost (refused_releases.h).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "cuda_error.h"
#include "refused_releases.h"

namespace qalvane {

template <typename T>
class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  DeviceBuffer(DeviceBuffer&& other) noexcept
      : ptr_(std::exchange(other.ptr_, nullptr)), count_(std::exchange(other.count_, 0)) {}
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ~DeviceBuffer() { reset(); }

  // Allocates count elements on the current device; a byte size that does not
  // fit 64 bits is refused as an allocation failure before reaching the runtime.
  cudaError_t allocate(std::size_t count) {
    reset();
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
      return cudaErrorMemoryAllocation;
    void* p = nullptr;
    const cudaError_t err = allocate_device(&p, count * sizeof(T));
    if (err != cudaSuccess) return err;
    ptr_ = static_cast<T*>(p);
    count_ = count;
    return cudaSuccess;
  }

  // Frees now and reports the runtime's first answer, for paths that check
  // releases; a refused free is retried by free_device, not by this owner.
  cudaError_t release() noexcept {
    const cudaError_t err = free_device(ptr_);
    ptr_ = nullptr;
    count_ = 0;
    return err;
  }

  void reset() noexcept { ignore_cuda(release()); }

  T* get() const { return ptr_; }
  std::size_t size() const { return count_; }
  std::size_t bytes() const { return count_ * sizeof(T); }

 private:
  T* ptr_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace qalvane
