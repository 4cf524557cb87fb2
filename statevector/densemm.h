// DenseMM: a fused group applied as one dense matrix, by gathering the active
// qubits into the low index bits, one complex GEMM, and scattering back.
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "device_buffer.h"
#include "refused_releases.h"

namespace tovrek::fusion {

using qalvane::CuComplex;

constexpr unsigned kTransposeThreads = 256;

// Scratch of one host thread and precision: kept from first use to thread
// exit, grown but never shrunk, rebuilt when the thread moves to another device.
template <typename T>
struct DenseMMCache {
  int32_t device = -1;
  uint64_t capacity = 0;  // amplitudes per buffer
  qalvane::DeviceBuffer<CuComplex<T>> transpose;
  qalvane::DeviceBuffer<CuComplex<T>> gemm;
  cublasHandle_t handle = nullptr;

  DenseMMCache() { qalvane::refused_releases(); }  // so that the list outlives the cache
  DenseMMCache(const DenseMMCache&) = delete;
  DenseMMCache& operator=(const DenseMMCache&) = delete;
  ~DenseMMCache();
  void release() noexcept;  // on the cached device; refusals as in refused_releases.h
};

// What a fusion workspace borrows from the cache for one execution.
template <typename T>
struct DenseMMScratch {
  CuComplex<T>* transpose = nullptr;
  CuComplex<T>* gemm = nullptr;
  cublasHandle_t handle = nullptr;
};

// The calling thread's cache for this precision, made ready for 2^n amplitudes
// on the current device.
template <typename T>
DenseMMScratch<T> acquire_densemm_cache(int64_t n);

// Read-only view of the calling thread's cache (device, capacity), for tests.
template <typename T>
const DenseMMCache<T>& thread_densemm_cache();

template <typename T>
__global__ void transpose_to_low_bits(uint64_t count, const CuComplex<T>* src, CuComplex<T>* dst,
                                      uint64_t active_mask, uint64_t inactive_mask, int32_t k);
template <typename T>
__global__ void transpose_from_low_bits(uint64_t count, const CuComplex<T>* src,
                                        CuComplex<T>* dst, uint64_t active_mask,
                                        uint64_t inactive_mask, int32_t k);

// state := (matrix on the active qubits) x state; matrix is row-major 2^k x 2^k.
template <typename T>
void cu_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                CuComplex<T>* gemm, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                cudaStream_t stream);

}  // namespace tovrek::fusion
