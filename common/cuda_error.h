// The forms in which CUDA failures reach callers: "CUDA error: " + text for
// state objects, runners and measurement, a fixed prefix + text for launchers
// and named steps.
#pragma once

#include <cuda_runtime.h>

#include <stdexcept>
#include <string>

namespace qalvane {

[[noreturn]] inline void throw_cuda_error(cudaError_t err) {
  throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(err));
}

inline void check_cuda(cudaError_t err) {
  if (err != cudaSuccess) throw_cuda_error(err);
}

// For steps whose message names the step: "<step>: <text>".
inline void check_cuda_step(cudaError_t err, const char* step) {
  if (err != cudaSuccess)
    throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(err));
}

// Reads (and clears) the last launch status; prefix is e.g. "cu_rx kernel launch failed: ".
inline void check_launch(const char* prefix) {
  const cudaError_t err = cudaGetLastError();
  if (err != cudaSuccess) throw std::runtime_error(std::string(prefix) + cudaGetErrorString(err));
}

}  // namespace qalvane
