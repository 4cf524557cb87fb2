// Where the threads of a block find their elements of rho when a kernel
// stages a tile in shared memory. Each thread works out its offsets from the
// tile's corner once, when the kernel starts; a tile then costs an addition
// per element, and a grid-stride step one masked addition.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>

#include "density_geometry.h"
#include "device_targets.h"

namespace qalvane::rhomira {

constexpr uint32_t kWarp = 32;
constexpr uint32_t kTileWarps = kDensityThreads / kWarp;

// The row groups a block walks in a grid-stride loop, g = blockIdx.x,
// blockIdx.x + gridDim.x, ..., each with its base rb = expand_rest(g).
struct RowGroupWalk {
  uint64_t base;
  uint64_t step;
  uint64_t rest;

  __device__ __forceinline__ explicit RowGroupWalk(uint64_t rest_bits_)
      : base(deposit_bits(blockIdx.x, rest_bits_)),
        step(deposit_bits(gridDim.x, rest_bits_)),
        rest(rest_bits_) {}
  __device__ __forceinline__ void advance() { base = masked_add(base, step, rest); }
};

// Base of window w: the compressed column groups from w * groups_per_window on.
__device__ __forceinline__ uint64_t window_base(uint64_t rest, uint64_t w,
                                                uint64_t groups_per_window) {
  return deposit_bits(w * groups_per_window, rest);
}

// A line tile of the three-to-six-target passes: 2^K lines (the members of
// one target group) by kCompanions companions, stored line after line with
// pitch kCompanions + 1. In the left pass the lines are the rows rb | pat(l)
// and the companions consecutive columns; in the right pass the tile lies in
// one row, line l being the columns cb | pat(l) of consecutive compressed
// column groups cb. Thread t loads and stores the elements e = t + 256 k in
// memory order (so a warp reads consecutive addresses wherever the targets
// are), and computes lines t / kCompanions + kLineStep k of companion
// t mod kCompanions, which are the same elements in the left pass.
template <int K, bool kLeft>
struct LineTile {
  static constexpr uint32_t kLines = 1u << K;
  // A warp wide, and in the left pass at least four elements a thread.
  static constexpr uint32_t kCompanions = kLeft && (1024u >> K) > kWarp ? (1024u >> K) : kWarp;
  // One spare element a line: threads storing different lines meet different banks.
  static constexpr uint32_t kPitch = kCompanions + 1;
  static constexpr uint32_t kLineStep = kDensityThreads / kCompanions;
  static constexpr int kPerThread = static_cast<int>(kLines * kCompanions / kDensityThreads);
  static constexpr std::size_t kSharedElements = std::size_t{kLines} * kPitch;
  static_assert(kPerThread >= 1, "line tiles take three to six targets");

  // Element e_k: in the left pass its offset from the tile's corner; in the
  // right pass its column bits (below 2^15) and, above bit 16, its slot.
  uint32_t place[kPerThread];
  uint32_t valid = 0;  // bit k: e_k lies inside rho

  __device__ __forceinline__ LineTile(const DeviceTargets& targets, uint64_t dim) {
    const uint32_t companion = threadIdx.x % kCompanions;
    const uint64_t rest = rest_bits(targets, dim);
    const uint64_t low_rest = deposit_bits(kCompanions - 1, rest);
    const uint64_t window = target_bits(targets) | low_rest;
    const uint64_t companions = kLeft ? dim : (dim >> K);
#pragma unroll
    for (int k = 0; k < kPerThread; ++k) {
      const uint32_t e = threadIdx.x + kDensityThreads * k;
      if (kLeft) {
        place[k] =
            static_cast<uint32_t>(target_pattern(targets, e / kCompanions) * dim) + companion;
        if (companion < companions) valid |= 1u << k;
      } else {
        const uint64_t column = deposit_bits(e, window);
        const uint32_t slot = target_index(targets, column) * kPitch +
                              static_cast<uint32_t>(gather_bits(column, low_rest));
        place[k] = static_cast<uint32_t>(column) | slot << 16;
        if (e < kLines * (companions < kCompanions ? companions : kCompanions)) valid |= 1u << k;
      }
    }
  }

  __device__ __forceinline__ uint32_t offset(int k) const {
    return kLeft ? place[k] : place[k] & 0xffffu;
  }
  __device__ __forceinline__ uint32_t slot(int k) const {
    return kLeft ? compute_slot(k) : place[k] >> 16;
  }
  // The line this thread computes for k, and where its result goes.
  __device__ __forceinline__ static uint32_t line(int k) {
    return threadIdx.x / kCompanions + kLineStep * k;
  }
  __device__ __forceinline__ static uint32_t compute_slot(int k) {
    return line(k) * kPitch + threadIdx.x % kCompanions;
  }
};

// A block tile of the Kraus and two-target merged kernels: the 2^K rows
// rb | pat(i) of one row group by the columns of 256 / 4^K consecutive
// compressed column groups, in memory order, stored row after row; thread t
// owns the elements e = t + 256 k. One element a thread keeps the registers
// low: with more, the compiler holds the operator entries of every row. The columns of a row are
// spread over the target bits and the lowest rest bits ("window"), so a warp
// reads consecutive addresses whenever the low qubits are targets or rest
// qubits of the window.
template <int K>
struct BlockTile {
  static constexpr uint32_t kRows = 1u << K;
  static constexpr uint32_t kElements = kDensityThreads;
  static constexpr uint32_t kWidth = kElements >> K;  // columns per row
  static constexpr uint32_t kGroups = kWidth >> K;    // column groups per window
  static constexpr int kPerThread = static_cast<int>(kElements / kDensityThreads);

  uint32_t offset[kPerThread];       // from the tile's corner rb * dim + window base
  uint32_t column_bits[kPerThread];  // the column's own bits within that offset
  uint32_t group[kPerThread];        // position in the row with the target bits cleared
  uint32_t local[kPerThread];        // target index of the column
  uint32_t target_column[kRows];     // the bits that target index s sets in a position
  uint32_t valid = 0;                // bit k: the column lies inside rho
  uint64_t rest;                     // the rest qubits
  uint64_t window_start;             // the columns of this block's window (blockIdx.y)

  __device__ __forceinline__ BlockTile(const DeviceTargets& targets, uint64_t dim)
      : rest(rest_bits(targets, dim)), window_start(window_base(rest, blockIdx.y, kGroups)) {
    const uint64_t window = target_bits(targets) | deposit_bits(kGroups - 1, rest);
    uint32_t target_slots = 0;
#pragma unroll
    for (uint32_t s = 0; s < kRows; ++s) {
      target_column[s] = static_cast<uint32_t>(gather_bits(target_pattern(targets, s), window));
      target_slots |= target_column[s];
    }
    const uint64_t groups = dim >> K;
    const uint32_t width = kRows * static_cast<uint32_t>(groups < kGroups ? groups : kGroups);
#pragma unroll
    for (int k = 0; k < kPerThread; ++k) {
      column_bits[k] = static_cast<uint32_t>(deposit_bits(column(k), window));
      offset[k] = static_cast<uint32_t>(target_pattern(targets, row(k)) * dim) + column_bits[k];
      local[k] = target_index(targets, column_bits[k]);
      group[k] = column(k) & ~target_slots;
      if (column(k) < width) valid |= 1u << k;
    }
  }

  __device__ __forceinline__ static uint32_t element(int k) {
    return threadIdx.x + kDensityThreads * k;
  }
  __device__ __forceinline__ static uint32_t row(int k) { return element(k) / kWidth; }
  __device__ __forceinline__ static uint32_t column(int k) { return element(k) % kWidth; }
  // Position, in its row, of the column of element k's group with target
  // index s.
  __device__ __forceinline__ uint32_t column_of(int k, uint32_t s) const {
    return group[k] | target_column[s];
  }
};


}  // namespace qalvane::rhomira
