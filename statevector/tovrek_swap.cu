// SWAP: exchanges the amplitudes x | ma and x | mb of every group of four
// whose base x has both target bits clear.
#include <cuda_runtime.h>

#include <utility>

#include "cuda_error.h"
#include "launch.cuh"
#include "tovrek_gates.h"
#include "tovrek_kernel_frame.cuh"

namespace tovrek {

namespace {

constexpr const char* kLaunchPrefix = "cu_swap kernel launch failed: ";
constexpr unsigned kScanThreads = 512;

template <typename T>
__device__ __forceinline__ void exchange(CuComplex<T>* data, uint64_t a, uint64_t b) {
  const CuComplex<T> va = data[a];
  data[a] = data[b];
  data[b] = va;
}

// The group with qubit 0 as a target: the odd amplitude x + 1 trades places
// with x | m, which travels with its even-numbered neighbour (x | m) + 1.
template <typename T>
__device__ __forceinline__ void exchange_target0(CuComplex<T>* data, uint64_t x, uint64_t m) {
  const CuComplex<T> odd = data[x + 1];
  AdjacentPair<T> pair = load_adjacent(data, x | m);
  data[x + 1] = pair.lo;
  pair.lo = odd;
  store_adjacent(data, x | m, pair);
}

template <typename T>
__global__ void cu_swap_kernel_all_state(int64_t n, CuComplex<T>* data, int32_t t0, int32_t t1,
                                         uint64_t control_mask, uint64_t control_value) {
  const uint64_t ma = uint64_t{1} << t0;
  const uint64_t mb = uint64_t{1} << t1;
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_stride()) {
    if ((i & control_mask) == control_value && (i & ma) == 0 && (i & mb) != 0)
      exchange(data, i, i ^ (ma | mb));
  }
}

// Shared by the Pair kernel and the PairAuto control scan: one group per q,
// the control test made on the (t0 = 0, t1 = 1) member.
template <typename T>
__device__ __forceinline__ void swap_groups_strided(int64_t n, CuComplex<T>* data, int32_t t0,
                                                    int32_t t1, uint64_t control_mask,
                                                    uint64_t control_value) {
  const uint64_t ma = uint64_t{1} << t0;
  const uint64_t mb = uint64_t{1} << t1;
  const uint64_t lo_mask = uint64_t{1} << (t0 < t1 ? t0 : t1);
  const uint64_t hi_mask = uint64_t{1} << (t0 < t1 ? t1 : t0);
  for (uint64_t q = global_thread_index(); (q >> (n - 2)) == 0; q += grid_stride()) {
    const uint64_t x = insert_zero_bit(insert_zero_bit(q, lo_mask), hi_mask);
    const uint64_t i = x | mb;
    if ((i & control_mask) != control_value) continue;
    exchange(data, i, x | ma);
  }
}

template <typename T>
__global__ void cu_swap_kernel_pair(int64_t n, CuComplex<T>* data, int32_t t0, int32_t t1,
                                    uint64_t control_mask, uint64_t control_value) {
  swap_groups_strided(n, data, t0, t1, control_mask, control_value);
}

template <typename T>
__global__ void __launch_bounds__(512)
    swap_control_scan(int64_t n, CuComplex<T>* data, int32_t t0, int32_t t1,
                      uint64_t control_mask, uint64_t control_value) {
  swap_groups_strided(n, data, t0, t1, control_mask, control_value);
}

template <typename T>
__global__ void swap_no_control(uint64_t count, CuComplex<T>* data, int32_t lo, int32_t hi,
                                uint64_t ma, uint64_t mb) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t x = insert_zero_bit(insert_zero_bit(t, uint64_t{1} << lo), uint64_t{1} << hi);
  exchange(data, x | mb, x | ma);
}

template <typename T>
__global__ void swap_target0_no_control(uint64_t count, CuComplex<T>* data, uint64_t m) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  const uint64_t h = m >> 1;
  const uint64_t x = ((t & ~(h - 1)) << 2) | ((t & (h - 1)) << 1);
  exchange_target0(data, x, m);
}

template <typename T>
__global__ void swap_target0_compact(uint64_t count, CuComplex<T>* data, uint64_t fixed_mask,
                                     uint64_t value, uint64_t m) {
  const uint64_t t = global_thread_index();
  if (t >= count) return;
  exchange_target0(data, deposit_free_bits(t, fixed_mask) | value, m);
}

}  // namespace

template <typename T>
void cu_swap(int64_t n, CuComplex<T>* data, int32_t target0, int32_t target1,
             std::vector<int64_t> controls, const std::vector<int64_t>& control_state,
             cudaStream_t stream, KernelMode mode) {
  using qalvane::launch_kernel;
  const ControlMasks masks = build_control_masks(controls, control_state);
  const uint64_t k = controls.size();
  const uint64_t ma = uint64_t{1} << target0;
  const uint64_t mb = uint64_t{1} << target1;
  const dim3 block(kThreadsPerBlock);
  if (mode == KernelMode::AllState) {
    launch_kernel(cu_swap_kernel_all_state<T>, grid_for(uint64_t{1} << n), block, 0, stream, n,
                  data, target0, target1, masks.control_mask, masks.control_value);
  } else if (mode == KernelMode::PairAuto) {
    const uint64_t groups = uint64_t{1} << (n - 2);
    const uint64_t fixed_mask = masks.control_mask | ma | mb;
    const uint64_t value = masks.control_value & ~(ma | mb);
    const uint64_t compact_count = uint64_t{1} << (n - 2 - static_cast<int64_t>(k));
    if (k == 0 && (target0 == 0 || target1 == 0)) {
      launch_kernel(swap_target0_no_control<T>, grid_for(groups), block, 0, stream, groups, data,
                    target0 == 0 ? mb : ma);
    } else if (target0 == 0 || target1 == 0) {
      launch_kernel(swap_target0_compact<T>, grid_for(compact_count), block, 0, stream,
                    compact_count, data, fixed_mask, value, target0 == 0 ? mb : ma);
    } else if (k > 0) {
      launch_kernel(swap_control_scan<T>, grid_for(groups, kScanThreads), dim3(kScanThreads), 0,
                    stream, n, data, target0, target1, masks.control_mask, masks.control_value);
    } else {
      launch_kernel(swap_no_control<T>, grid_for(groups), block, 0, stream, groups, data,
                    target0 < target1 ? target0 : target1, target0 < target1 ? target1 : target0,
                    ma, mb);
    }
  } else {
    launch_kernel(cu_swap_kernel_pair<T>, grid_for(uint64_t{1} << (n - 1)), block, 0, stream, n,
                  data, target0, target1, masks.control_mask, masks.control_value);
  }
  qalvane::check_launch(kLaunchPrefix);
}

template void cu_swap<float>(int64_t, CuComplex<float>*, int32_t, int32_t, std::vector<int64_t>,
                             const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_swap<double>(int64_t, CuComplex<double>*, int32_t, int32_t, std::vector<int64_t>,
                              const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace tovrek
