// The closed-form update of one built-in channel on the 2x2 block of a target
// qubit; shared by the channel, unitary-channel and fused kernels so that all
// three round the same way.
#pragma once

#include <cmath>
#include <cstdint>

#include "cu_complex.h"
#include "density_operation.h"
#include "rhomira_complex.h"

namespace qalvane::rhomira {

__host__ __device__ __forceinline__ float fused_multiply_add(float a, float b, float c) {
  return fmaf(a, b, c);
}
__host__ __device__ __forceinline__ double fused_multiply_add(double a, double b, double c) {
  return fma(a, b, c);
}

// (1 - p) x + p y as one fused multiply-add of (1 - p) x onto p y.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> mix(T keep, CuComplex<T> x, T p, CuComplex<T> y) {
  return CuComplex<T>{fused_multiply_add(keep, x.re, p * y.re),
                      fused_multiply_add(keep, x.im, p * y.im)};
}

// Phase flip and phase damping leave the populations alone: a00 is never
// touched, so their callers need not load it.
template <density::ChannelKind Kind>
constexpr bool kChannelReadsA00 =
    Kind != density::ChannelKind::PhaseFlip && Kind != density::ChannelKind::PhaseDamping;

template <typename T, density::ChannelKind Kind>
__host__ __device__ __forceinline__ void apply_channel_block(CuComplex<T>& a00, CuComplex<T>& a01,
                                                             CuComplex<T>& a10, CuComplex<T>& a11,
                                                             T p) {
  using density::ChannelKind;
  if constexpr (Kind == ChannelKind::BitFlip) {
    const T q = T(1) - p;
    const CuComplex<T> b00 = mix(q, a00, p, a11), b01 = mix(q, a01, p, a10);
    const CuComplex<T> b10 = mix(q, a10, p, a01), b11 = mix(q, a11, p, a00);
    a00 = b00;
    a01 = b01;
    a10 = b10;
    a11 = b11;
  } else if constexpr (Kind == ChannelKind::PhaseFlip) {
    const T f = T(1) - (p + p);
    a01 = cscale(a01, f);
    a10 = cscale(a10, f);
  } else if constexpr (Kind == ChannelKind::Depolarizing) {
    const T h = p / T(2);
    const T q = T(1) - h;
    const T f = T(1) - p;
    const CuComplex<T> b00 = mix(q, a00, h, a11), b11 = mix(q, a11, h, a00);
    a00 = b00;
    a11 = b11;
    a01 = cscale(a01, f);
    a10 = cscale(a10, f);
  } else if constexpr (Kind == ChannelKind::AmplitudeDamping) {
    using std::sqrt;
    const T s = sqrt(T(1) - p);
    a00 = cadd(a00, cscale(a11, p));
    a01 = cscale(a01, s);
    a10 = cscale(a10, s);
    a11 = cscale(a11, T(1) - p);
  } else {
    const T f = T(1) - p;
    a01 = cscale(a01, f);
    a10 = cscale(a10, f);
  }
}

// The same update with the kind known only at run time (fused records).
template <typename T>
__host__ __device__ __forceinline__ void apply_channel_block(int32_t kind, CuComplex<T>& a00,
                                                             CuComplex<T>& a01, CuComplex<T>& a10,
                                                             CuComplex<T>& a11, T p) {
  using density::ChannelKind;
  switch (kind) {
    case static_cast<int32_t>(ChannelKind::BitFlip):
      apply_channel_block<T, ChannelKind::BitFlip>(a00, a01, a10, a11, p);
      break;
    case static_cast<int32_t>(ChannelKind::PhaseFlip):
      apply_channel_block<T, ChannelKind::PhaseFlip>(a00, a01, a10, a11, p);
      break;
    case static_cast<int32_t>(ChannelKind::Depolarizing):
      apply_channel_block<T, ChannelKind::Depolarizing>(a00, a01, a10, a11, p);
      break;
    case static_cast<int32_t>(ChannelKind::AmplitudeDamping):
      apply_channel_block<T, ChannelKind::AmplitudeDamping>(a00, a01, a10, a11, p);
      break;
    case static_cast<int32_t>(ChannelKind::PhaseDamping):
      apply_channel_block<T, ChannelKind::PhaseDamping>(a00, a01, a10, a11, p);
      break;
    default:
      break;
  }
}

}  // namespace qalvane::rhomira
