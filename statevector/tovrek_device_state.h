// The state vector of an n-qubit register in the memory of one CUDA device.
#pragma once

#include <cstdint>

#include "arguments.h"
#include "cu_complex.h"

namespace tovrek {

using qalvane::CuComplex;
using qalvane::StateDtype;

class DeviceState {
 public:
  // Selects the device and allocates 2^n amplitudes; contents undefined.
  DeviceState(int64_t n, StateDtype dtype, int32_t device_id);
  ~DeviceState();
  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;

  void set_zero_state();
  void upload(const void* host, int64_t count, bool use_pinned_host);
  void download(void* host, int64_t count, bool use_pinned_host) const;

  int64_t n() const { return n_; }
  int64_t num_state() const { return num_state_; }
  StateDtype dtype() const { return dtype_; }
  int32_t device_id() const { return device_id_; }
  void* data() const { return data_; }
  std::size_t element_size() const { return dtype_ == StateDtype::Complex128 ? 16 : 8; }
  std::size_t byte_size() const { return static_cast<std::size_t>(num_state_) * element_size(); }

  template <typename T>
  CuComplex<T>* data_as() const {
    return static_cast<CuComplex<T>*>(data_);
  }

 private:
  int64_t n_;
  int64_t num_state_ = 0;
  StateDtype dtype_;
  int32_t device_id_;
  void* data_ = nullptr;
};

}  // namespace tovrek
