// Owner of one call's device allocation. Release ignores its own error, so a
// buffer can be dropped while another exception propagates.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

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
    const cudaError_t err = cudaMalloc(&p, count * sizeof(T));
    if (err != cudaSuccess) return err;
    ptr_ = static_cast<T*>(p);
    count_ = count;
    return cudaSuccess;
  }

  // Frees now and reports the runtime's answer, for paths that check
  // releases. A refused free keeps the pointer, so the destructor tries again.
  cudaError_t release() noexcept {
    if (ptr_ == nullptr) return cudaSuccess;
    const cudaError_t err = cudaFree(ptr_);
    if (err != cudaSuccess) return err;
    ptr_ = nullptr;
    count_ = 0;
    return err;
  }

  void reset() noexcept {
    if (ptr_ != nullptr) (void)cudaFree(ptr_);
    ptr_ = nullptr;
    count_ = 0;
  }

  T* get() const { return ptr_; }
  std::size_t size() const { return count_; }
  std::size_t bytes() const { return count_ * sizeof(T); }

 private:
  T* ptr_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace qalvane
