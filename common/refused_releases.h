// Releases of device memory, page-locked host ranges and cuBLAS handles, and
// what becomes of one the runtime refuses. A refused release is tried once
// more at once; one refused twice joins the calling thread's list, which is
// tried again before that thread's next device allocation and when the
// thread ends, so a refusal never leaves an allocation behind for good. A
// list belongs to one thread: nothing here locks. Thread-local owners that
// release at thread exit take the list first, so that it outlives them. The
// first refusal is what a release returns, for the paths that report it.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <vector>

#include "cuda_error.h"

namespace qalvane {

// Releases `what`; 0, or the refusal's code (cudaError_t or cublasStatus_t)
// with the runtime's last error already taken back.
using ReleaseCall = int (*)(void* what) noexcept;

struct RefusedRelease {
  void* what;
  int device;  // selected for the retry; -1 leaves the current one
  ReleaseCall call;
};

struct RefusedReleases {
  std::vector<RefusedRelease> pending;

  RefusedReleases() = default;
  RefusedReleases(const RefusedReleases&) = delete;
  RefusedReleases& operator=(const RefusedReleases&) = delete;
  // The last try, at thread exit; after it nothing more is kept.
  ~RefusedReleases() {
    retry();
    closed() = true;
  }

  static bool& closed() noexcept {
    thread_local bool flag = false;
    return flag;
  }

  // Keeps what is refused again; the thread's current device is restored.
  void retry() noexcept {
    if (pending.empty()) return;
    int current = -1;
    if (take_back(cudaGetDevice(&current)) != cudaSuccess) current = -1;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      const RefusedRelease entry = pending[i];
      if (entry.device >= 0) ignore_cuda(cudaSetDevice(entry.device));
      if (entry.call(entry.what) != 0) pending[kept++] = entry;
    }
    pending.resize(kept);
    if (current >= 0) ignore_cuda(cudaSetDevice(current));
  }
};

inline RefusedReleases& refused_releases() noexcept {
  thread_local RefusedReleases list;
  return list;
}

inline int release_or_keep(void* what, int device, ReleaseCall call) noexcept {
  const int first = call(what);
  if (first != 0 && call(what) != 0 && !RefusedReleases::closed()) {
    try {
      refused_releases().pending.push_back(RefusedRelease{what, device, call});
    } catch (...) {  // no memory even for the note: nothing more can be done
    }
  }
  return first;
}

inline int free_call(void* ptr) noexcept { return static_cast<int>(take_back(cudaFree(ptr))); }

inline int unregister_call(void* host) noexcept {
  return static_cast<int>(take_back(cudaHostUnregister(host)));
}

// Frees device memory of `device` (-1: of the current one, which the caller
// has selected).
inline cudaError_t free_device(void* ptr, int device = -1) noexcept {
  if (ptr == nullptr) return cudaSuccess;
  return static_cast<cudaError_t>(release_or_keep(ptr, device, free_call));
}

inline cudaError_t unregister_host(void* host) noexcept {
  return static_cast<cudaError_t>(release_or_keep(host, -1, unregister_call));
}

// Every device allocation of the modules; refused releases go first.
inline cudaError_t allocate_device(void** ptr, std::size_t bytes) noexcept {
  if (!RefusedReleases::closed()) refused_releases().retry();
  return cudaMalloc(ptr, bytes);
}

}  // namespace qalvane
