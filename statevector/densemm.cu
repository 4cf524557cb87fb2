#include "densemm.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <stdexcept>

#include "bit_index.cuh"
#include "cublas_error.h"
#include "cuda_error.h"
#include "launch.cuh"
#include "refused_releases.h"
#include "tovrek_kernel_frame.cuh"

namespace tovrek::fusion {

namespace {

unsigned transpose_blocks(uint64_t tiles) {
  return tiles < kTransposeMaxBlocks ? static_cast<unsigned>(tiles) : kTransposeMaxBlocks;
}

// Shared slot of tile element e: one spare element every 32, so that a warp
// reading along another bit of the tile meets different banks.
__host__ __device__ __forceinline__ uint32_t padded_slot(uint32_t e) { return e + (e >> 5); }

std::size_t transpose_shared_bytes(uint32_t elements, std::size_t element_bytes) {
  return (elements + (elements >> 5)) * element_bytes;
}

// Element e = tid + kTransposeThreads r of a tile, r < kTransposePerThread:
// its offsets are those of tid (the low bits of e, worked out once per
// thread) or'd with those of r's bits (a constant of the unrolled loop).
struct TileThread {
  uint64_t natural = 0;
  uint64_t position = 0;
  uint32_t slot = 0;

  __host__ __device__ __forceinline__ TileThread(const TransposeTiling& tiling, uint32_t tid) {
#pragma unroll
    for (int b = 0; b < kTransposeThreadBits; ++b) {
      if (tid >> b & 1) {
        natural |= tiling.natural_bit[b];
        position |= tiling.position_bit[b];
        slot |= tiling.slot_bit[b];
      }
    }
  }
};

// The element's bits above the thread's, from a table of one side.
template <typename Bits>
__host__ __device__ __forceinline__ Bits upper_bits(const Bits (&table)[kTransposeTileBits], int r) {
  Bits out = 0;
#pragma unroll
  for (int b = kTransposeThreadBits; b < kTransposeTileBits; ++b)
    if (r >> (b - kTransposeThreadBits) & 1) out |= table[b];
  return out;
}

// The thread's elements of a tile on one side: the state side (elements in
// natural order, at base | natural offset) or the layout side (position
// order, at base | position offset); read from src into the tile, or written
// from the tile to dst.
template <typename T, bool kStateSide, bool kRead>
__host__ __device__ __forceinline__ void tile_side(const TransposeTiling& tiling,
                                                   const TileThread& own, uint32_t tid,
                                                   uint64_t base, const CuComplex<T>* src,
                                                   CuComplex<T>* dst, CuComplex<T>* tile) {
#pragma unroll
  for (int r = 0; r < kTransposePerThread; ++r) {
    const uint32_t e = tid + kTransposeThreads * r;
    if (e >= tiling.elements) break;
    const uint64_t at = base | (kStateSide ? own.natural | upper_bits(tiling.natural_bit, r)
                                           : own.position | upper_bits(tiling.position_bit, r));
    const uint32_t slot = padded_slot(kStateSide ? e : own.slot | upper_bits(tiling.slot_bit, r));
    if (kRead)
      tile[slot] = src[at];
    else
      dst[at] = tile[slot];
  }
}

// Both transposes: the tiles of the slice in a grid-stride loop, each read
// coalesced on one side into shared memory and written coalesced on the other.
template <typename T, bool kToLowBits>
__device__ __forceinline__ void transpose_tiles(const TransposeTiling& tiling,
                                                const CuComplex<T>* src, CuComplex<T>* dst) {
  CuComplex<T>* tile = qalvane::dynamic_shared<CuComplex<T>>();
  const uint32_t tid = threadIdx.x;
  const TileThread own(tiling, tid);
  qalvane::SplitDeposit rest(blockIdx.x, gridDim.x, tiling.rest_active_count, tiling.rest_active,
                             tiling.rest_inactive);
  const uint64_t low_tiles = (uint64_t{1} << tiling.rest_active_count) - 1;
  for (uint64_t t = blockIdx.x; t < tiling.tile_count; t += gridDim.x) {
    const uint64_t natural = rest.low | rest.high;
    const uint64_t position = (t & low_tiles) << tiling.tile_active |
                              (t >> tiling.rest_active_count) << tiling.position_shift;
    // Gather: state side in, layout side out; scatter the other way round.
    tile_side<T, kToLowBits, true>(tiling, own, tid, kToLowBits ? natural : position, src, dst,
                                   tile);
    __syncthreads();
    tile_side<T, !kToLowBits, false>(tiling, own, tid, kToLowBits ? position : natural, src, dst,
                                     tile);
    __syncthreads();
    rest.advance();
  }
}

cublasStatus_t gemm_call(cublasHandle_t handle, int m, int cols, const CuComplex<float>* a,
                         const CuComplex<float>* b, CuComplex<float>* c) {
  const cuComplex alpha{1.0f, 0.0f}, beta{0.0f, 0.0f};
  return cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, cols, m, &alpha,
                     reinterpret_cast<const cuComplex*>(a), m,
                     reinterpret_cast<const cuComplex*>(b), m, &beta,
                     reinterpret_cast<cuComplex*>(c), m);
}

cublasStatus_t gemm_call(cublasHandle_t handle, int m, int cols, const CuComplex<double>* a,
                         const CuComplex<double>* b, CuComplex<double>* c) {
  const cuDoubleComplex alpha{1.0, 0.0}, beta{0.0, 0.0};
  return cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, m, cols, m, &alpha,
                     reinterpret_cast<const cuDoubleComplex*>(a), m,
                     reinterpret_cast<const cuDoubleComplex*>(b), m, &beta,
                     reinterpret_cast<cuDoubleComplex*>(c), m);
}

template <typename T>
constexpr const char* gemm_step() {
  return sizeof(T) == sizeof(float) ? "cublasCgemm DenseMM" : "cublasZgemm DenseMM";
}

template <typename T>
DenseMMCache<T>& cache_of_thread() {
  thread_local DenseMMCache<T> cache;
  return cache;
}

int destroy_handle(void* handle) noexcept {
  return static_cast<int>(
      qalvane::take_back(cublasDestroy(static_cast<cublasHandle_t>(handle))));
}

}  // namespace

template <typename T>
void DenseMMCache<T>::release() noexcept {
  if (device >= 0) qalvane::ignore_cuda(cudaSetDevice(device));
  if (handle != nullptr)
    qalvane::ignore_cublas(
        static_cast<cublasStatus_t>(qalvane::release_or_keep(handle, device, destroy_handle)));
  handle = nullptr;
  transpose.reset();
  gemm.reset();
  device = -1;
  capacity = 0;
}

template <typename T>
DenseMMCache<T>::~DenseMMCache() {
  release();
}

template <typename T>
uint64_t densemm_slice_amplitudes(int64_t n, int32_t k) {
  const uint64_t state = uint64_t{1} << n;
  const uint64_t floor = (uint64_t{2} << 20) / sizeof(CuComplex<T>);
  const uint64_t budget = std::max(state >> 5, floor);
  if (budget >= state) return state;
  return std::max(budget, uint64_t{1} << k);  // powers of two: whole columns
}

TransposeTiling make_transpose_tiling(uint64_t active_mask, uint64_t inactive_mask) {
  const int k = qalvane::popcount(active_mask);
  const int slice_qubits = k + qalvane::popcount(inactive_mask);
  const int tile_qubits = std::min(kTransposeTileBits, slice_qubits);
  // The qubit at position p of the low-bit layout.
  const auto at_position = [&](int p) {
    return p < k ? deposit_bits(uint64_t{1} << p, active_mask)
                 : deposit_bits(uint64_t{1} << (p - k), inactive_mask);
  };
  // The lowest qubits of the slice in the state and those of the lowest
  // positions, taken in turn.
  const uint64_t slice = active_mask | inactive_mask;
  uint64_t tile = 0;
  int taken = 0, next_position = 0;
  while (taken < tile_qubits) {
    const uint64_t free = slice & ~tile;
    tile |= free & (~free + 1);
    ++taken;
    while (taken < tile_qubits && (tile & at_position(next_position)) != 0) ++next_position;
    if (taken < tile_qubits) {
      tile |= at_position(next_position);
      ++taken;
    }
  }
  TransposeTiling tiling{};
  int b = 0;
  for (int p = 0; p < slice_qubits; ++p) {
    const uint64_t qubit = at_position(p);
    if ((tile & qubit) == 0) continue;
    tiling.position_bit[b] = uint64_t{1} << p;
    tiling.slot_bit[b] = uint32_t{1} << qalvane::popcount(tile & (qubit - 1));
    ++b;
  }
  for (int i = 0; i < tile_qubits; ++i)
    tiling.natural_bit[i] = deposit_bits(uint64_t{1} << i, tile);
  const int tile_active = qalvane::popcount(tile & active_mask);
  tiling.rest_active = active_mask & ~tile;
  tiling.rest_inactive = inactive_mask & ~tile;
  tiling.rest_active_count = k - tile_active;
  tiling.tile_active = tile_active;
  tiling.position_shift = k + qalvane::popcount(tile & inactive_mask);
  tiling.tile_count = uint64_t{1} << (slice_qubits - tile_qubits);
  tiling.elements = uint32_t{1} << tile_qubits;
  return tiling;
}

template <typename T>
DenseMMScratch<T> acquire_densemm_cache(uint64_t amplitudes) {
  using qalvane::check_cublas;
  using qalvane::check_cuda_step;
  DenseMMCache<T>& cache = cache_of_thread<T>();
  int current = 0;
  check_cuda_step(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
  if (cache.device != current) {
    cache.release();
    check_cuda_step(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
    cache.device = current;
  }
  if (cache.handle == nullptr) {
    cublasHandle_t handle = nullptr;
    check_cublas(cublasCreate(&handle), "cublasCreate DenseMM cache");
    cache.handle = handle;
  }
  if (cache.capacity < amplitudes) {
    cache.transpose.reset();
    cache.gemm.reset();
    cache.capacity = 0;
    check_cuda_step(cache.transpose.allocate(amplitudes),
                    "cudaMalloc cached DenseMM transpose buffer");
    const cudaError_t err = cache.gemm.allocate(amplitudes);
    if (err != cudaSuccess) {
      cache.transpose.reset();
      check_cuda_step(err, "cudaMalloc cached DenseMM GEMM buffer");
    }
    cache.capacity = amplitudes;
  }
  return DenseMMScratch<T>{cache.transpose.get(), cache.gemm.get(), cache.handle};
}

template <typename T>
const DenseMMCache<T>& thread_densemm_cache() {
  return cache_of_thread<T>();
}

template <typename T>
__global__ void __launch_bounds__(kTransposeThreads)
    transpose_to_low_bits(TransposeTiling tiling, const CuComplex<T>* src, CuComplex<T>* dst) {
  transpose_tiles<T, true>(tiling, src, dst);
}

template <typename T>
__global__ void __launch_bounds__(kTransposeThreads)
    transpose_from_low_bits(TransposeTiling tiling, const CuComplex<T>* src, CuComplex<T>* dst) {
  transpose_tiles<T, false>(tiling, src, dst);
}

template <typename T>
void cu_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                CuComplex<T>* gemm, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                cudaStream_t stream) {
  if (!(k > 0 && k < n)) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
  const uint64_t count = uint64_t{1} << n;
  const uint64_t inactive_mask = active_mask ^ (count - 1);
  const uint64_t slice = densemm_slice_amplitudes<T>(n, k);
  const uint64_t columns = slice >> k;  // of one slice
  if (columns > static_cast<uint64_t>(INT_MAX))
    throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
  // The slice's inactive qubits are the lowest ones; the others pick the slice.
  const uint64_t slice_inactive = deposit_bits(columns - 1, inactive_mask);
  const uint64_t slice_select = inactive_mask & ~slice_inactive;
  const TransposeTiling tiling = make_transpose_tiling(active_mask, slice_inactive);
  const unsigned blocks = transpose_blocks(tiling.tile_count);
  const std::size_t shared = transpose_shared_bytes(tiling.elements, sizeof(CuComplex<T>));
  const int dim = 1 << k;
  // Each step is checked before the next: the scratch still holds whatever
  // an earlier slice or group (of any state) left there, and each scatter
  // writes the state from it. The caller checks the last scatter.
  uint64_t first = 0;  // the slice's first amplitude: its selecting qubits
  for (uint64_t s = 0; s < count / slice; ++s) {
    if (s > 0) qalvane::check_cuda(cudaGetLastError());
    qalvane::launch_kernel(transpose_to_low_bits<T>, dim3(blocks), dim3(kTransposeThreads), shared,
                           stream, tiling, state + first, transpose);
    qalvane::check_cuda(cudaGetLastError());
    if (s == 0)
      qalvane::check_cublas(cublasSetStream(handle, stream), "cublasSetStream DenseMM");
    qalvane::check_cublas(
        gemm_call(handle, dim, static_cast<int>(columns), matrix, transpose, gemm), gemm_step<T>());
    qalvane::launch_kernel(transpose_from_low_bits<T>, dim3(blocks), dim3(kTransposeThreads),
                           shared, stream, tiling, gemm, state + first);
    first = qalvane::masked_add(first, slice_select & (~slice_select + 1), slice_select);
  }
}

template struct DenseMMCache<float>;
template struct DenseMMCache<double>;
template uint64_t densemm_slice_amplitudes<float>(int64_t, int32_t);
template uint64_t densemm_slice_amplitudes<double>(int64_t, int32_t);
template DenseMMScratch<float> acquire_densemm_cache<float>(uint64_t);
template DenseMMScratch<double> acquire_densemm_cache<double>(uint64_t);
template const DenseMMCache<float>& thread_densemm_cache<float>();
template const DenseMMCache<double>& thread_densemm_cache<double>();
template void cu_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*,
                                CuComplex<float>*, uint64_t, int32_t, const CuComplex<float>*,
                                cudaStream_t);
template void cu_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*,
                                 CuComplex<double>*, uint64_t, int32_t, const CuComplex<double>*,
                                 cudaStream_t);

}  // namespace tovrek::fusion
