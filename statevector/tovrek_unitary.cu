// Gates given by a caller's 2^k x 2^k matrix on k targets. Bit b of a row or
// column number stands for the b-th listed target. Up to five targets the
// matrix travels by value with the launch, so nothing is allocated; three to
// five run unrolled kernels, one thread per group. From six on see
// tovrek_unitary_wide.cu.
#include <cuda_runtime.h>

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <vector>

#include "cuda_error.h"
#include "launch.cuh"
#include "tovrek_gates.h"
#include "tovrek_kernel_frame.cuh"
#include "tovrek_single_qubit.cuh"
#include "tovrek_unitary_wide.h"

// Four- and five-target matrices (up to 16 KiB) are kernel arguments: above
// 4 KiB these need CUDA 12.1.
#if defined(__CUDACC_VER_MAJOR__) && \
    (__CUDACC_VER_MAJOR__ < 12 || (__CUDACC_VER_MAJOR__ == 12 && __CUDACC_VER_MINOR__ < 1))
#error "tovrek_unitary.cu passes kernel arguments above 4 KiB: CUDA 12.1 or later is needed"
#endif

namespace tovrek {

using qalvane::check_cuda;

template <typename T>
struct Unitary2x2 {
  CuComplex<T> m00, m01, m10, m11;
};

template <typename T>
struct Unitary4x4 {
  CuComplex<T> m[16];
};

namespace {

constexpr int kMaxInplaceTargets = 5;
// Launch failures here follow the runner's convention.
constexpr const char* kCudaError = "CUDA error: ";

// a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, as an op of the
// single-qubit schemes.
template <typename T>
struct Unitary2x2Op {
  Unitary2x2<T> u;
  static constexpr bool kOnlyA1 = false;

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = complex_add(complex_mul(u.m00, a0), complex_mul(u.m01, a1));
    a1 = complex_add(complex_mul(u.m10, a0), complex_mul(u.m11, a1));
    a0 = b0;
  }
};

// v'[r] = sum over c of M[r][c] v[c], accumulated from zero in increasing c.
template <typename T>
__device__ __forceinline__ void apply_4x4(const Unitary4x4<T>& u, CuComplex<T> (&v)[4]) {
  CuComplex<T> out[4];
  for (int r = 0; r < 4; ++r) {
    CuComplex<T> acc{T(0), T(0)};
    for (int c = 0; c < 4; ++c) acc = complex_add(acc, complex_mul(u.m[r * 4 + c], v[c]));
    out[r] = acc;
  }
  for (int r = 0; r < 4; ++r) v[r] = out[r];
}

template <typename T>
__device__ __forceinline__ void apply_4x4_group(CuComplex<T>* data, uint64_t base, uint64_t m0,
                                                uint64_t m1, const Unitary4x4<T>& u) {
  const uint64_t index[4] = {base, base | m0, base | m1, base | m0 | m1};
  CuComplex<T> v[4];
  for (int c = 0; c < 4; ++c) v[c] = data[index[c]];
  apply_4x4(u, v);
  for (int r = 0; r < 4; ++r) data[index[r]] = v[r];
}

template <typename T>
__global__ void cu_unitary_1q_inplace_kernel(int64_t n, CuComplex<T>* data, int32_t target,
                                             uint64_t control_mask, uint64_t control_value,
                                             Unitary2x2<T> u) {
  single_qubit::pair(n, data, target, control_mask, control_value, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void unitary_1q_no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask,
                                      Unitary2x2<T> u) {
  single_qubit::no_control(count, data, tmask, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void unitary_1q_target0_no_control(uint64_t count, CuComplex<T>* data,
                                              Unitary2x2<T> u) {
  single_qubit::target0_no_control(count, data, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void unitary_1q_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask,
                                   uint64_t value, uint64_t tmask, Unitary2x2<T> u) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void unitary_1q_target0_compact(uint64_t count, CuComplex<T>* data,
                                           uint64_t fixed_mask, uint64_t value, Unitary2x2<T> u) {
  single_qubit::target0_compact(count, data, fixed_mask, value, Unitary2x2Op<T>{u});
}

template <typename T>
__global__ void cu_unitary_2q_inplace_kernel(int64_t n, CuComplex<T>* data, int32_t t0,
                                             int32_t t1, uint64_t control_mask,
                                             uint64_t control_value, Unitary4x4<T> u) {
  const uint64_t m0 = uint64_t{1} << t0;
  const uint64_t m1 = uint64_t{1} << t1;
  const uint64_t lo_mask = m0 < m1 ? m0 : m1;
  const uint64_t hi_mask = m0 < m1 ? m1 : m0;
  for (uint64_t q = global_thread_index(); (q >> (n - 2)) == 0; q += grid_stride()) {
    const uint64_t base = insert_zero_bit(insert_zero_bit(q, lo_mask), hi_mask);
    if ((base & control_mask) != control_value) continue;
    apply_4x4_group(data, base, m0, m1, u);
  }
}

template <typename T>
__global__ void unitary_2q_no_control(uint64_t count, CuComplex<T>* data, int32_t lo, int32_t hi,
                                      uint64_t m0, uint64_t m1, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t base = insert_zero_bit(insert_zero_bit(t, uint64_t{1} << lo), uint64_t{1} << hi);
  apply_4x4_group(data, base, m0, m1, u);
}

template <typename T>
__global__ void unitary_2q_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask,
                                   uint64_t value, uint64_t m0, uint64_t m1, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  apply_4x4_group(data, deposit_free_bits(t, fixed_mask) | value, m0, m1, u);
}

// One target is qubit 0: the group is two adjacent pairs, base and base | m.
// With the first listed target at qubit 0 they hold columns (0, 1) and
// (2, 3), otherwise (0, 2) and (1, 3).
template <typename T, bool first_is_zero, bool has_controls>
__global__ void unitary_2q_target0(uint64_t count, CuComplex<T>* data, uint64_t m,
                                   uint64_t fixed_mask, uint64_t value, Unitary4x4<T> u) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  uint64_t base;
  if (has_controls) {
    base = deposit_free_bits(t, fixed_mask) | value;
  } else {
    const uint64_t h = m >> 1;
    base = ((t & ~(h - 1)) << 2) | ((t & (h - 1)) << 1);
  }
  const AdjacentPair<T> low = load_adjacent(data, base);
  const AdjacentPair<T> high = load_adjacent(data, base | m);
  // Column c of the group: bit 0 of c is the first listed target.
  constexpr int kLowHi = first_is_zero ? 1 : 2;
  constexpr int kHighLo = first_is_zero ? 2 : 1;
  CuComplex<T> v[4];
  v[0] = low.lo;
  v[kLowHi] = low.hi;
  v[kHighLo] = high.lo;
  v[3] = high.hi;
  apply_4x4(u, v);
  store_adjacent(data, base, AdjacentPair<T>{v[0], v[kLowHi]});
  store_adjacent(data, base | m, AdjacentPair<T>{v[kHighLo], v[3]});
}

// Column c of a group lies at the group's base plus offset[c]: bit b of c
// sets the b-th listed target. Rows are placed alike.
template <int K>
struct GroupOffsets {
  uint64_t offset[1 << K];
};

// Row-major, in the state's precision.
template <typename T, int K>
struct GroupMatrix {
  CuComplex<T> m[(1 << K) * (1 << K)];
};

// One thread per group that satisfies the controls: base = the thread index
// deposited on the bits that are neither targets nor controls, | value. The
// matrix is read from the launch's argument space at offsets known when
// compiling, the same for every thread of a warp. The thread keeps its
// group's amplitudes in its own column of shared memory (32 double
// amplitudes would take 128 registers) and computes four rows at a time.
constexpr unsigned kInplaceThreads = 64;
constexpr int kInplaceRowsAtOnce = 4;

template <typename T, int K>
__global__ void __launch_bounds__(kInplaceThreads)
    cu_unitary_inplace_kernel(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask,
                              uint64_t value, GroupOffsets<K> place, GroupMatrix<T, K> u) {
  constexpr int kDim = 1 << K;
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  CuComplex<T>* group = data + (deposit_free_bits(t, fixed_mask) | value);
  CuComplex<T>* own = qalvane::dynamic_shared<CuComplex<T>>() + threadIdx.x;
#pragma unroll
  for (int c = 0; c < kDim; ++c) own[c * kInplaceThreads] = group[place.offset[c]];
  // Volatile: each pass reads the amplitudes again rather than the compiler
  // holding all of them in registers across the passes.
  const volatile CuComplex<T>* column = own;
#pragma unroll
  for (int r0 = 0; r0 < kDim; r0 += kInplaceRowsAtOnce) {
    CuComplex<T> acc[kInplaceRowsAtOnce];
#pragma unroll
    for (int r = 0; r < kInplaceRowsAtOnce; ++r) acc[r] = CuComplex<T>{T(0), T(0)};
#pragma unroll
    for (int c = 0; c < kDim; ++c) {
      const CuComplex<T> x{column[c * kInplaceThreads].re, column[c * kInplaceThreads].im};
#pragma unroll
      for (int r = 0; r < kInplaceRowsAtOnce; ++r)
        acc[r] = complex_add(acc[r], complex_mul(u.m[(r0 + r) * kDim + c], x));
    }
#pragma unroll
    for (int r = 0; r < kInplaceRowsAtOnce; ++r) group[place.offset[r0 + r]] = acc[r];
  }
}

template <typename T>
CuComplex<T> to_state_precision(std::complex<double> value) {
  return CuComplex<T>{static_cast<T>(value.real()), static_cast<T>(value.imag())};
}

ControlMasks validate_unitary(const std::vector<int64_t>& targets, std::size_t matrix_size,
                              int64_t matrix_dim, const std::vector<int64_t>& controls,
                              const std::vector<int64_t>& control_state, uint64_t& target_mask) {
  if (targets.empty()) throw std::invalid_argument("UNITARY gate requires at least one target.");
  if (targets.size() >= 63 || (int64_t{1} << targets.size()) != matrix_dim)
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
  if (static_cast<uint64_t>(matrix_dim) * static_cast<uint64_t>(matrix_dim) != matrix_size)
    throw std::invalid_argument("UNITARY matrix size mismatch.");
  const ControlMasks masks = build_control_masks(controls, control_state);
  target_mask = 0;
  for (const int64_t t : targets) {
    if (static_cast<uint64_t>(t) > 62)
      throw std::invalid_argument("target qubit index must be in [0, 62]");
    target_mask |= uint64_t{1} << t;
  }
  return masks;
}

template <typename T, int K>
void launch_inplace(int64_t n, CuComplex<T>* data, const std::vector<int64_t>& targets,
                    uint64_t target_mask, const ControlMasks& masks, std::size_t control_count,
                    const std::vector<CuComplex<T>>& m, cudaStream_t stream) {
  GroupOffsets<K> place;
  const std::vector<uint64_t> offsets = column_offsets(targets);
  std::copy(offsets.begin(), offsets.end(), place.offset);
  GroupMatrix<T, K> u;
  std::copy(m.begin(), m.end(), u.m);
  const uint64_t count = uint64_t{1} << (n - K - static_cast<int64_t>(control_count));
  qalvane::launch_kernel(cu_unitary_inplace_kernel<T, K>, grid_for(count, kInplaceThreads),
                         dim3(kInplaceThreads), (kInplaceThreads << K) * sizeof(CuComplex<T>),
                         stream, count, data,
                         target_mask | masks.control_mask, masks.control_value, place, u);
}

template <typename T>
void launch_one_target(int64_t n, CuComplex<T>* data, int64_t target, const ControlMasks& masks,
                       std::size_t control_count, const std::vector<CuComplex<T>>& m,
                       cudaStream_t stream, KernelMode mode) {
  const Unitary2x2<T> u{m[0], m[1], m[2], m[3]};
  const int32_t t = static_cast<int32_t>(target);
  if (mode != KernelMode::PairAuto)
    qalvane::launch_kernel(cu_unitary_1q_inplace_kernel<T>, grid_for(uint64_t{1} << (n - 1)),
                           dim3(kThreadsPerBlock), 0, stream, n, data, t, masks.control_mask,
                           masks.control_value, u);
  else
    single_qubit::launch_autopair<T>(kCudaError, unitary_1q_no_control<T>,
                                     unitary_1q_target0_no_control<T>, unitary_1q_compact<T>,
                                     unitary_1q_target0_compact<T>, n, data, t, control_count,
                                     masks, stream, u);
}

template <typename T, bool first_is_zero>
void launch_two_target0(uint64_t count, CuComplex<T>* data, uint64_t m, uint64_t fixed_mask,
                        uint64_t value, bool has_controls, const Unitary4x4<T>& u,
                        cudaStream_t stream) {
  const auto kernel = has_controls ? unitary_2q_target0<T, first_is_zero, true>
                                   : unitary_2q_target0<T, first_is_zero, false>;
  qalvane::launch_kernel(kernel, grid_for(count), dim3(kThreadsPerBlock), 0, stream, count, data,
                         m, fixed_mask, value, u);
}

template <typename T>
void launch_two_targets(int64_t n, CuComplex<T>* data, int64_t t0, int64_t t1,
                        const ControlMasks& masks, std::size_t control_count,
                        const std::vector<CuComplex<T>>& m, cudaStream_t stream, KernelMode mode) {
  using qalvane::launch_kernel;
  Unitary4x4<T> u;
  std::copy(m.begin(), m.end(), u.m);
  const uint64_t m0 = uint64_t{1} << t0;
  const uint64_t m1 = uint64_t{1} << t1;
  const dim3 block(kThreadsPerBlock);
  if (mode != KernelMode::PairAuto) {
    launch_kernel(cu_unitary_2q_inplace_kernel<T>, grid_for(uint64_t{1} << (n - 2)), block, 0,
                  stream, n, data, static_cast<int32_t>(t0), static_cast<int32_t>(t1),
                  masks.control_mask, masks.control_value, u);
    return;
  }
  const uint64_t count = uint64_t{1} << (n - 2 - static_cast<int64_t>(control_count));
  const uint64_t fixed_mask = masks.control_mask | m0 | m1;
  const uint64_t value = masks.control_value & ~(m0 | m1);
  const bool has_controls = control_count > 0;
  if (t0 == 0) {
    launch_two_target0<T, true>(count, data, m1, fixed_mask, value, has_controls, u, stream);
  } else if (t1 == 0) {
    launch_two_target0<T, false>(count, data, m0, fixed_mask, value, has_controls, u, stream);
  } else if (!has_controls) {
    launch_kernel(unitary_2q_no_control<T>, grid_for(count), block, 0, stream, count, data,
                  static_cast<int32_t>(std::min(t0, t1)), static_cast<int32_t>(std::max(t0, t1)),
                  m0, m1, u);
  } else {
    launch_kernel(unitary_2q_compact<T>, grid_for(count), block, 0, stream, count, data,
                  fixed_mask, value, m0, m1, u);
  }
}

}  // namespace

void check_unitary_gate(const std::vector<int64_t>& targets, std::size_t matrix_size,
                        int64_t matrix_dim, const std::vector<int64_t>& controls,
                        const std::vector<int64_t>& control_state) {
  uint64_t target_mask = 0;
  (void)validate_unitary(targets, matrix_size, matrix_dim, controls, control_state, target_mask);
}

template <typename T>
void cu_unitary(int64_t n, CuComplex<T>* data, const std::vector<int64_t>& targets,
                const std::vector<std::complex<double>>& matrix, int64_t matrix_dim,
                std::vector<int64_t> controls, const std::vector<int64_t>& control_state,
                cudaStream_t stream, KernelMode mode) {
  uint64_t target_mask = 0;
  const ControlMasks masks =
      validate_unitary(targets, matrix.size(), matrix_dim, controls, control_state, target_mask);
  std::vector<CuComplex<T>> host_matrix(matrix.size());
  std::transform(matrix.begin(), matrix.end(), host_matrix.begin(), to_state_precision<T>);
  const int k = static_cast<int>(targets.size());
  const std::size_t control_count = controls.size();

  if (k > kMaxInplaceTargets) {
    cu_unitary_wide<T>(n, data, targets, masks, host_matrix, stream);
    return;
  }
  if (k == 1) {
    launch_one_target(n, data, targets[0], masks, control_count, host_matrix, stream, mode);
  } else if (k == 2) {
    launch_two_targets(n, data, targets[0], targets[1], masks, control_count, host_matrix,
                       stream, mode);
  } else if (k == 3) {
    launch_inplace<T, 3>(n, data, targets, target_mask, masks, control_count, host_matrix,
                         stream);
  } else if (k == 4) {
    launch_inplace<T, 4>(n, data, targets, target_mask, masks, control_count, host_matrix,
                         stream);
  } else if (k == 5) {
    launch_inplace<T, 5>(n, data, targets, target_mask, masks, control_count, host_matrix,
                         stream);
  } else {
    throw std::invalid_argument("unsupported inplace unitary target size");
  }
  check_cuda(cudaGetLastError());
  check_cuda(cudaStreamSynchronize(stream));
}

template void cu_unitary<float>(int64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                const std::vector<std::complex<double>>&, int64_t,
                                std::vector<int64_t>, const std::vector<int64_t>&, cudaStream_t,
                                KernelMode);
template void cu_unitary<double>(int64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                 const std::vector<std::complex<double>>&, int64_t,
                                 std::vector<int64_t>, const std::vector<int64_t>&, cudaStream_t,
                                 KernelMode);

}  // namespace tovrek
