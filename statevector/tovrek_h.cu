// h: a0' = (a0 + a1) r, a1' = (a0 - a1) r with r the T value nearest 1/sqrt(2).
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

// The T value nearest 1/sqrt(2).
template <typename T>
struct InvSqrt2;
template <>
struct InvSqrt2<float> {
  static constexpr float value = 0.70710677f;
};
template <>
struct InvSqrt2<double> {
  static constexpr double value = 0.7071067811865476;
};

template <typename T>
struct HScaledOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    // Sum and difference first, then each component is scaled.
    const T r = InvSqrt2<T>::value;
    const CuComplex<T> b0 = complex_scale(complex_add(a0, a1), r);
    a1 = complex_scale(complex_sub(a0, a1), r);
    a0 = b0;
  }
};

template <typename T>
struct HOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    // The scan kernels use a full complex product with (r, 0).
    const CuComplex<T> r{InvSqrt2<T>::value, T(0)};
    const CuComplex<T> b0 = complex_mul(complex_add(a0, a1), r);
    a1 = complex_mul(complex_sub(a0, a1), r);
    a0 = b0;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_h_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                          uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, HOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_h_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                     uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, HOp<T>{});
}

namespace {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    h_no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, HScaledOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    h_target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, HScaledOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    h_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
              uint64_t tmask) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, HScaledOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    h_target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, HScaledOp<T>{});
}

}  // namespace

template <typename T>
void cu_h(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_h kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_h_kernel_all_state<T>, cu_h_kernel_pair<T>, n, data,
                              target, masks, stream);
    return;
  }
  single_qubit::launch_autopair(kPrefix, h_no_control<T>, h_target0_no_control<T>, h_compact<T>,
                                h_target0_compact<T>, n, data, target, controls.size(), masks,
                                stream);
}

template void cu_h<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                          const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_h<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
