// y: a0' = -i a1, a1' = i a0, by moving and negating components.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct YOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> b0{a1.im, -a1.re};
    a1 = CuComplex<T>{-a0.im, a0.re};
    a0 = b0;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_y_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                          uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, YOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_y_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                     uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, YOp<T>{});
}

namespace y_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, YOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, YOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value,
            uint64_t tmask) {
  single_qubit::compact(count, data, fixed_mask, value, tmask, YOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, YOp<T>{});
}

}  // namespace y_autopair

template <typename T>
void cu_y(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_y kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_y_kernel_all_state<T>, cu_y_kernel_pair<T>, n, data,
                              target, masks, stream);
    return;
  }
  single_qubit::launch_autopair(
      kPrefix, y_autopair::no_control<T>, y_autopair::target0_no_control<T>, y_autopair::compact<T>,
      y_autopair::target0_compact<T>, n, data, target, controls.size(), masks, stream);
}

template void cu_y<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                          const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_y<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
