// Host stand-in for CUDA's cuComplex.h: complex numbers as float2/double2.
#pragma once

#include <cuda_runtime.h>

#include <math.h>

typedef float2 cuFloatComplex;
typedef cuFloatComplex cuComplex;
typedef double2 cuDoubleComplex;

inline float cuCrealf(cuFloatComplex z) { return z.x; }
inline float cuCimagf(cuFloatComplex z) { return z.y; }
inline cuFloatComplex make_cuFloatComplex(float re, float im) { return cuFloatComplex{re, im}; }
inline cuComplex make_cuComplex(float re, float im) { return cuComplex{re, im}; }
inline cuFloatComplex cuConjf(cuFloatComplex z) { return cuFloatComplex{z.x, -z.y}; }
inline cuFloatComplex cuCaddf(cuFloatComplex a, cuFloatComplex b) {
  return cuFloatComplex{a.x + b.x, a.y + b.y};
}
inline cuFloatComplex cuCsubf(cuFloatComplex a, cuFloatComplex b) {
  return cuFloatComplex{a.x - b.x, a.y - b.y};
}
inline cuFloatComplex cuCmulf(cuFloatComplex a, cuFloatComplex b) {
  return cuFloatComplex{a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x};
}
inline cuFloatComplex cuCdivf(cuFloatComplex a, cuFloatComplex b) {
  const float d = b.x * b.x + b.y * b.y;
  return cuFloatComplex{(a.x * b.x + a.y * b.y) / d, (a.y * b.x - a.x * b.y) / d};
}
inline float cuCabsf(cuFloatComplex z) { return hypotf(z.x, z.y); }

inline double cuCreal(cuDoubleComplex z) { return z.x; }
inline double cuCimag(cuDoubleComplex z) { return z.y; }
inline cuDoubleComplex make_cuDoubleComplex(double re, double im) {
  return cuDoubleComplex{re, im};
}
inline cuDoubleComplex cuConj(cuDoubleComplex z) { return cuDoubleComplex{z.x, -z.y}; }
inline cuDoubleComplex cuCadd(cuDoubleComplex a, cuDoubleComplex b) {
  return cuDoubleComplex{a.x + b.x, a.y + b.y};
}
inline cuDoubleComplex cuCsub(cuDoubleComplex a, cuDoubleComplex b) {
  return cuDoubleComplex{a.x - b.x, a.y - b.y};
}
inline cuDoubleComplex cuCmul(cuDoubleComplex a, cuDoubleComplex b) {
  return cuDoubleComplex{a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x};
}
inline cuDoubleComplex cuCdiv(cuDoubleComplex a, cuDoubleComplex b) {
  const double d = b.x * b.x + b.y * b.y;
  return cuDoubleComplex{(a.x * b.x + a.y * b.y) / d, (a.y * b.x - a.x * b.y) / d};
}
inline double cuCabs(cuDoubleComplex z) { return hypot(z.x, z.y); }

inline cuDoubleComplex cuComplexFloatToDouble(cuFloatComplex z) {
  return cuDoubleComplex{z.x, z.y};
}
inline cuFloatComplex cuComplexDoubleToFloat(cuDoubleComplex z) {
  return cuFloatComplex{static_cast<float>(z.x), static_cast<float>(z.y)};
}
