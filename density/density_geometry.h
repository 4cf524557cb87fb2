// Launch geometries of the density kernels: one-dimensional grids of 256
// threads over a work size, and two-dimensional 32 x 8 grids over the
// dim x dim elements.
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

}  // namespace qalvane::rhomira
