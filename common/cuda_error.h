// The one way every CUDA runtime call's status is handled, checked or
// deliberately ignored. A failed call also leaves its code as the runtime's
// last error; it is taken back here, so the next launch check reports only
// its own launch. Sticky (asynchronous) faults stay sticky: taking back the
// last error does not clear them on a GPU.
//
// Forms of the message:
//   check_cuda(err)               "CUDA error: <text>"   (states, runners, executors, measurement)
//   check_cuda_step(err, step)    "<step>: <text>"       (fusion workspace, DenseMM cache)
//   check_launch(prefix)          "<prefix><text>"       (launchers: "cu_rx kernel launch failed: ")
//   ignore_cuda(err)              nothing                (releases on error paths, destructors)
// Releases themselves go through refused_releases.h, which keeps a refused one.
#pragma once

#include <cuda_runtime.h>

#include <stdexcept>
#include <string>

namespace qalvane {

// Returns err unchanged after clearing the last error it left behind.
inline cudaError_t take_back(cudaError_t err) noexcept {
  if (err != cudaSuccess) {
    const cudaError_t cleared = cudaGetLastError();
    static_cast<void>(cleared);
  }
  return err;
}

inline void ignore_cuda(cudaError_t err) noexcept { take_back(err); }

[[noreturn]] inline void throw_cuda_error(cudaError_t err) {
  take_back(err);
  throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(err));
}

inline void check_cuda(cudaError_t err) {
  if (err != cudaSuccess) throw_cuda_error(err);
}

inline void check_cuda_step(cudaError_t err, const char* step) {
  if (err == cudaSuccess) return;
  take_back(err);
  throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(err));
}

// Reads (and so clears) the status of the launch just made.
inline void check_launch(const char* prefix) {
  const cudaError_t err = cudaGetLastError();
  if (err != cudaSuccess) throw std::runtime_error(std::string(prefix) + cudaGetErrorString(err));
}

}  // namespace qalvane
