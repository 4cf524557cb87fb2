// DenseMM: a fused group applied as one dense matrix, by gathering the active
// qubits into the low index bits, a complex GEMM, and scattering back, one
// slice of the state at a time.
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "device_buffer.h"
#include "refused_releases.h"

namespace tovrek::fusion {

using qalvane::CuComplex;

// A transpose tile: 2^10 elements, eight a thread. (Eight rather than four:
// the host runtime switches every thread at each of a tile's two barriers.)
constexpr int kTransposeTileBits = 10;
constexpr int kTransposeThreadBits = 7;
constexpr unsigned kTransposeThreads = 1u << kTransposeThreadBits;
constexpr int kTransposePerThread = 1 << (kTransposeTileBits - kTransposeThreadBits);
// Blocks walk the tiles in a grid-stride loop: enough blocks for several
// waves on a large GPU, few enough that a block's setup serves several tiles
// of a large slice.
constexpr unsigned kTransposeMaxBlocks = 8192;

// Each of the two scratch buffers holds one slice of whole columns (tiles of
// the group), at most max(state / 32, 2 MiB) and at least one column; the
// slices are processed one after the other, so the scratch beyond the state
// stays within max(state / 16, 4 MiB). Depends on n, k and T alone, so a
// group's arithmetic does not depend on what the cache holds.
template <typename T>
uint64_t densemm_slice_amplitudes(int64_t n, int32_t k);

// Scratch of one host thread and precision: kept from first use to thread
// exit, grown to the largest slice the thread has needed but never shrunk,
// rebuilt when the thread moves to another device.
template <typename T>
struct DenseMMCache {
  int32_t device = -1;
  uint64_t capacity = 0;  // amplitudes per buffer
  qalvane::DeviceBuffer<CuComplex<T>> transpose;
  qalvane::DeviceBuffer<CuComplex<T>> gemm;
  cublasHandle_t handle = nullptr;

  DenseMMCache() { qalvane::refused_releases(); }  // so that the list outlives the cache
  DenseMMCache(const DenseMMCache&) = delete;
  DenseMMCache& operator=(const DenseMMCache&) = delete;
  ~DenseMMCache();
  void release() noexcept;  // on the cached device; refusals as in refused_releases.h
};

// What a fusion workspace borrows from the cache for one execution.
template <typename T>
struct DenseMMScratch {
  CuComplex<T>* transpose = nullptr;
  CuComplex<T>* gemm = nullptr;
  cublasHandle_t handle = nullptr;
};

// The calling thread's cache for this precision, made ready for buffers of
// `amplitudes` each on the current device.
template <typename T>
DenseMMScratch<T> acquire_densemm_cache(uint64_t amplitudes);

// Read-only view of the calling thread's cache (device, capacity), for tests.
template <typename T>
const DenseMMCache<T>& thread_densemm_cache();

// Where the elements of one slice lie, as a transpose walks it in tiles of
// 2^10 elements. A slice covers the active qubits and the lowest inactive
// ones ("slice qubits"); its low-bit layout puts the active qubits, in
// order, in the low position bits and the inactive ones above them. A tile
// holds the lowest slice qubits of the state (consecutive addresses) and the
// qubits of the lowest position bits (consecutive positions), so that both
// sides of a warp's access are coalesced wherever the qubits lie. Element
// indices of a tile are bit-wise: bit b in natural order stands for the
// tile's b-th lowest qubit; in position order for its b-th lowest position.
// Tile t: the low rest_active_count bits of t on the other active qubits,
// the rest on the other inactive ones.
struct TransposeTiling {
  uint64_t tile_count;
  uint64_t natural_bit[kTransposeTileBits];   // offset in the state of natural bit b
  uint64_t position_bit[kTransposeTileBits];  // offset in the layout of position bit b
  uint32_t slot_bit[kTransposeTileBits];      // natural bit of the element at position bit b
  uint64_t rest_active;                       // active qubits outside the tile
  uint64_t rest_inactive;                     // inactive slice qubits outside the tile
  int32_t rest_active_count;
  int32_t tile_active;     // active qubits in the tile: they are the lowest ones
  int32_t position_shift;  // k + inactive qubits in the tile (the lowest ones)
  uint32_t elements;       // 2^(tile qubits)
};

// The tiling of a slice over the active qubits and the inactive qubits of
// inactive_mask (both sets of qubit bits).
TransposeTiling make_transpose_tiling(uint64_t active_mask, uint64_t inactive_mask);

// Gathers a slice of the state (src at the slice's first amplitude) into the
// low-bit layout (dst), and scatters it back.
template <typename T>
__global__ void transpose_to_low_bits(TransposeTiling tiling, const CuComplex<T>* src,
                                      CuComplex<T>* dst);
template <typename T>
__global__ void transpose_from_low_bits(TransposeTiling tiling, const CuComplex<T>* src,
                                        CuComplex<T>* dst);

// state := (matrix on the active qubits) x state; matrix is row-major 2^k x 2^k.
// The state goes through the scratch (densemm_slice_amplitudes each) a slice
// at a time: gather, GEMM, scatter. A failure inside a group of several
// slices leaves the slices before it updated.
template <typename T>
void cu_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                CuComplex<T>* gemm, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                cudaStream_t stream);

}  // namespace tovrek::fusion
