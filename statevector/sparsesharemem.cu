#include "sparsesharemem.cuh"

#include <stdexcept>

#include "launch.cuh"
#include "tovrek_kernel_frame.cuh"
#include "tovrek_single_qubit.cuh"

namespace tovrek::fusion {

namespace {

// One gate on the pair (a, b) = (tile[r0], tile[r0 | 2^t]).
template <typename T>
__device__ __forceinline__ void apply_pair(const DeviceMatrixGate<T>& g, CuComplex<T>& a,
                                           CuComplex<T>& b) {
  const CuComplex<T> x = a, y = b;
  switch (g.op) {
    case FUSED_X:
      a = y;
      b = x;
      break;
    case FUSED_Y:
      a = CuComplex<T>{y.im, -y.re};
      b = CuComplex<T>{-x.im, x.re};
      break;
    case FUSED_H: {
      const T h = g.m00.re;
      a = CuComplex<T>{h * (x.re + y.re), h * (x.im + y.im)};
      b = CuComplex<T>{h * (x.re - y.re), h * (x.im - y.im)};
      break;
    }
    case FUSED_DIAGONAL:
      a = complex_mul(g.m00, x);
      b = complex_mul(g.m11, y);
      break;
    case FUSED_RX: {
      const T c = g.m00.re, s = g.m01.im;
      a = CuComplex<T>{c * x.re - s * y.im, c * x.im + s * y.re};
      b = CuComplex<T>{c * y.re - s * x.im, c * y.im + s * x.re};
      break;
    }
    case FUSED_RY: {
      const T c = g.m00.re, s = g.m10.re;
      a = CuComplex<T>{c * x.re - s * y.re, c * x.im - s * y.im};
      b = CuComplex<T>{s * x.re + c * y.re, s * x.im + c * y.im};
      break;
    }
    default:
      a = complex_add(complex_mul(g.m00, x), complex_mul(g.m01, y));
      b = complex_add(complex_mul(g.m10, x), complex_mul(g.m11, y));
      break;
  }
}

}  // namespace

// Thread tid owns the local indices l = tid + 128 j of every tile. The tile's
// offsets are deposit(l) = deposit(tid) | deposit(128 j) on the active mask:
// the first part is the thread's, worked out once, the second the same for
// every thread (j is a constant of the unrolled loops), so an access costs
// base | offset. The tile base walks by a masked addition per tile.
template <typename T>
__global__ void __launch_bounds__(kSparseShareMemThreads)
    sparsesharemem_kernel(CuComplex<T>* state, uint64_t tile_count, uint64_t active_mask,
                          uint64_t inactive_mask, int32_t k, const DeviceMatrixGate<T>* gates,
                          int32_t gate_count) {
  constexpr int kThreadBits = 7;
  constexpr int kSlots = (1 << kSparseShareMemMaxQubits) >> kThreadBits;
  static_assert(kSparseShareMemThreads == 1u << kThreadBits, "a thread index has seven bits");
  CuComplex<T>* tile = qalvane::dynamic_shared<CuComplex<T>>();
  const uint32_t size = uint32_t{1} << k;
  const uint32_t tid = threadIdx.x;
  uint64_t upper = active_mask;
  const uint64_t own = qalvane::deposit_low_bits<kThreadBits>(tid, upper);
  uint64_t offset[kSlots];
#pragma unroll
  for (int j = 0; j < kSlots; ++j) {
    uint64_t slot_mask = upper;
    offset[j] = own | qalvane::deposit_low_bits<3>(j, slot_mask);
  }
  uint64_t base = deposit_bits(blockIdx.x, inactive_mask);
  const uint64_t base_step = deposit_bits(gridDim.x, inactive_mask);
  for (uint64_t t = blockIdx.x; t < tile_count; t += gridDim.x) {
#pragma unroll
    for (int j = 0; j < kSlots; ++j)
      if (tid + kSparseShareMemThreads * j < size)
        tile[tid + kSparseShareMemThreads * j] = state[base | offset[j]];
    __syncthreads();
    for (int32_t gi = 0; gi < gate_count; ++gi) {
      const DeviceMatrixGate<T> g = gates[gi];
      const uint32_t cmask = g.control_mask, cvalue = g.control_value;
      if (g.op == FUSED_SWAP) {
        const int32_t lo = g.target < g.target2 ? g.target : g.target2;
        const int32_t hi = g.target < g.target2 ? g.target2 : g.target;
        const uint32_t lo_bit = uint32_t{1} << lo, hi_bit = uint32_t{1} << hi;
        for (uint32_t i = tid; i < size / 4; i += kSparseShareMemThreads) {
          const uint32_t r = insert_zero_bit(insert_zero_bit(i, lo_bit), hi_bit);
          if ((r & cmask) != cvalue) continue;
          const CuComplex<T> tmp = tile[r | hi_bit];
          tile[r | hi_bit] = tile[r | lo_bit];
          tile[r | lo_bit] = tmp;
        }
      } else {
        const uint32_t bit = uint32_t{1} << g.target;
        for (uint32_t i = tid; i < size / 2; i += kSparseShareMemThreads) {
          const uint32_t r0 = insert_zero_bit(i, bit);
          if ((r0 & cmask) != cvalue) continue;
          apply_pair(g, tile[r0], tile[r0 | bit]);
        }
      }
      __syncthreads();
    }
#pragma unroll
    for (int j = 0; j < kSlots; ++j)
      if (tid + kSparseShareMemThreads * j < size)
        state[base | offset[j]] = tile[tid + kSparseShareMemThreads * j];
    __syncthreads();
    base = qalvane::masked_add(base, base_step, inactive_mask);
  }
}

template <typename T>
void cu_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                       const DeviceMatrixGate<T>* gates, int64_t gate_count, cudaStream_t stream) {
  if (k < 1 || k > kSparseShareMemMaxQubits)
    throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
  if (n < k) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
  if (gate_count <= 0) throw std::invalid_argument("SparseShareMem group cannot be empty");
  const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  const uint64_t inactive_mask = active_mask ^ all;
  const uint64_t tile_count = uint64_t{1} << (n - k);
  const unsigned blocks =
      tile_count < kMaxGridBlocks ? static_cast<unsigned>(tile_count) : kMaxGridBlocks;
  const std::size_t shared_bytes = (std::size_t{1} << k) * sizeof(CuComplex<T>);
  qalvane::launch_kernel(sparsesharemem_kernel<T>, dim3(blocks), dim3(kSparseShareMemThreads),
                         shared_bytes, stream, state, tile_count, active_mask, inactive_mask, k,
                         gates, static_cast<int32_t>(gate_count));
}

template void cu_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                       const DeviceMatrixGate<float>*, int64_t, cudaStream_t);
template void cu_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                        const DeviceMatrixGate<double>*, int64_t, cudaStream_t);

}  // namespace tovrek::fusion
