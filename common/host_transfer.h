// Blocking copy between a caller's host array and a device buffer, optionally
// page-locking the host range for the one copy. A failed registration is
// never reported: the copy then simply runs unpinned.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

#include "cuda_error.h"
#include "refused_releases.h"

namespace qalvane {

inline void copy_host_device(void* dst, const void* src, std::size_t bytes, cudaMemcpyKind kind,
                             bool use_pinned_host) {
  void* host = kind == cudaMemcpyHostToDevice ? const_cast<void*>(src) : dst;
  const bool registered =
      use_pinned_host &&
      take_back(cudaHostRegister(host, bytes, cudaHostRegisterDefault)) == cudaSuccess;
  const cudaError_t err = cudaMemcpy(dst, src, bytes, kind);
  if (err != cudaSuccess) {
    if (registered) ignore_cuda(unregister_host(host));
    throw_cuda_error(err);
  }
  if (registered) check_cuda(unregister_host(host));
}

}  // namespace qalvane
