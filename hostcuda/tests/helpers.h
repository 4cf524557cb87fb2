// Shared pieces of the hostcuda tests.
#pragma once

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "hostcuda/control.h"

// Every test starts and ends with default controls and no last error.
class HostCudaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostcuda::control::reset();
    allocations_before_ = hostcuda::control::live_allocations();
  }
  void TearDown() override {
    EXPECT_EQ(hostcuda::control::live_allocations(), allocations_before_) << "leaked allocation";
    hostcuda::control::reset();
  }

 private:
  std::size_t allocations_before_ = 0;
};

// A device array freed on scope exit.
template <class T>
class DeviceArray {
 public:
  explicit DeviceArray(std::size_t n) : n_(n) {
    EXPECT_EQ(cudaMalloc(&p_, n * sizeof(T)), cudaSuccess);
  }
  DeviceArray(const std::vector<T>& values) : DeviceArray(values.size()) { upload(values); }
  ~DeviceArray() { EXPECT_EQ(cudaFree(p_), cudaSuccess); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;

  T* get() const { return p_; }
  std::size_t bytes() const { return n_ * sizeof(T); }
  void upload(const std::vector<T>& values) {
    ASSERT_EQ(values.size(), n_);
    ASSERT_EQ(cudaMemcpy(p_, values.data(), bytes(), cudaMemcpyHostToDevice), cudaSuccess);
  }
  std::vector<T> download() const {
    std::vector<T> values(n_);
    EXPECT_EQ(cudaMemcpy(values.data(), p_, bytes(), cudaMemcpyDeviceToHost), cudaSuccess);
    return values;
  }

 private:
  T* p_ = nullptr;
  std::size_t n_;
};

// 1, 2, 3, ... as doubles: sums are exact.
inline std::vector<double> iota_values(std::size_t n) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i + 1);
  return v;
}
