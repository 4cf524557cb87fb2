// cuBLAS statuses, handled like runtime calls: "<step> failed", and the
// runtime's last error that a failed cuBLAS call may leave is taken back.
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <stdexcept>
#include <string>

#include "cuda_error.h"

namespace qalvane {

inline cublasStatus_t take_back(cublasStatus_t status) noexcept {
  if (status != CUBLAS_STATUS_SUCCESS) {
    const cudaError_t cleared = cudaGetLastError();
    static_cast<void>(cleared);
  }
  return status;
}

inline void ignore_cublas(cublasStatus_t status) noexcept { take_back(status); }

inline void check_cublas(cublasStatus_t status, const char* step) {
  if (status == CUBLAS_STATUS_SUCCESS) return;
  take_back(status);
  throw std::runtime_error(std::string(step) + " failed");
}

}  // namespace qalvane
