// Complex arithmetic of the density kernels and of the host-side matrix
// tables, in T: products as (ar*br - ai*bi, ar*bi + ai*br), sums starting
// from zero, so both flavours and both precisions round the same way.
#pragma once

#include "cu_complex.h"

namespace qalvane::rhomira {

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> cmul(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// a * conj(b)
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> cmul_conj(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> cadd(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re + b.re, a.im + b.im};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> cconj(CuComplex<T> a) {
  return CuComplex<T>{a.re, -a.im};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> cscale(CuComplex<T> a, T s) {
  return CuComplex<T>{a.re * s, a.im * s};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> czero() {
  return CuComplex<T>{T(0), T(0)};
}

}  // namespace qalvane::rhomira
