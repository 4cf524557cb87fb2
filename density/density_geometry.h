// Launch geometries of the density kernels: one-dimensional grids of 256
// threads over a work size, two-dimensional 32 x 8 grids over the dim x dim
// elements, and grids of 256-thread blocks over shared-memory tiles.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace qalvane::rhomira {

constexpr unsigned kDensityThreads = 256;
constexpr unsigned kElementBlockX = 32;
constexpr unsigned kElementBlockY = 8;

inline dim3 linear_grid(uint64_t work) {
  return dim3(static_cast<unsigned>((work + kDensityThreads - 1) / kDensityThreads));
}

inline dim3 element_grid(int64_t dim) {
  const uint64_t d = static_cast<uint64_t>(dim);
  return dim3(static_cast<unsigned>((d + kElementBlockX - 1) / kElementBlockX),
              static_cast<unsigned>((d + kElementBlockY - 1) / kElementBlockY));
}

inline dim3 element_block() { return dim3(kElementBlockX, kElementBlockY); }

// Tiled kernels: one block row per window of columns along y, and along x a
// grid-stride loop over the lines (row groups or rows): every block walks at
// least kLinesPerBlock lines, and there are at most about kTileBlocks blocks,
// so that each block works out its addressing once for several tiles.
constexpr uint64_t kTileBlocks = 2048;
constexpr uint64_t kLinesPerBlock = 4;

inline dim3 tile_grid(uint64_t lines, uint64_t windows) {
  const uint64_t per_window = windows < kTileBlocks ? kTileBlocks / windows : 1;
  const uint64_t wanted = (lines + kLinesPerBlock - 1) / kLinesPerBlock;
  return dim3(static_cast<unsigned>(wanted < per_window ? wanted : per_window),
              static_cast<unsigned>(windows));
}

}  // namespace qalvane::rhomira
