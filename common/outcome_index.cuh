// How measurement of both modules reads target qubits out of a basis index.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

namespace qalvane {

// Joint value of the targets at basis index i: targets[j] goes to bit k-1-j
// (the first target is the most significant character of the outcome),
// read from bit targets[j] (little endian) or bit n-1-targets[j] (big).
__host__ __device__ __forceinline__ uint64_t outcome_of_index(uint64_t i, int64_t n,
                                                              const int64_t* targets, int64_t k,
                                                              bool little) {
  uint64_t m = 0;
  for (int64_t j = 0; j < k; ++j) {
    const int64_t bit = little ? targets[j] : n - 1 - targets[j];
    m |= ((i >> bit) & 1u) << (k - 1 - j);
  }
  return m;
}

}  // namespace qalvane
