// x: exchanges the two amplitudes of each pair; no arithmetic touches the values.
#include "tovrek_gates.h"
#include "tovrek_single_qubit.cuh"

namespace tovrek {
namespace {

template <typename T>
struct XOp {
  static constexpr bool kOnlyA1 = false;
  __device__ __forceinline__ void operator()(CuComplex<T>& a0, CuComplex<T>& a1) const {
    const CuComplex<T> t = a0;
    a0 = a1;
    a1 = t;
  }
};

}  // namespace

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_x_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                          uint64_t control_value) {
  single_qubit::all_state(n, data, target, control_mask, control_value, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    cu_x_kernel_pair(int64_t n, CuComplex<T>* data, int32_t target, uint64_t control_mask,
                     uint64_t control_value) {
  single_qubit::pair(n, data, target, control_mask, control_value, XOp<T>{});
}

namespace x_autopair {

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    no_control(uint64_t count, CuComplex<T>* data, uint64_t tmask) {
  single_qubit::no_control(count, data, tmask, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_no_control(uint64_t count, CuComplex<T>* data) {
  single_qubit::target0_no_control(count, data, XOp<T>{});
}

// Controlled x off qubit 0: one thread per amplitude index.
template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    state_scan(uint64_t count, CuComplex<T>* data, uint64_t tmask, uint64_t control_mask,
               uint64_t control_value) {
  single_qubit::state_scan(count, data, tmask, control_mask, control_value, XOp<T>{});
}

template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask, uint64_t value) {
  single_qubit::target0_compact(count, data, fixed_mask, value, XOp<T>{});
}

}  // namespace x_autopair

template <typename T>
void cu_x(int64_t n, CuComplex<T>* data, int32_t target, std::vector<int64_t> controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
  static constexpr char kPrefix[] = "cu_x kernel launch failed: ";
  const ControlMasks masks = build_control_masks(controls, control_state);
  if (mode != KernelMode::PairAuto) {
    single_qubit::launch_scan(kPrefix, mode, cu_x_kernel_all_state<T>, cu_x_kernel_pair<T>, n, data,
                              target, masks, stream);
    return;
  }
  if (target != 0 && !controls.empty()) {
    const uint64_t count = uint64_t{1} << n;
    single_qubit::launch_checked(kPrefix, x_autopair::state_scan<T>, count, stream, count, data,
                                 uint64_t{1} << target, masks.control_mask, masks.control_value);
    return;
  }
  // state_scan took the one case that would need a compact kernel.
  single_qubit::launch_autopair(
      kPrefix, x_autopair::no_control<T>, x_autopair::target0_no_control<T>, nullptr,
      x_autopair::target0_compact<T>, n, data, target, controls.size(), masks, stream);
}

template void cu_x<float>(int64_t, CuComplex<float>*, int32_t, std::vector<int64_t>,
                          const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_x<double>(int64_t, CuComplex<double>*, int32_t, std::vector<int64_t>,
                           const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
