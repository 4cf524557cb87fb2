// sqrtydag: halves first, then only adds and subtracts, so it is exact up to the additions.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct SqrtydagOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> h0 = complex_scale(a0, T(0.5));
    const CuComplex<T> h1 = complex_scale(a1, T(0.5));
    const CuComplex<T> q0{h0.re + h0.im, h0.im - h0.re};
    const CuComplex<T> q1{h1.re + h1.im, h1.im - h1.re};
    a0 = complex_add(q0, q1);
    a1 = complex_add(CuComplex<T>{-q0.re, -q0.im}, q1);
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_sqrtydag_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target,
                                 uint64_t control_mask, uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, SqrtydagOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_sqrtydag_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                            uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, SqrtydagOp<T>{});
}

namespace sqrtydag_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, SqrtydagOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, SqrtydagOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
            uint64_t tmask) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, SqrtydagOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, SqrtydagOp<T>{});
}

}  // namespace sqrtydag_autopair

template <typename T>
void cu_sqrtydag(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
                 const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_sqrtydag kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_sqrtydag_kernel_all_state<T>,
                              cu_sqrtydag_kernel_pair<T>, n, data, target, masks, stream);
    return;
  }
  single_qubit::launch_autopair(
      kPrefix, sqrtydag_autopair::no_control<T>, sqrtydag_autopair::target0_no_control<T>,
      sqrtydag_autopair::compact<T>, sqrtydag_autopair::target0_compact<T>, n, data, target,
      controls.size(), masks, stream);
}

template void cu_sqrtydag<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                                 const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_sqrtydag<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                                  const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
