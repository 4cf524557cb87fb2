// What the fifteen named single-qubit gates share: complex arithmetic in T,
// the amplitude access of a pair, the four index schemes of the kernels and
// the host side that picks a scheme, sizes the launch and checks it. A gate
// file supplies only its 2x2 action as a small functor ("op") and thin
// kernels that hand the op to a scheme here.
//
// An op either changes both amplitudes of a pair, operator()(a0, a1), or
// only the one whose target bit is 1, operator()(a1); kOnlyA1 says which, so
// that diagonal gates never read or write a0.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "cu_complex.h"
#include "cuda_error.h"
#include "launch.cuh"
#include "tovrek_kernel_frame.cuh"
#include "tovrek_types.h"

namespace tovrek {

template <typename T>
struct GateMatrix2x2 {
  CuComplex<T> m00, m01, m10, m11;
};

// complex_mul and complex_add come with the kernel frame.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> complex_sub(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re - b.re, a.im - b.im};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> complex_scale(CuComplex<T> a, T r) {
  return CuComplex<T>{a.re * r, a.im * r};
}

// The C library's routine on the host, the device's in a kernel.
__host__ __device__ __forceinline__ void sin_cos(float x, float* s, float* c) { sincosf(x, s, c); }
__host__ __device__ __forceinline__ void sin_cos(double x, double* s, double* c) {
  sincos(x, s, c);
}
__host__ __device__ __forceinline__ float sine(float x) { return sinf(x); }
__host__ __device__ __forceinline__ double sine(double x) { return sin(x); }

namespace single_qubit {

template <typename T, typename Op>
__device__ __forceinline__ void update(CuComplex<T>* data, uint64_t i0, uint64_t i1, const Op& op) {
  if constexpr (Op::kOnlyA1) {
    CuComplex<T> a1 = data[i1];
    op(a1);
    data[i1] = a1;
  } else {
    CuComplex<T> a0 = data[i0];
    CuComplex<T> a1 = data[i1];
    op(a0, a1);
    data[i0] = a0;
    data[i1] = a1;
  }
}

// i0 is even and i0 + 1 its partner.
template <typename T, typename Op>
__device__ __forceinline__ void update_adjacent(CuComplex<T>* data, uint64_t i0, const Op& op) {
  if constexpr (Op::kOnlyA1) {
    CuComplex<T> a1 = data[i0 + 1];
    op(a1);
    data[i0 + 1] = a1;
  } else {
    AdjacentPair<T> p = load_adjacent(data, i0);
    op(p.lo, p.hi);
    store_adjacent(data, i0, p);
  }
}

// AllState: one thread per amplitude index, grid-stride; an index works when
// its target bit is 0 and it satisfies the controls.
template <typename T, typename Op>
__device__ __forceinline__ void all_state(int64_t n, CuComplex<T>* data, int32_t target,
                                          uint64_t control_mask, uint64_t control_value,
                                          const Op& op) {
  const uint64_t tmask = uint64_t{1} << target;
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_stride()) {
    if ((i & tmask) == 0 && (i & control_mask) == control_value) update(data, i, i | tmask, op);
  }
}

// Pair: one thread per amplitude pair, grid-stride, with the control test.
template <typename T, typename Op>
__device__ __forceinline__ void pair(int64_t n, CuComplex<T>* data, int32_t target,
                                     uint64_t control_mask, uint64_t control_value, const Op& op) {
  const uint64_t tmask = uint64_t{1} << target;
  for (uint64_t p = global_thread_index(); (p >> (n - 1)) == 0; p += grid_stride()) {
    const uint64_t i0 = insert_zero_bit(p, tmask);
    if ((i0 & control_mask) == control_value) update(data, i0, i0 | tmask, op);
  }
}

// PairAuto schemes: single pass, one thread per pair that changes.
template <typename T, typename Op>
__device__ __forceinline__ void no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask,
                                           const Op& op) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t i0 = insert_zero_bit(t, tmask);
  update(data, i0, i0 | tmask, op);
}

template <typename T, typename Op>
__device__ __forceinline__ void target0_no_control(uint64_t count, CuComplex<T>* data,
                                                   const Op& op) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  update_adjacent(data, 2 * t, op);
}

template <typename T, typename Op>
__device__ __forceinline__ void compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask,
                                        uint64_t value, uint64_t tmask, const Op& op) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t i0 = deposit_free_bits(t, fixed_mask) | value;
  update(data, i0, i0 | tmask, op);
}

template <typename T, typename Op>
__device__ __forceinline__ void target0_compact(uint64_t count, CuComplex<T>* data,
                                                uint64_t fixed_mask, uint64_t value, const Op& op) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  update_adjacent(data, deposit_free_bits(t, fixed_mask) | value, op);
}

// x's replacement for compact: one thread per amplitude index.
template <typename T, typename Op>
__device__ __forceinline__ void state_scan(uint64_t count, CuComplex<T>* data, uint64_t tmask,
                                           uint64_t control_mask, uint64_t control_value,
                                           const Op& op) {
  const uint64_t i = global_thread_index();
  if (i >= count || (i & tmask) != 0 || (i & control_mask) != control_value) return;
  update(data, i, i | tmask, op);
}

// ---- host side ----

enum class AutoPairScheme { NoControl, Target0NoControl, Compact, Target0Compact };

struct AutoPairShape {
  AutoPairScheme scheme;
  uint64_t count;  // threads that each own one changing pair
  uint64_t tmask;
  uint64_t fixed_mask;  // control_mask | tmask
  uint64_t value;       // control_value without the target bit
};

// Assumes distinct controls, none equal to the target (the runner checks).
inline AutoPairShape autopair_shape(int64_t n, int32_t target, std::size_t num_controls,
                                    const ControlMasks& masks) {
  AutoPairShape shape;
  shape.tmask = uint64_t{1} << target;
  shape.fixed_mask = masks.control_mask | shape.tmask;
  shape.value = masks.control_value & ~shape.tmask;
  shape.count = uint64_t{1} << (n - 1 - static_cast<int64_t>(num_controls));
  if (num_controls == 0)
    shape.scheme = target == 0 ? AutoPairScheme::Target0NoControl : AutoPairScheme::NoControl;
  else
    shape.scheme = target == 0 ? AutoPairScheme::Target0Compact : AutoPairScheme::Compact;
  return shape;
}

// One-dimensional launch of ceil(items / 256) blocks, then the launch check.
template <typename Kernel, typename... Args>
void launch_checked(const char* prefix, Kernel kernel, uint64_t items, cudaStream_t stream,
                    const Args&... args) {
  qalvane::launch_kernel(kernel, grid_for(items), dim3(kThreadsPerBlock, 1, 1), 0, stream, args...);
  qalvane::check_launch(prefix);
}

// The AllState kernel in mode AllState, the Pair kernel in every mode other
// than AllState and PairAuto; both take the raw angles.
template <typename T, typename AllStateKernel, typename PairKernel, typename... Angles>
void launch_scan(const char* prefix, KernelMode mode, AllStateKernel all_state_kernel,
                 PairKernel pair_kernel, int64_t n, CuComplex<T>* data, int32_t target,
                 const ControlMasks& masks, cudaStream_t stream, const Angles&... angles) {
  if (mode == KernelMode::AllState)
    launch_checked(prefix, all_state_kernel, uint64_t{1} << n, stream, n, data, target,
                   masks.control_mask, masks.control_value, angles...);
  else
    launch_checked(prefix, pair_kernel, uint64_t{1} << (n - 1), stream, n, data, target,
                   masks.control_mask, masks.control_value, angles...);
}

template <typename T, typename NoControl, typename Target0NoControl, typename Compact,
          typename Target0Compact, typename... Coefficients>
void launch_autopair(const char* prefix, NoControl no_control_kernel,
                     Target0NoControl target0_no_control_kernel, Compact compact_kernel,
                     Target0Compact target0_compact_kernel, int64_t n, CuComplex<T>* data,
                     int32_t target, std::size_t num_controls, const ControlMasks& masks,
                     cudaStream_t stream, const Coefficients&... coefficients) {
  const AutoPairShape s = autopair_shape(n, target, num_controls, masks);
  switch (s.scheme) {
    case AutoPairScheme::NoControl:
      launch_checked(prefix, no_control_kernel, s.count, stream, s.count, data, s.tmask,
                     coefficients...);
      break;
    case AutoPairScheme::Target0NoControl:
      launch_checked(prefix, target0_no_control_kernel, s.count, stream, s.count, data,
                     coefficients...);
      break;
    case AutoPairScheme::Compact:
      // x has no compact kernel (nullptr) and never gets here.
      if constexpr (!std::is_same_v<Compact, std::nullptr_t>)
        launch_checked(prefix, compact_kernel, s.count, stream, s.count, data, s.fixed_mask,
                       s.value, s.tmask, coefficients...);
      break;
    case AutoPairScheme::Target0Compact:
      launch_checked(prefix, target0_compact_kernel, s.count, stream, s.count, data, s.fixed_mask,
                     s.value, coefficients...);
      break;
  }
}

}  // namespace single_qubit
}  // namespace tovrek
