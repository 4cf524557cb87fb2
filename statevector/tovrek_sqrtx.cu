// sqrtx: halves first, then only adds and subtracts, so it is exact up to the additions.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct SqrtxOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> h0 = complex_scale(a0, T(0.5));
    const CuComplex<T> h1 = complex_scale(a1, T(0.5));
    a0 = CuComplex<T>{(h0.re - h0.im) + (h1.re + h1.im), (h0.re + h0.im) + (h1.im - h1.re)};
    a1 = CuComplex<T>{(h0.re + h0.im) + (h1.re - h1.im), (h0.im - h0.re) + (h1.re + h1.im)};
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_sqrtx_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                              uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, SqrtxOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_sqrtx_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                         uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, SqrtxOp<T>{});
}

namespace sqrtx_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, SqrtxOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, SqrtxOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
            uint64_t tmask) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, SqrtxOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, SqrtxOp<T>{});
}

}  // namespace sqrtx_autopair

template <typename T>
void cu_sqrtx(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
              const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_sqrtx kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_sqrtx_kernel_all_state<T>, cu_sqrtx_kernel_pair<T>,
                              n, data, target, masks, stream);
    return;
  }
  single_qubit::launch_autopair(kPrefix, sqrtx_autopair::no_control<T>,
                                sqrtx_autopair::target0_no_control<T>, sqrtx_autopair::compact<T>,
                                sqrtx_autopair::target0_compact<T>, n, data, target,
                                controls.size(), masks, stream);
}

template void cu_sqrtx<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                              const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_sqrtx<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                               const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
