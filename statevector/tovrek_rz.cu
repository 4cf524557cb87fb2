// rz: a0' = e^(-i theta/2) a0, a1' = e^(i theta/2) a1; both amplitudes are scaled.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct RzOp {
  CuComplex<T> k0;
  CuComplex<T> k1;
  static constexpr bool kOnlyA1 = false;

  // Scan kernels: two separate evaluations, of -theta/2 and of theta/2.
  __device__ __forceinline__ static RzOp from_two_half_angles(T theta) {
    const T half = theta * T(0.5);
    RzOp op;
    sin_cos(-half, &op.k0.im, &op.k0.re);
    sin_cos(half, &op.k1.im, &op.k1.re);
    return op;
  }
  // PairAuto (host): one sincos of theta/2 and one further sine of -theta/2.
  static RzOp from_half_angle(T theta) {
    const T half = theta * T(0.5);
    T s, c;
    sin_cos(half, &s, &c);
    const T s_neg = sine(-half);
    return RzOp{CuComplex<T>{c, s_neg}, CuComplex<T>{c, s}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    a0 = complex_mul(k0, a0);
    a1 = complex_mul(k1, a1);
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_rz_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                           uint64_t control_value, T angle) {
  single_qubit::all_state(n, data, target, control_mask, control_value,
                          RzOp<T>::from_two_half_angles(angle));
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_rz_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                      uint64_t control_value, T angle) {
  single_qubit::pair(n, data, target, control_mask, control_value,
                     RzOp<T>::from_two_half_angles(angle));
}

namespace rz_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask, CuComplex<T> k0,
               CuComplex<T> k1) {
  single_qubit::no_control(count, data, tmask, RzOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data, CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::target0_no_control(count, data, RzOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value, uint64_t tmask,
            CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, RzOp<T>{k0, k1});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
                    CuComplex<T> k0, CuComplex<T> k1) {
  single_qubit::target0_compact(count, data, fixed_mask, value, RzOp<T>{k0, k1});
}

}  // namespace rz_autopair

template <typename T>
void cu_rz(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
           const std::vector<int64_t>& control_state, cudaStream_t stream, T angle,
           KernelMode mode) {
  static constexpr char kPrefix[] = "cu_rz kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_rz_kernel_all_state<T>, cu_rz_kernel_pair<T>, n,
                              data, target, masks, stream, angle);
    return;
  }
  const RzOp<T> op = RzOp<T>::from_half_angle(angle);
  single_qubit::launch_autopair(kPrefix, rz_autopair::no_control<T>,
                                rz_autopair::target0_no_control<T>, rz_autopair::compact<T>,
                                rz_autopair::target0_compact<T>, n, data, target, controls.size(),
                                masks, stream, op.k0, op.k1);
}

template void cu_rz<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, float, KernelMode);
template void cu_rz<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                            const std::vector<int64_t>&, cudaStream_t, double, KernelMode);

}  // namespace tovrek
