// Index arithmetic every density kernel shares: which qubits an operation
// targets, the remaining ("rest") qubits, and how local and compressed
// indices map onto full row/column indices.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "bit_index.cuh"

namespace qalvane::rhomira {

using qalvane::deposit_bits;
using qalvane::gather_bits;
using qalvane::masked_add;
using qalvane::SplitDeposit;

constexpr int kMaxDensityTargets = 6;
constexpr int kMaxDensityQubits = 15;

// Passed by value to the kernels.
struct DeviceTargets {
  int64_t num_targets;                 // k
  int64_t num_rest;                    // n - k
  int64_t targets[kMaxDensityTargets]; // operation order; unused slots 0
  int64_t rest[kMaxDensityQubits];     // non-target qubits ascending; unused slots 0
};

// Targets as given, rest = every other qubit of [0, n) ascending. The caller
// has checked that the targets are distinct, in range and at most six.
inline DeviceTargets make_device_targets(const std::vector<int64_t>& targets, int64_t n) {
  DeviceTargets out{};
  out.num_targets = static_cast<int64_t>(targets.size());
  uint64_t target_bits = 0;
  for (std::size_t j = 0; j < targets.size(); ++j) {
    out.targets[j] = targets[j];
    target_bits |= uint64_t{1} << targets[j];
  }
  int64_t r = 0;
  for (int64_t q = 0; q < n; ++q)
    if ((target_bits >> q & 1) == 0) out.rest[r++] = q;
  out.num_rest = r;
  return out;
}

// Bit i of x placed on qubit qubits[i], for the first count slots.
template <int kSlots>
__host__ __device__ __forceinline__ uint64_t place_bits(const int64_t (&qubits)[kSlots],
                                                        int64_t count, uint64_t x) {
  uint64_t full = 0;
#pragma unroll
  for (int i = 0; i < kSlots; ++i)
    if (i < count && (x >> i & 1)) full |= uint64_t{1} << qubits[i];
  return full;
}

// Spreads a compressed index x in [0, 2^num_rest) onto the rest qubits; the
// target bits of the result are 0.
__host__ __device__ __forceinline__ uint64_t expand_rest(const DeviceTargets& t, uint64_t x) {
  return place_bits(t.rest, t.num_rest, x);
}

// pat(a): bit j of the local index a placed on qubit targets[j].
__host__ __device__ __forceinline__ uint64_t target_pattern(const DeviceTargets& t, uint64_t a) {
  return place_bits(t.targets, t.num_targets, a);
}

// All target qubits as a mask.
__host__ __device__ __forceinline__ uint64_t target_bits(const DeviceTargets& t) {
  uint64_t bits = 0;
#pragma unroll
  for (int j = 0; j < kMaxDensityTargets; ++j)
    if (j < t.num_targets) bits |= uint64_t{1} << t.targets[j];
  return bits;
}

// Target index of a full index: bit j is the value of qubit targets[j].
__host__ __device__ __forceinline__ uint32_t target_index(const DeviceTargets& t, uint64_t x) {
  uint32_t a = 0;
#pragma unroll
  for (int j = 0; j < kMaxDensityTargets; ++j)
    if (j < t.num_targets) a |= static_cast<uint32_t>(x >> t.targets[j] & 1) << j;
  return a;
}

// Non-target qubits of a dim x dim matrix.
__host__ __device__ __forceinline__ uint64_t rest_bits(const DeviceTargets& t, uint64_t dim) {
  return (dim - 1) & ~target_bits(t);
}

// A row or column index takes part in a controlled operation when its control
// bits hold the required values.
__host__ __device__ __forceinline__ bool index_active(uint64_t x, uint64_t control_mask,
                                                      uint64_t control_value) {
  return (x & control_mask) == control_value;
}

}  // namespace qalvane::rhomira
