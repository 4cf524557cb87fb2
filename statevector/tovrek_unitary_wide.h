// Unitary gates on six or more targets, applied in place, and what the
// launchers of all unitaries share.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "tovrek_kernel_frame.cuh"

namespace tovrek {

// Targets up to which a block stages whole groups in shared memory; beyond,
// groups go through a bounded scratch buffer in batches.
constexpr int kMaxTileTargets = 8;

// Offset of column (or row) c of a group from its base: bit b of c sets the
// b-th listed target.
inline std::vector<uint64_t> column_offsets(const std::vector<int64_t>& targets) {
  std::vector<uint64_t> offsets(std::size_t{1} << targets.size(), 0);
  for (std::size_t c = 1; c < offsets.size(); ++c)
    offsets[c] = offsets[c & (c - 1)] | (uint64_t{1} << targets[__builtin_ctzll(c)]);
  return offsets;
}

// Device memory a wide unitary may take beyond the state and its matrix.
inline std::size_t unitary_scratch_budget(std::size_t state_bytes) {
  constexpr std::size_t kFloor = std::size_t{4} << 20;
  return state_bytes / 16 > kFloor ? state_bytes / 16 : kFloor;
}

// The launcher of cu_unitary for k >= 6 targets (distinct, below n, apart
// from the controls), with the matrix already in the state's precision,
// row-major. Uploads the matrix, runs the kernels, synchronises the stream
// and frees what it allocated; CUDA failures are "CUDA error: <text>".
template <typename T>
void cu_unitary_wide(int64_t n, qalvane::CuComplex<T>* data, const std::vector<int64_t>& targets,
                     const ControlMasks& masks, const std::vector<qalvane::CuComplex<T>>& matrix,
                     cudaStream_t stream);

}  // namespace tovrek
