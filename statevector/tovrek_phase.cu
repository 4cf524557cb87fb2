// phase: multiplies the amplitude whose target bit is 1 by e^(i lambda); a0 is never read.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct PhaseOp {
  CuComplex<T> k;
  static constexpr bool kOnlyA1 = true;

  __host__ __device__ __forceinline__ static PhaseOp from_angle(T lambda) {
    T s, c;
    sin_cos(lambda, &s, &c);
    return PhaseOp{CuComplex<T>{c, s}};
  }

  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const { a1 = complex_mul(k, a1); }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_phase_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                              uint64_t control_value, T angle) {
  single_qubit::all_state(n, data, target, control_mask, control_value,
                          PhaseOp<T>::from_angle(angle));
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_phase_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                         uint64_t control_value, T angle) {
  single_qubit::pair(n, data, target, control_mask, control_value, PhaseOp<T>::from_angle(angle));
}

namespace phase_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask, CuComplex<T> k) {
  single_qubit::no_control(count, data, tmask, PhaseOp<T>{k});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data, CuComplex<T> k) {
  single_qubit::target0_no_control(count, data, PhaseOp<T>{k});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value, uint64_t tmask,
            CuComplex<T> k) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, PhaseOp<T>{k});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
                    CuComplex<T> k) {
  single_qubit::target0_compact(count, data, fixed_mask, value, PhaseOp<T>{k});
}

}  // namespace phase_autopair

template <typename T>
void cu_phase(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
              const std::vector<int64_t>& control_state, cudaStream_t stream, T angle,
              KernelMode mode) {
  static constexpr char kPrefix[] = "cu_phase kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_phase_kernel_all_state<T>, cu_phase_kernel_pair<T>,
                              n, data, target, masks, stream, angle);
    return;
  }
  const PhaseOp<T> op = PhaseOp<T>::from_angle(angle);
  single_qubit::launch_autopair(kPrefix, phase_autopair::no_control<T>,
                                phase_autopair::target0_no_control<T>, phase_autopair::compact<T>,
                                phase_autopair::target0_compact<T>, n, data, target,
                                controls.size(), masks, stream, op.k);
}

template void cu_phase<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                              const std::vector<int64_t>&, cudaStream_t, float, KernelMode);
template void cu_phase<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                               const std::vector<int64_t>&, cudaStream_t, double, KernelMode);

}  // namespace tovrek
