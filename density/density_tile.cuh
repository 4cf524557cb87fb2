// Where the threads of a block find their elements of rho when a kernel
// stages a tile in shared memory. Each thread works out its offsets from the
// tile's corner once, when the kernel starts; a tile then costs an addition
// per element, and a grid-stride step one masked addition.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "density_geometry.h"
#include "device_targets.h"

namespace qalvane::rhomira {

constexpr uint32_t kWarp = 32;
constexpr uint32_t kTileWarps = kDensityThreads / kWarp;
// Row pitch of the line tiles: one spare element, so that threads storing
// elements of different lines in one instruction meet different banks.
constexpr uint32_t kTilePitch = kWarp + 1;

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

// A line tile of the three-to-six-target passes: 2^K lines (the members of
// one target group) by 32 companions, stored line after line with pitch
// kTilePitch. In the left pass the lines are the rows rb | pat(l) and the
// companions 32 consecutive columns; in the right pass the tile lies in one
// row, line l being the columns cb | pat(l) of 32 consecutive compressed
// column groups cb. Thread t loads and stores the elements e = t + 256 k in
// memory order (so a warp reads consecutive addresses wherever the targets
// are), and computes lines warp + 8 k of companion lane.
template <int K, bool kLeft>
struct LineTile {
  static constexpr int kLines = 1 << K;
  static constexpr int kPerThread = kLines / static_cast<int>(kTileWarps);
  static_assert(kPerThread >= 1, "line tiles take three to six targets");

  // Element e_k: in the left pass its offset from the tile's corner; in the
  // right pass its column bits (below 2^15) and, above bit 16, its slot.
  uint32_t place[kPerThread];
  uint32_t valid = 0;  // bit k: e_k lies inside rho

  __device__ __forceinline__ LineTile(const DeviceTargets& targets, uint64_t dim) {
    const uint32_t lane = threadIdx.x % kWarp;
    const uint64_t rest = rest_bits(targets, dim);
    const uint64_t low_rest = deposit_bits(kWarp - 1, rest);
    const uint64_t window = target_bits(targets) | low_rest;
    const uint64_t companions = kLeft ? dim : (dim >> K);
#pragma unroll
    for (int k = 0; k < kPerThread; ++k) {
      const uint32_t e = threadIdx.x + kDensityThreads * k;
      if (kLeft) {
        place[k] = static_cast<uint32_t>(target_pattern(targets, e / kWarp) * dim) + lane;
        if (lane < companions) valid |= 1u << k;
      } else {
        const uint64_t column = deposit_bits(e, window);
        const uint32_t slot = target_index(targets, column) * kTilePitch +
                              static_cast<uint32_t>(gather_bits(column, low_rest));
        place[k] = static_cast<uint32_t>(column) | slot << 16;
        if (e < kLines * (companions < kWarp ? companions : kWarp)) valid |= 1u << k;
      }
    }
  }

  __device__ __forceinline__ uint32_t offset(int k) const {
    return kLeft ? place[k] : place[k] & 0xffffu;
  }
  // Line e_k / 32, companion lane in the left pass.
  __device__ __forceinline__ uint32_t slot(int k) const {
    return kLeft ? (threadIdx.x / kWarp + kTileWarps * k) * kTilePitch + threadIdx.x % kWarp
                 : place[k] >> 16;
  }
};

// A block tile of the Kraus and two-target merged kernels: the 2^K rows
// rb | pat(i) of one row group by the columns of 256 / 4^K consecutive
// compressed column groups, in memory order: 256 elements, one per thread,
// stored row after row. The columns of a row are spread over the target bits
// and the lowest rest bits ("window"), so a warp reads 32 consecutive
// addresses whenever the low qubits are targets or rest qubits of the window.
template <int K>
struct BlockTile {
  static constexpr uint32_t kRows = 1u << K;
  static constexpr uint32_t kWidth = kDensityThreads >> K;  // columns per row
  static constexpr uint32_t kGroups = kWidth >> K;          // column groups per window

  uint32_t row;                   // i
  uint32_t column;                // position in the row, memory order
  uint32_t offset;                // from the tile's corner rb * dim + window base
  uint32_t column_bits;           // the column's own bits within that offset
  uint32_t local;                 // target index of the column
  uint32_t group;                 // the column's bits that are not target bits
  uint32_t target_column[kRows];  // the bits that target index s sets in a column
  bool valid;                     // the column lies inside rho

  __device__ __forceinline__ BlockTile(const DeviceTargets& targets, uint64_t dim) {
    row = threadIdx.x / kWidth;
    column = threadIdx.x % kWidth;
    const uint64_t rest = rest_bits(targets, dim);
    const uint64_t window = target_bits(targets) | deposit_bits(kGroups - 1, rest);
    column_bits = static_cast<uint32_t>(deposit_bits(column, window));
    offset = static_cast<uint32_t>(target_pattern(targets, row) * dim) + column_bits;
    local = target_index(targets, column_bits);
    uint32_t target_slots = 0;
#pragma unroll
    for (uint32_t s = 0; s < kRows; ++s) {
      target_column[s] = static_cast<uint32_t>(gather_bits(target_pattern(targets, s), window));
      target_slots |= target_column[s];
    }
    group = column & ~target_slots;
    const uint64_t groups = dim >> K;
    valid = column < kRows * (groups < kGroups ? groups : kGroups);
  }

  // Position, in its row, of the column of this thread's group with target
  // index s.
  __device__ __forceinline__ uint32_t column_of(uint32_t s) const {
    return group | target_column[s];
  }
};

// Base of window w: the compressed column groups from w * groups_per_window on.
__device__ __forceinline__ uint64_t window_base(uint64_t rest, uint64_t w, uint64_t groups_per_window) {
  return deposit_bits(w * groups_per_window, rest);
}

}  // namespace qalvane::rhomira
