// Global phase: multiplies by e^(i phi) every amplitude that satisfies the
// controls (all of them without controls). One kernel serves every mode.
#include <cuda_runtime.h>

#include "cuda_error.h"
#include "launch.cuh"
#include "tovrek_gates.h"
#include "tovrek_kernel_frame.cuh"
#include "tovrek_single_qubit.cuh"

namespace tovrek {

namespace {

template <typename T>
__global__ void cu_global_phase_kernel(int64_t n, CuComplex<T>* data, uint64_t control_mask,
                                       uint64_t control_value, T phi) {
  T s;
  T c;
  sin_cos(phi, &s, &c);
  const CuComplex<T> factor{c, s};
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_stride()) {
    if ((i & control_mask) == control_value) data[i] = complex_mul(factor, data[i]);
  }
}

}  // namespace

template <typename T>
void cu_global_phase(int64_t n, CuComplex<T>* data, std::vector<int64_t> controls,
                     const std::vector<int64_t>& control_state, cudaStream_t stream, T angle) {
  const ControlMasks masks = build_control_masks(controls, control_state);
  qalvane::launch_kernel(cu_global_phase_kernel<T>, grid_for(uint64_t{1} << n),
                         dim3(kThreadsPerBlock), 0, stream, n, data, masks.control_mask,
                         masks.control_value, angle);
  qalvane::check_launch("cu_global_phase kernel launch failed: ");
}

template void cu_global_phase<float>(int64_t, CuComplex<float>*, std::vector<int64_t>,
                                     const std::vector<int64_t>&, cudaStream_t, float);
template void cu_global_phase<double>(int64_t, CuComplex<double>*, std::vector<int64_t>,
                                      const std::vector<int64_t>&, cudaStream_t, double);

}  // namespace tovrek
