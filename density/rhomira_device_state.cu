#include "rhomira_device_state.h"

#include <cuda_runtime.h>

#include <stdexcept>
#include <utility>

#include "cuda_error.h"
#include "host_transfer.h"
#include "refused_releases.h"
#include "rhomira_executor.h"

namespace qalvane::rhomira {

DeviceDensityState::DeviceDensityState(uint64_t num_qubits, bool is_double, int32_t device_id)
    : num_qubits_(num_qubits), is_double_(is_double ? 1 : 0), device_id_(device_id) {
  if (num_qubits > 15)
    throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
  dimension_ = uint64_t{1} << num_qubits;
  size_ = dimension_ * dimension_;
  check_cuda(cudaSetDevice(device_id_));
  check_cuda(allocate_device(&data_, byte_size()));
}

DeviceDensityState::~DeviceDensityState() { release(); }

DeviceDensityState::DeviceDensityState(DeviceDensityState&& other) noexcept
    : num_qubits_(other.num_qubits_),
      dimension_(other.dimension_),
      size_(other.size_),
      is_double_(other.is_double_),
      device_id_(other.device_id_),
      data_(std::exchange(other.data_, nullptr)) {}

DeviceDensityState& DeviceDensityState::operator=(DeviceDensityState&& other) noexcept {
  if (this != &other) {
    release();
    num_qubits_ = other.num_qubits_;
    dimension_ = other.dimension_;
    size_ = other.size_;
    is_double_ = other.is_double_;
    device_id_ = other.device_id_;
    data_ = std::exchange(other.data_, nullptr);
  }
  return *this;
}

void DeviceDensityState::release() noexcept {
  if (data_ == nullptr) return;
  ignore_cuda(cudaSetDevice(device_id_));
  ignore_cuda(free_device(data_, device_id_));
  data_ = nullptr;
}

void DeviceDensityState::set_zero_state() {
  check_cuda(cudaSetDevice(device_id_));
  check_cuda(cudaMemset(data_, 0, byte_size()));
  if (is_double()) {
    const CuComplex<double> one{1.0, 0.0};
    check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
  } else {
    const CuComplex<float> one{1.0f, 0.0f};
    check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
  }
}

void DeviceDensityState::upload(const void* host, uint64_t count, bool pin) {
  if (count != size_)
    throw std::invalid_argument("state size does not match DeviceDensityState size");
  check_cuda(cudaSetDevice(device_id_));
  copy_host_device(data_, host, byte_size(), cudaMemcpyHostToDevice, pin);
}

void DeviceDensityState::download(void* host, uint64_t count, bool pin) const {
  if (count != size_)
    throw std::invalid_argument("state size does not match DeviceDensityState size");
  check_cuda(cudaSetDevice(device_id_));
  copy_host_device(host, data_, byte_size(), cudaMemcpyDeviceToHost, pin);
}

DeviceDensityState DeviceDensityState::copy() const {
  DeviceDensityState result(num_qubits_, is_double(), device_id_);
  check_cuda(cudaSetDevice(device_id_));
  check_cuda(cudaMemcpy(result.data_, data_, byte_size(), cudaMemcpyDeviceToDevice));
  return result;
}

void DeviceDensityState::run_operations(int64_t num_qubits,
                                        const std::vector<DensityOperation>& operations) {
  if (num_qubits < 0 || static_cast<uint64_t>(num_qubits) != num_qubits_)
    throw std::invalid_argument("num_qubits does not match DeviceDensityState");
  check_cuda(cudaSetDevice(device_id_));
  const bool fusion = density_fusion_requested();
  if (is_double())
    execute_operations<double>(*this, num_qubits, operations, fusion);
  else
    execute_operations<float>(*this, num_qubits, operations, fusion);
}

}  // namespace qalvane::rhomira
