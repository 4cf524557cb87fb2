// rx: k0 = (c, 0), k1 = (0, -s) with c, s of theta / 2; a0' = k0 a0 + k1 a1, a1' = k1 a0 + k0 a1.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct RxOp {
  CuComplex<T> k0;
  CuComplex<T> k1;
  static constexpr bool kOnlyA1 = false;

  __host__ __device__ __forceinline__ static RxOp from_angle(T theta) {
    T s, c;
    sin_cos(theta * T(0.5), &s, &c);
    return RxOp{CuComplex<T>{c, T(0)}, CuComplex<T>{T(0), -s}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = complex_add(complex_mul(k0, a0), complex_mul(k1, a1));
    a1 = complex_add(complex_mul(k1, a0), complex_mul(k0, a1));
    a0 = b0;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_rx_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                           uint64_t control_value, T angle) {
  single_qubit::all_state(n, data, target, control_mask, control_value, RxOp<T>::from_angle(angle));
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_rx_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                      uint64_t control_value, T angle) {
  single_qubit::pair(n, data, target, control_mask, control_value, RxOp<T>::from_angle(angle));
}

namespace rx_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask, CuComplex<T> k0,
               CuComplex<T> k1) {
  single_qubit::no_control(count, data, tmask, RxOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data, CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::target0_no_control(count, data, RxOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value, uint64_t tmask,
            CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, RxOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
                    CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::target0_compact(count, data, fixed_mask, value, RxOp<T>{k0, k1});
}

}  // namespace rx_autopair

template <typename T>
void cu_rx(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
           const std::vector<int64_t>& control_state, cudaStream_t stream, T angle,
           KernelMode mode) {
  static constexpr char kPrefix[] = "cu_rx kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_rx_kernel_all_state<T>, cu_rx_kernel_pair<T>, n,
                              data, target, masks, stream, angle);
    return;
  }
  const RxOp<T> op = RxOp<T>::from_angle(angle);
  single_qubit::launch_autopair(kPrefix, rx_autopair::no_control<T>,
                                rx_autopair::target0_no_control<T>, rx_autopair::compact<T>,
                                rx_autopair::target0_compact<T>, n, data, target, controls.size(),
                                masks, stream, op.k0, op.k1);
}

template void cu_rx<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, float, KernelMode);
template void cu_rx<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                            const std::vector<int64_t>&, cudaStream_t, double, KernelMode);

}  // namespace tovrek
