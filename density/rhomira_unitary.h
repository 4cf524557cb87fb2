// Launchers of the unitary, diagonal and permutation kernels:
// rho -> C rho C^dagger for a (possibly controlled) C.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "device_targets.h"

namespace qalvane::rhomira {

// Dense U (row-major 2^m x 2^m, m = targets.num_targets in 1..6).
template <typename T>
void launch_unitary(CuComplex<T>* rho, int64_t dim, uint64_t control_mask, uint64_t control_value,
                    const CuComplex<T>* U, cudaStream_t stream, const DeviceTargets& targets);

// diag(d0, d1) on the qubit of target_mask.
template <typename T>
void launch_diagonal(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1,
                     cudaStream_t stream);

// X (one bit in flip_mask) or SWAP (two bits, is_swap); values move bit-exactly.
template <typename T>
void launch_permutation(CuComplex<T>* rho, int64_t dim, uint64_t flip_mask, uint64_t control_mask,
                        uint64_t control_value, bool is_swap, cudaStream_t stream);

}  // namespace qalvane::rhomira
