#include "tovrek_device_state.h"

#include <cuda_runtime.h>

#include <cstring>
#include <stdexcept>

#include "cuda_error.h"
#include "host_transfer.h"
#include "refused_releases.h"

namespace tovrek {

using qalvane::check_cuda;

DeviceState::DeviceState(int64_t n, StateDtype dtype, int32_t device_id)
    : n_(n), dtype_(dtype), device_id_(device_id) {
  if (static_cast<uint64_t>(n) - 1 > 61) throw std::invalid_argument("n must be in [1, 62]");
  num_state_ = int64_t{1} << n;
  check_cuda(cudaSetDevice(device_id_));
  // 2^n elements of 8 or 16 bytes overflow 64 bits from n = 61 (60 for
  // complex128); no device can hold that, so it is an allocation failure.
  if (static_cast<uint64_t>(num_state_) > UINT64_MAX / element_size())
    qalvane::throw_cuda_error(cudaErrorMemoryAllocation);
  check_cuda(qalvane::allocate_device(&data_, byte_size()));
}

DeviceState::~DeviceState() {
  if (data_ == nullptr) return;
  qalvane::ignore_cuda(cudaSetDevice(device_id_));
  qalvane::ignore_cuda(qalvane::free_device(data_, device_id_));
}

void DeviceState::set_zero_state() {
  check_cuda(cudaSetDevice(device_id_));
  check_cuda(cudaMemset(data_, 0, byte_size()));
  if (dtype_ == StateDtype::Complex128) {
    const CuComplex<double> one{1.0, 0.0};
    check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
  } else {
    const CuComplex<float> one{1.0f, 0.0f};
    check_cuda(cudaMemcpy(data_, &one, sizeof(one), cudaMemcpyHostToDevice));
  }
}

void DeviceState::upload(const void* host, int64_t count, bool use_pinned_host) {
  if (count != num_state_)
    throw std::invalid_argument("state size does not match DeviceState size");
  check_cuda(cudaSetDevice(device_id_));
  qalvane::copy_host_device(data_, host, byte_size(), cudaMemcpyHostToDevice, use_pinned_host);
}

void DeviceState::download(void* host, int64_t count, bool use_pinned_host) const {
  if (count != num_state_)
    throw std::invalid_argument("state size does not match DeviceState size");
  check_cuda(cudaSetDevice(device_id_));
  qalvane::copy_host_device(host, data_, byte_size(), cudaMemcpyDeviceToHost, use_pinned_host);
}

}  // namespace tovrek
