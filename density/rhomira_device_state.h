// A dense 2^n x 2^n density matrix (n <= 15) in the memory of one CUDA
// device, row-major: rho(r, c) at r * 2^n + c.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "density_operation.h"

namespace qalvane::rhomira {

class DeviceDensityState {
 public:
  // Selects the device and allocates 4^n elements; contents undefined.
  DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id);
  ~DeviceDensityState();
  DeviceDensityState(const DeviceDensityState&) = delete;
  DeviceDensityState& operator=(const DeviceDensityState&) = delete;
  DeviceDensityState(DeviceDensityState&& other) noexcept;
  DeviceDensityState& operator=(DeviceDensityState&& other) noexcept;

  void set_zero_state();
  void upload(const void* host, uint64_t count, bool pin);
  void download(void* host, uint64_t count, bool pin) const;
  // A new state on the same device with a device-to-device copy of the buffer.
  DeviceDensityState copy() const;
  // Applies the operations in list order and waits for the device.
  void run_operations(int64_t num_qubits, const std::vector<DensityOperation>& operations);

  uint64_t num_qubits() const { return num_qubits_; }
  uint64_t dimension() const { return dimension_; }
  uint64_t size() const { return size_; }
  bool is_double() const { return is_double_ != 0; }
  int32_t device_id() const { return device_id_; }
  void* data() const { return data_; }
  std::size_t element_size() const { return is_double() ? 16 : 8; }
  std::size_t byte_size() const { return static_cast<std::size_t>(size_) * element_size(); }

  template <typename T>
  CuComplex<T>* data_as() const {
    return static_cast<CuComplex<T>*>(data_);
  }

 private:
  void release() noexcept;

  uint64_t num_qubits_ = 0;
  uint64_t dimension_ = 1;
  uint64_t size_ = 1;
  int32_t is_double_ = 1;
  int32_t device_id_ = 0;
  void* data_ = nullptr;
};

}  // namespace qalvane::rhomira
