// s: multiplies the amplitude whose target bit is 1 by i; a0 is never read.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct SOp {
  static constexpr bool kOnlyA1 = true;
  __device__ __forceinline__ void operator()(CuComplex<T>& a1) const {
    a1 = CuComplex<T>{-a1.im, a1.re};
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_s_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                          uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, SOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_s_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                     uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, SOp<T>{});
}

namespace s_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, SOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, SOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
            uint64_t tmask) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, SOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, SOp<T>{});
}

}  // namespace s_autopair

template <typename T>
void cu_s(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_s kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_s_kernel_all_state<T>, cu_s_kernel_pair<T>, n, data,
                              target, masks, stream);
    return;
  }
  single_qubit::launch_autopair(
      kPrefix, s_autopair::no_control<T>, s_autopair::target0_no_control<T>, s_autopair::compact<T>,
      s_autopair::target0_compact<T>, n, data, target, controls.size(), masks, stream);
}

template void cu_s<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                          const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_s<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
