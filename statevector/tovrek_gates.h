// The gate launchers: one per gate kind, instantiated for float and double.
// Each builds its control masks, picks a kernel by mode and gate shape,
// launches it on the given stream and checks the launch.
#pragma once

#include <cuda_runtime.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "tovrek_types.h"

namespace tovrek {

using qalvane::CuComplex;

template <typename T>
void cu_x(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_y(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_z(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_h(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_s(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_sdag(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_sqrtx(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_sqrtxdag(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_sqrty(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_sqrtydag(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_rx(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T angle, KernelMode mode);

template <typename T>
void cu_ry(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T angle, KernelMode mode);

template <typename T>
void cu_rz(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T angle, KernelMode mode);

template <typename T>
void cu_phase(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T angle, KernelMode mode);

template <typename T>
void cu_u(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, T phi, T lambda,
          KernelMode mode);

template <typename T>
void cu_swap(int64_t n, CuComplex<T>* data, int32_t target0, int32_t target1,
             std::vector<int64_t> controls, const std::vector<int64_t>& control_state,
             cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_global_phase(int64_t n, CuComplex<T>* data, std::vector<int64_t> controls,
                     const std::vector<int64_t>& control_state, cudaStream_t stream, T angle);

// The checks cu_unitary makes before anything is allocated or launched, in
// its order: target count, matrix dimension and size, control masks, target
// positions. The runner calls it too, before its own qubit checks.
void check_unitary_gate(const std::vector<int64_t>& targets, std::size_t matrix_size,
                        int64_t matrix_dim, const std::vector<int64_t>& controls,
                        const std::vector<int64_t>& control_state);

// Synchronises the stream before it returns.
template <typename T>
void cu_unitary(int64_t n, CuComplex<T>* data, const std::vector<int64_t>& targets,
                const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                std::vector<int64_t> controls, const std::vector<int64_t>& control_state,
                cudaStream_t stream, KernelMode mode);

}  // namespace tovrek
