// The cuBLAS subset: handles and complex gemm, computed by OpenBLAS's CBLAS.
#include <cblas.h>
#include <cublas_v2.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <set>

#include "hostcuda/control.h"
#include "runtime.h"

struct cublasContext {
  cudaStream_t stream = nullptr;
};

namespace hostcuda::detail {
namespace {

std::mutex g_mutex;
std::set<cublasHandle_t> g_handles;

bool is_live(cublasHandle_t handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_handles.count(handle) != 0;
}

bool valid_op(cublasOperation_t op) {
  return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C;
}

CBLAS_TRANSPOSE to_cblas(cublasOperation_t op) {
  if (op == CUBLAS_OP_T) return CblasTrans;
  if (op == CUBLAS_OP_C) return CblasConjTrans;
  return CblasNoTrans;
}

// Bytes spanned by a column-major rows x cols matrix with leading dimension ld.
template <class T>
std::size_t extent(int rows, int cols, int ld) {
  return (static_cast<std::size_t>(cols - 1) * static_cast<std::size_t>(ld) +
          static_cast<std::size_t>(rows)) *
         sizeof(T);
}

template <class T, class Gemm>
cublasStatus_t gemm(Fn fn, Gemm cblas_gemm, cublasHandle_t handle, cublasOperation_t transa,
                    cublasOperation_t transb, int m, int n, int k, const T* alpha, const T* A,
                    int lda, const T* B, int ldb, const T* beta, T* C, int ldc) {
  if (const int code = enter(fn)) return static_cast<cublasStatus_t>(code);
  if (!is_live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  if (!valid_op(transa) || !valid_op(transb) || m < 0 || n < 0 || k < 0)
    return CUBLAS_STATUS_INVALID_VALUE;
  const int rows_a = transa == CUBLAS_OP_N ? m : k, cols_a = transa == CUBLAS_OP_N ? k : m;
  const int rows_b = transb == CUBLAS_OP_N ? k : n, cols_b = transb == CUBLAS_OP_N ? n : k;
  if (lda < std::max(1, rows_a) || ldb < std::max(1, rows_b) || ldc < std::max(1, m))
    return CUBLAS_STATUS_INVALID_VALUE;
  if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
  if (alpha == nullptr || beta == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  const bool reads_ab = k > 0 && (alpha->x != 0 || alpha->y != 0);
  // On a GPU, host pointers here fault inside the kernel: an asynchronous error.
  if (!is_device_range(C, extent<T>(m, n, ldc)) ||
      (reads_ab && (!is_device_range(A, extent<T>(rows_a, cols_a, lda)) ||
                    !is_device_range(B, extent<T>(rows_b, cols_b, ldb))))) {
    record_async_error(cudaErrorIllegalAddress);
    return CUBLAS_STATUS_SUCCESS;
  }
  cblas_gemm(CblasColMajor, to_cblas(transa), to_cblas(transb), m, n, k, alpha, A, lda, B, ldb,
             beta, C, ldc);
  return CUBLAS_STATUS_SUCCESS;
}

}  // namespace
}  // namespace hostcuda::detail

namespace hostcuda::control {

std::size_t live_cublas_handles() {
  std::lock_guard<std::mutex> lock(detail::g_mutex);
  return detail::g_handles.size();
}

}  // namespace hostcuda::control

using namespace hostcuda::detail;

extern "C" cublasStatus_t cublasCreate(cublasHandle_t* handle) {
  if (const int code = enter(Fn::cublasCreate)) return static_cast<cublasStatus_t>(code);
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  int device = 0;
  if (current_device(&device) != cudaSuccess) return CUBLAS_STATUS_NOT_INITIALIZED;
  auto* context = new (std::nothrow) cublasContext;
  if (context == nullptr) return CUBLAS_STATUS_ALLOC_FAILED;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handles.insert(context);
  *handle = context;
  return CUBLAS_STATUS_SUCCESS;
}

extern "C" cublasStatus_t cublasDestroy(cublasHandle_t handle) {
  if (const int code = enter(Fn::cublasDestroy)) return static_cast<cublasStatus_t>(code);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_handles.erase(handle) == 0) return CUBLAS_STATUS_NOT_INITIALIZED;
  }
  delete handle;
  return CUBLAS_STATUS_SUCCESS;
}

extern "C" cublasStatus_t cublasSetStream(cublasHandle_t handle, cudaStream_t stream) {
  if (const int code = enter(Fn::cublasSetStream)) return static_cast<cublasStatus_t>(code);
  if (!is_live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  handle->stream = stream;  // work completes in the call, so any stream orders it
  return CUBLAS_STATUS_SUCCESS;
}

extern "C" cublasStatus_t cublasCgemm(cublasHandle_t handle, cublasOperation_t transa,
                                      cublasOperation_t transb, int m, int n, int k,
                                      const cuComplex* alpha, const cuComplex* A, int lda,
                                      const cuComplex* B, int ldb, const cuComplex* beta,
                                      cuComplex* C, int ldc) {
  return gemm(Fn::cublasCgemm, &cblas_cgemm, handle, transa, transb, m, n, k, alpha, A, lda, B,
              ldb, beta, C, ldc);
}

extern "C" cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa,
                                      cublasOperation_t transb, int m, int n, int k,
                                      const cuDoubleComplex* alpha, const cuDoubleComplex* A,
                                      int lda, const cuDoubleComplex* B, int ldb,
                                      const cuDoubleComplex* beta, cuDoubleComplex* C, int ldc) {
  return gemm(Fn::cublasZgemm, &cblas_zgemm, handle, transa, transb, m, n, k, alpha, A, lda, B,
              ldb, beta, C, ldc);
}
