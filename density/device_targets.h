// Index arithmetic every density kernel shares: which qubits an operation
// targets, the remaining ("rest") qubits, and how local and compressed
// indices map onto full row/column indices.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

namespace qalvane::rhomira {

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

// Places the bits of x, lowest first, onto the set bits of mask. A loop over
// the mask: kernels call it to build per-block tables, never per element.
__host__ __device__ __forceinline__ uint64_t deposit_bits(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  for (uint64_t bit = 1; mask != 0; bit <<= 1) {
    const uint64_t low = mask & (~mask + 1);
    if (x & bit) out |= low;
    mask ^= low;
  }
  return out;
}

// Bits of x on the set bits of mask, packed to the bottom (the inverse of
// deposit_bits).
__host__ __device__ __forceinline__ uint64_t gather_bits(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  for (uint64_t bit = 1; mask != 0; bit <<= 1) {
    const uint64_t low = mask & (~mask + 1);
    if (x & low) out |= bit;
    mask ^= low;
  }
  return out;
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

// deposit_bits(a + b, mask) from x = deposit_bits(a, mask) and
// step = deposit_bits(b, mask): the holes are filled with ones so that the
// carries jump over them. A grid-stride loop walks its compressed index this
// way without a bit loop per step; a sum past the mask's top wraps to 0.
__host__ __device__ __forceinline__ uint64_t masked_add(uint64_t x, uint64_t step, uint64_t mask) {
  return ((x | ~mask) + step) & mask;
}

// The index b of a grid-stride loop split into b mod 2^low_bits and
// b >> low_bits, both kept deposited on mask while b steps by stride: two
// masked additions and a carry per step instead of two bit loops.
struct SplitDeposit {
  uint64_t low;
  uint64_t high;
  uint64_t mask;
  uint64_t low_step;
  uint64_t high_step;
  uint64_t carry;  // deposit of 1: what a wrap of the low part adds to the high part

  __host__ __device__ __forceinline__ SplitDeposit(uint64_t first, uint64_t stride, int low_bits,
                                                   uint64_t mask_)
      : low(deposit_bits(first & ((uint64_t{1} << low_bits) - 1), mask_)),
        high(deposit_bits(first >> low_bits, mask_)),
        mask(mask_),
        low_step(deposit_bits(stride & ((uint64_t{1} << low_bits) - 1), mask_)),
        high_step(deposit_bits(stride >> low_bits, mask_)),
        carry(mask_ & (~mask_ + 1)) {}

  __host__ __device__ __forceinline__ void advance() {
    const uint64_t next = masked_add(low, low_step, mask);
    high = masked_add(high, high_step, mask);
    if (next < low) high = masked_add(high, carry, mask);
    low = next;
  }
};

// A row or column index takes part in a controlled operation when its control
// bits hold the required values.
__host__ __device__ __forceinline__ bool index_active(uint64_t x, uint64_t control_mask,
                                                      uint64_t control_value) {
  return (x & control_mask) == control_value;
}

}  // namespace qalvane::rhomira
