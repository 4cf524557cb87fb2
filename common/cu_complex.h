// Element type of every state buffer and of every coefficient handed to a
// kernel: two T, real part first, aligned to its own size so that float pairs
// load as 8 bytes and double pairs as 16.
#pragma once

#include <cuda_runtime.h>

namespace qalvane {

template <typename T>
struct alignas(2 * sizeof(T)) CuComplex {
  T re;
  T im;
};

static_assert(sizeof(CuComplex<float>) == 8 && alignof(CuComplex<float>) == 8, "complex64 layout");
static_assert(sizeof(CuComplex<double>) == 16 && alignof(CuComplex<double>) == 16,
              "complex128 layout");

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> make_complex(T re, T im) {
  return CuComplex<T>{re, im};
}

}  // namespace qalvane
