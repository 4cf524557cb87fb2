// SparseShareMem: a whole fused group applied to each tile of the state in
// shared memory, one launch per group.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "fusion.h"

namespace tovrek::fusion {

constexpr unsigned kSparseShareMemThreads = 128;
constexpr unsigned kMaxGridBlocks = 65535;
constexpr int32_t kSparseShareMemMaxQubits = 10;

template <typename T>
__global__ void sparsesharemem_kernel(CuComplex<T>* state, uint64_t tile_count,
                                      uint64_t active_mask, uint64_t inactive_mask, int32_t k,
                                      const DeviceMatrixGate<T>* gates, int32_t gate_count);

// Checks the group shape and launches; the caller reads the launch status.
template <typename T>
void cu_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                       const DeviceMatrixGate<T>* gates, int64_t gate_count, cudaStream_t stream);

}  // namespace tovrek::fusion
