// u(theta, phi, lambda) = [[c, -e^(i lambda) s], [e^(i phi) s, e^(i(phi + lambda)) c]].
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct UOp {
  GateMatrix2x2<T> m;
  static constexpr bool kOnlyA1 = false;

  // sincos of lambda, of phi, then of theta/2; e^(i(phi + lambda)) as a complex product.
  __host__ __device__ __forceinline__ static UOp from_angles(T theta, T phi, T lambda) {
    T sin_l, cos_l, sin_p, cos_p, s, c;
    sin_cos(lambda, &sin_l, &cos_l);
    sin_cos(phi, &sin_p, &cos_p);
    sin_cos(theta * T(0.5), &s, &c);
    const CuComplex<T> e = complex_mul(CuComplex<T>{cos_p, sin_p}, CuComplex<T>{cos_l, sin_l});
    return UOp{GateMatrix2x2<T>{CuComplex<T>{c, T(0)}, CuComplex<T>{-s * cos_l, -s * sin_l},
                                CuComplex<T>{s * cos_p, s * sin_p},
                                CuComplex<T>{c * e.re, c * e.im}}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0 = complex_add(complex_mul(m.m00, a0), complex_mul(m.m01, a1));
    a1 = complex_add(complex_mul(m.m10, a0), complex_mul(m.m11, a1));
    a0 = b0;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_u_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                          uint64_t control_value, T theta, T phi, T lambda) {
  single_qubit::all_state(n, data, target, control_mask, control_value,
                          UOp<T>::from_angles(theta, phi, lambda));
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_u_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                     uint64_t control_value, T theta, T phi, T lambda) {
  single_qubit::pair(n, data, target, control_mask, control_value,
                     UOp<T>::from_angles(theta, phi, lambda));
}

namespace {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    u_no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask, GateMatrix2x2<T> m) {
  single_qubit::no_control(count, data, tmask, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    u_target0_no_control(uint64_t count, CuComplex<T>* data, GateMatrix2x2<T> m) {
  single_qubit::target0_no_control(count, data, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    u_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
              uint64_t tmask, GateMatrix2x2<T> m) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, UOp<T>{m});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    u_target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
                      GateMatrix2x2<T> m) {
  single_qubit::target0_compact(count, data, fixed_mask, value, UOp<T>{m});
}

}  // namespace

template <typename T>
void cu_u(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, T phi, T lambda,
          KernelMode mode) {
  static constexpr char kPrefix[] = "cu_u kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_u_kernel_all_state<T>, cu_u_kernel_pair<T>, n, data,
                              target, masks, stream, theta, phi, lambda);
    return;
  }
  const UOp<T> op = UOp<T>::from_angles(theta, phi, lambda);
  single_qubit::launch_autopair(kPrefix, u_no_control<T>, u_target0_no_control<T>, u_compact<T>,
                                u_target0_compact<T>, n, data, target, controls.size(), masks,
                                stream, op.m);
}

template void cu_u<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                          const std::vector<int64_t>&, cudaStream_t, float, float, float,
                          KernelMode);
template void cu_u<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, double, double, double,
                           KernelMode);

}  // namespace tovrek
