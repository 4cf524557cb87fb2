// Bit arithmetic on state indices that the kernels of both modules share:
// opening a zero bit, depositing a counter onto the set or the clear bits of
// a mask, gathering it back, and walking a deposited counter by additions.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace qalvane {

// Set bits of x. On the host without a popcount instruction the builtin is a
// library call; the bit-sliced count is faster there (the fusion planner
// counts masks in its inner loops).
__host__ __device__ __forceinline__ int popcount(uint64_t x) {
#if defined(__CUDA_ARCH__)
  return __popcll(x);
#elif defined(__POPCNT__)
  return __builtin_popcountll(x);
#else
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
#endif
}

// Opens a 0 at the target bit of counter p: bits at and above it move up one.
// U is the counter's unsigned type (32-bit where a tile index suffices).
template <typename U>
__host__ __device__ __forceinline__ U insert_zero_bit(U p, U tmask) {
  return ((p & ~(tmask - 1)) << 1) | (p & (tmask - 1));
}

// Spreads the bits of j, lowest first, over the positions where m is 0.
__host__ __device__ __forceinline__ uint64_t deposit_free_bits(uint64_t j, uint64_t m) {
  while (m != 0) {
    const uint64_t low = (m - 1) & ~m;
    j = ((j & ~low) << 1) | (j & low);
    m &= m - 1;
  }
  return j;
}

// Places the bits of x, lowest first, at the set bits of mask (bits of x
// past the mask's count are dropped). A loop: kernels use it for per-block
// tables and per-tile bases, never per element.
__host__ __device__ __forceinline__ uint64_t deposit_bits(uint64_t x, uint64_t mask) {
  uint64_t out = 0;
  for (; mask != 0 && x != 0; mask &= mask - 1, x >>= 1)
    if (x & 1) out |= mask & (~mask + 1);
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

// deposit_bits of the kBits low bits of x, unrolled, and mask stripped of the
// set bits used: no loop, and the mask's part folds into uniform registers
// when the mask is the same for every thread.
template <int kBits>
__host__ __device__ __forceinline__ uint64_t deposit_low_bits(uint64_t x, uint64_t& mask) {
  uint64_t out = 0;
#pragma unroll
  for (int b = 0; b < kBits; ++b) {
    const uint64_t low = mask & (~mask + 1);
    if (x >> b & 1) out |= low;
    mask ^= low;
  }
  return out;
}

// deposit_bits(a + b, mask) from x = deposit_bits(a, mask) and
// step = deposit_bits(b, mask): the holes are filled with ones so that the
// carries jump over them. A grid-stride loop walks its compressed index this
// way without a bit loop per step; a sum past the mask's top wraps to 0.
__host__ __device__ __forceinline__ uint64_t masked_add(uint64_t x, uint64_t step, uint64_t mask) {
  return ((x | ~mask) + step) & mask;
}

// The index b of a grid-stride loop split into b mod 2^low_bits and
// b >> low_bits, deposited on low_mask and high_mask (one mask for both where
// the parts index the same qubits) and kept so while b steps by stride: two
// masked additions and a carry per step instead of two bit loops.
struct SplitDeposit {
  uint64_t low;
  uint64_t high;
  uint64_t low_mask;
  uint64_t high_mask;
  uint64_t low_step;
  uint64_t high_step;
  uint64_t carry;  // deposit of 1 on high_mask: what a wrap of the low part adds

  __host__ __device__ __forceinline__ SplitDeposit(uint64_t first, uint64_t stride, int low_bits,
                                                   uint64_t low_mask_, uint64_t high_mask_)
      : low(deposit_bits(first & ((uint64_t{1} << low_bits) - 1), low_mask_)),
        high(deposit_bits(first >> low_bits, high_mask_)),
        low_mask(low_mask_),
        high_mask(high_mask_),
        low_step(deposit_bits(stride & ((uint64_t{1} << low_bits) - 1), low_mask_)),
        high_step(deposit_bits(stride >> low_bits, high_mask_)),
        carry(high_mask_ & (~high_mask_ + 1)) {}

  __host__ __device__ __forceinline__ SplitDeposit(uint64_t first, uint64_t stride, int low_bits,
                                                   uint64_t mask)
      : SplitDeposit(first, stride, low_bits, mask, mask) {}

  __host__ __device__ __forceinline__ void advance() {
    const uint64_t next = masked_add(low, low_step, low_mask);
    high = masked_add(high, high_step, high_mask);
    if (next < low) high = masked_add(high, carry, high_mask);
    low = next;
  }
};

}  // namespace qalvane
