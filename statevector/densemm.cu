#include "densemm.h"

#include <climits>
#include <stdexcept>

#include "cublas_error.h"
#include "cuda_error.h"
#include "launch.cuh"
#include "refused_releases.h"
#include "tovrek_kernel_frame.cuh"

namespace tovrek::fusion {

namespace {

// Index of low-bit position i in the natural layout. j < 2^(n-k), so opening
// gaps at the k active positions deposits it into the inactive ones in k steps.
__host__ __device__ __forceinline__ uint64_t natural_index(uint64_t i, uint64_t active_mask,
                                                           int32_t k) {
  const uint64_t l = i & ((uint64_t{1} << k) - 1);
  const uint64_t j = i >> k;
  return deposit_bits(l, active_mask) | deposit_free_bits(j, active_mask);
}

unsigned transpose_blocks(uint64_t count) {
  const uint64_t blocks = (count + kTransposeThreads - 1) / kTransposeThreads;
  return blocks < 65535 ? static_cast<unsigned>(blocks) : 65535u;
}

cublasStatus_t gemm_call(cublasHandle_t handle, int m, int cols, const CuComplex<float>* a,
                         const CuComplex<float>* b, CuComplex<float>* c) {
  const cuComplex alpha{1.0f, 0.0f}, beta{0.0f, 0.0f};
  return cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, cols, m, &alpha,
                     reinterpret_cast<const cuComplex*>(a), m,
                     reinterpret_cast<const cuComplex*>(b), m, &beta,
                     reinterpret_cast<cuComplex*>(c), m);
}

cublasStatus_t gemm_call(cublasHandle_t handle, int m, int cols, const CuComplex<double>* a,
                         const CuComplex<double>* b, CuComplex<double>* c) {
  const cuDoubleComplex alpha{1.0, 0.0}, beta{0.0, 0.0};
  return cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, cols, m, &alpha,
                     reinterpret_cast<const cuDoubleComplex*>(a), m,
                     reinterpret_cast<const cuDoubleComplex*>(b), m, &beta,
                     reinterpret_cast<cuDoubleComplex*>(c), m);
}

template <typename T>
constexpr const char* gemm_step() {
  return sizeof(T) == sizeof(float) ? "cublasCgemm DenseMM" : "cublasZgemm DenseMM";
}

template <typename T>
DenseMMCache<T>& cache_of_thread() {
  thread_local DenseMMCache<T> cache;
  return cache;
}

int destroy_handle(void* handle) noexcept {
  return static_cast<int>(
      qalvane::take_back(cublasDestroy(static_cast<cublasHandle_t>(handle))));
}

}  // namespace

template <typename T>
void DenseMMCache<T>::release() noexcept {
  if (device >= 0) qalvane::ignore_cuda(cudaSetDevice(device));
  if (handle != nullptr)
    qalvane::ignore_cublas(
        static_cast<cublasStatus_t>(qalvane::release_or_keep(handle, device, destroy_handle)));
  handle = nullptr;
  transpose.reset();
  gemm.reset();
  device = -1;
  capacity = 0;
}

template <typename T>
DenseMMCache<T>::~DenseMMCache() {
  release();
}

template <typename T>
DenseMMScratch<T> acquire_densemm_cache(int64_t n) {
  using qalvane::check_cublas;
  using qalvane::check_cuda_step;
  DenseMMCache<T>& cache = cache_of_thread<T>();
  int current = 0;
  check_cuda_step(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
  if (cache.device != current) {
    cache.release();
    check_cuda_step(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
    cache.device = current;
  }
  if (cache.handle == nullptr) {
    cublasHandle_t handle = nullptr;
    check_cublas(cublasCreate(&handle), "cublasCreate DenseMM cache");
    cache.handle = handle;
  }
  const uint64_t needed = uint64_t{1} << n;
  if (cache.capacity < needed) {
    cache.transpose.reset();
    cache.gemm.reset();
    cache.capacity = 0;
    check_cuda_step(cache.transpose.allocate(needed), "cudaMalloc cached DenseMM transpose buffer");
    const cudaError_t err = cache.gemm.allocate(needed);
    if (err != cudaSuccess) {
      cache.transpose.reset();
      check_cuda_step(err, "cudaMalloc cached DenseMM GEMM buffer");
    }
    cache.capacity = needed;
  }
  return DenseMMScratch<T>{cache.transpose.get(), cache.gemm.get(), cache.handle};
}

template <typename T>
const DenseMMCache<T>& thread_densemm_cache() {
  return cache_of_thread<T>();
}

template <typename T>
__global__ void transpose_to_low_bits(uint64_t count, const CuComplex<T>* src, CuComplex<T>* dst,
                                      uint64_t active_mask, uint64_t inactive_mask, int32_t k) {
  (void)inactive_mask;
  for (uint64_t i = global_thread_index(); i < count; i += grid_stride())
    dst[i] = src[natural_index(i, active_mask, k)];
}

template <typename T>
__global__ void transpose_from_low_bits(uint64_t count, const CuComplex<T>* src,
                                        CuComplex<T>* dst, uint64_t active_mask,
                                        uint64_t inactive_mask, int32_t k) {
  (void)inactive_mask;
  for (uint64_t i = global_thread_index(); i < count; i += grid_stride())
    dst[natural_index(i, active_mask, k)] = src[i];
}

template <typename T>
void cu_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                CuComplex<T>* gemm, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                cudaStream_t stream) {
  if (!(k > 0 && k < n)) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
  const uint64_t count = uint64_t{1} << n;
  const uint64_t inactive_mask = active_mask ^ (count - 1);
  const uint64_t columns = uint64_t{1} << (n - k);
  if (columns > static_cast<uint64_t>(INT_MAX))
    throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
  const unsigned blocks = transpose_blocks(count);
  // Each step is checked before the next: the scratch still holds whatever
  // an earlier group (of any state) left there, and the last step writes the
  // state from it.
  qalvane::launch_kernel(transpose_to_low_bits<T>, dim3(blocks), dim3(kTransposeThreads), 0, stream,
                         count, state, transpose, active_mask, inactive_mask, k);
  qalvane::check_cuda(cudaGetLastError());
  qalvane::check_cublas(cublasSetStream(handle, stream), "cublasSetStream DenseMM");
  const int dim = 1 << k;
  qalvane::check_cublas(gemm_call(handle, dim, static_cast<int>(columns), matrix, transpose, gemm),
                        gemm_step<T>());
  qalvane::launch_kernel(transpose_from_low_bits<T>, dim3(blocks), dim3(kTransposeThreads), 0,
                         stream, count, gemm, state, active_mask, inactive_mask, k);
}

template struct DenseMMCache<float>;
template struct DenseMMCache<double>;
template DenseMMScratch<float> acquire_densemm_cache<float>(int64_t);
template DenseMMScratch<double> acquire_densemm_cache<double>(int64_t);
template const DenseMMCache<float>& thread_densemm_cache<float>();
template const DenseMMCache<double>& thread_densemm_cache<double>();
template void cu_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*,
                                CuComplex<float>*, uint64_t, int32_t, const CuComplex<float>*,
                                cudaStream_t);
template void cu_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*,
                                 CuComplex<double>*, uint64_t, int32_t, const CuComplex<double>*,
                                 cudaStream_t);

}  // namespace tovrek::fusion
