// Pauli expectation values on the device, for any state whose terms reduce
// to signed sums of two weights per index (see pauli_plan.h). A module gives
// a Source: weights(i, j) of the element pair (i, j = i ^ flips), and the
// static scale of a term. Every sum runs in double in a fixed order: per
// thread, then a block's tree or tile order, then the blocks in order, so a
// call gives the same bits every time. Only the values come back to the host.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bit_index.cuh"
#include "cuda_error.h"
#include "device_buffer.h"
#include "launch.cuh"
#include "pauli_plan.h"

namespace qalvane {

struct PauliWeights {
  double even;  // read by terms with an even number of Y letters
  double odd;   // read by terms with an odd number
};

__host__ __device__ __forceinline__ bool odd_parity(uint64_t v) {
#if defined(__CUDA_ARCH__)
  return (__popcll(v) & 1) != 0;
#else
  return __builtin_parityll(v) != 0;
#endif
}

__host__ __device__ __forceinline__ double with_sign(double v, bool negate) {
  return negate ? -v : v;
}

// Weights at pair index p: the lower index opens a zero at `high` (p itself
// when nothing flips, high = 0).
template <typename Source>
__host__ __device__ __forceinline__ PauliWeights weights_at(const Source& source, uint64_t flips,
                                                           uint64_t high, uint64_t p) {
  const uint64_t i = insert_zero_bit(p, high);
  return source(i, i ^ flips);
}

// The running sums of up to K terms in one thread; arrays indexed only by
// unrolled constants, so they live in registers.
template <int K>
struct PauliTermSums {
  uint64_t mask[K];
  bool odd[K];
  double sum[K];

  __device__ __forceinline__ void add(const PauliWeights& w, uint64_t p) {
#pragma unroll
    for (int k = 0; k < K; ++k) sum[k] += with_sign(odd[k] ? w.odd : w.even, odd_parity(p & mask[k]));
  }
};

// Up to K terms, each thread summing all of them over a grid-stride walk (its
// indices in increasing order, four loads issued at a time); the block adds
// its threads in a fixed tree.
template <int K, typename Source>
__global__ void pauli_direct_kernel(Source source, uint64_t flips, uint64_t high,
                                    uint64_t weights, const PauliSlot* slots, uint32_t count,
                                    double* partials) {
  __shared__ double block_sums[K * kPauliThreads];
  const unsigned t = threadIdx.x;
  PauliTermSums<K> sums;
#pragma unroll
  for (int k = 0; k < K; ++k) {
    const PauliSlot slot = slots[static_cast<uint32_t>(k) < count ? k : count - 1];
    sums.mask[k] = slot.sign_mask;
    sums.odd[k] = slot.odd != 0;
    sums.sum[k] = 0.0;
  }
  const uint64_t stride = static_cast<uint64_t>(blockDim.x) * gridDim.x;
  uint64_t p = static_cast<uint64_t>(blockIdx.x) * blockDim.x + t;
  for (; p + 3 * stride < weights; p += 4 * stride) {
    const PauliWeights w0 = weights_at(source, flips, high, p);
    const PauliWeights w1 = weights_at(source, flips, high, p + stride);
    const PauliWeights w2 = weights_at(source, flips, high, p + 2 * stride);
    const PauliWeights w3 = weights_at(source, flips, high, p + 3 * stride);
    sums.add(w0, p);
    sums.add(w1, p + stride);
    sums.add(w2, p + 2 * stride);
    sums.add(w3, p + 3 * stride);
  }
  for (; p < weights; p += stride) sums.add(weights_at(source, flips, high, p), p);
#pragma unroll
  for (int k = 0; k < K; ++k) block_sums[k * kPauliThreads + t] = sums.sum[k];
  __syncthreads();
  for (unsigned half = kPauliThreads / 2; half > 0; half >>= 1) {
    if (t < half) {
#pragma unroll
      for (int k = 0; k < K; ++k)
        block_sums[k * kPauliThreads + t] += block_sums[k * kPauliThreads + t + half];
    }
    __syncthreads();
  }
  if (t < count && t < static_cast<unsigned>(K))
    partials[blockIdx.x * count + t] = block_sums[t * kPauliThreads];
}

// A tile keeps one padding slot per 16 values, so that the four values of a
// butterfly at the lowest bits fall on different banks.
constexpr unsigned kPauliTile = 1u << kPauliTileBits;
constexpr unsigned kPauliTileSlots = kPauliTile + kPauliTile / 16;

__host__ __device__ __forceinline__ unsigned tile_slot(unsigned v) { return v + (v >> 4); }

// The Walsh-Hadamard butterfly over two bits: a[k] <- sum_j (-1)^popcount(j & k) a[j].
__host__ __device__ __forceinline__ void hadamard4(double& a0, double& a1, double& a2, double& a3) {
  const double s01 = a0 + a1, d01 = a0 - a1, s23 = a2 + a3, d23 = a2 - a3;
  a0 = s01 + s23;
  a1 = d01 + d23;
  a2 = s01 - s23;
  a3 = d01 - d23;
}

// Transforms four values at base + {0, 1, 2, 3} * d into the tile.
__host__ __device__ __forceinline__ void store_quad(double* tile, unsigned base, unsigned d,
                                                    double a0, double a1, double a2, double a3) {
  hadamard4(a0, a1, a2, a3);
  tile[tile_slot(base)] = a0;
  tile[tile_slot(base + d)] = a1;
  tile[tile_slot(base + 2 * d)] = a2;
  tile[tile_slot(base + 3 * d)] = a3;
}

// One stage of the tile transform: over bits (bit, bit + 1), or bit alone.
__device__ __forceinline__ void hadamard_stage(double* tile, unsigned size, int bit,
                                               bool two_bits) {
  const unsigned d = 1u << bit;
  if (two_bits) {
    for (unsigned q = threadIdx.x; q < size / 4; q += blockDim.x) {
      const unsigned base = ((q >> bit) << (bit + 2)) | (q & (d - 1));
      store_quad(tile, base, d, tile[tile_slot(base)], tile[tile_slot(base + d)],
                 tile[tile_slot(base + 2 * d)], tile[tile_slot(base + 3 * d)]);
    }
  } else {
    for (unsigned q = threadIdx.x; q < size / 2; q += blockDim.x) {
      const unsigned base = ((q >> bit) << (bit + 1)) | (q & (d - 1));
      const double a0 = tile[tile_slot(base)], a1 = tile[tile_slot(base + d)];
      tile[tile_slot(base)] = a0 + a1;
      tile[tile_slot(base + d)] = a0 - a1;
    }
  }
}

// Loads the weights of one tile, transformed over its two highest bits on the
// way in (four coalesced reads a thread); tiles of fewer than 4 weights are
// stored as they come.
template <typename Source>
__device__ __forceinline__ void load_tile(const Source& source, uint64_t flips,
                                                   uint64_t high, uint64_t base, int bits,
                                                   bool need_even, bool need_odd,
                                                   double* even_tile, double* odd_tile) {
  const unsigned size = 1u << bits;
  if (bits < 2) {
    for (unsigned j = threadIdx.x; j < size; j += blockDim.x) {
      const PauliWeights w = weights_at(source, flips, high, base + j);
      even_tile[tile_slot(j)] = w.even;
      odd_tile[tile_slot(j)] = w.odd;
    }
    return;
  }
  const unsigned d = size / 4;
  for (unsigned j = threadIdx.x; j < d; j += blockDim.x) {
    const PauliWeights w0 = weights_at(source, flips, high, base + j);
    const PauliWeights w1 = weights_at(source, flips, high, base + j + d);
    const PauliWeights w2 = weights_at(source, flips, high, base + j + 2 * d);
    const PauliWeights w3 = weights_at(source, flips, high, base + j + 3 * d);
    if (need_even) store_quad(even_tile, j, d, w0.even, w1.even, w2.even, w3.even);
    if (need_odd) store_quad(odd_tile, j, d, w0.odd, w1.odd, w2.odd, w3.odd);
  }
}

// Up to 256 terms, one per thread. A block walks its tiles in order; each tile
// of 2^bits weights is Walsh-Hadamard transformed in shared memory, after
// which the signed sum of the tile for any sign mask is one entry: the entry
// at the mask's low bits, negated by the parity of the tile index under its
// high bits. The cost per weight is about bits/2 shared-memory round trips
// whatever the number of terms.
template <typename Source>
__global__ void pauli_transform_kernel(Source source, uint64_t flips, uint64_t high, int bits,
                                       uint64_t tiles, const PauliSlot* slots, uint32_t count,
                                       bool need_even, bool need_odd, double* partials) {
  __shared__ double even_tile[kPauliTileSlots];
  __shared__ double odd_tile[kPauliTileSlots];
  const unsigned t = threadIdx.x;
  const unsigned size = 1u << bits;
  const bool owner = t < count;
  const PauliSlot slot = slots[owner ? t : 0];
  const unsigned entry = tile_slot(static_cast<unsigned>(slot.sign_mask & (size - 1)));
  const uint64_t tile_mask = slot.sign_mask >> bits;
  const int top = bits < 2 ? 0 : 2;  // bits the load transforms
  double sum = 0.0;
  for (uint64_t tile = blockIdx.x; tile < tiles; tile += gridDim.x) {
    load_tile(source, flips, high, tile << bits, bits, need_even, need_odd, even_tile, odd_tile);
    __syncthreads();
    for (int bit = 0; bit < bits - top; bit += 2) {
      const bool two_bits = bit + 1 < bits - top;
      if (need_even) hadamard_stage(even_tile, size, bit, two_bits);
      if (need_odd) hadamard_stage(odd_tile, size, bit, two_bits);
      __syncthreads();
    }
    if (owner) {
      const double v = slot.odd != 0 ? odd_tile[entry] : even_tile[entry];
      sum += with_sign(v, odd_parity(tile & tile_mask));
    }
    __syncthreads();
  }
  if (owner) partials[blockIdx.x * count + t] = sum;
}

// One thread per term of a pass adds its blocks' partial sums in block order.
template <typename Source>
__global__ void pauli_finish_kernel(const double* partials, unsigned blocks, uint32_t count,
                                    double* sums) {
  const unsigned k = threadIdx.x;
  if (k >= count) return;
  double total = 0.0;
  for (unsigned b = 0; b < blocks; ++b) total += partials[static_cast<std::size_t>(b) * count + k];
  sums[k] = total;
}

template <typename Source>
void launch_pauli_pass(const Source& source, const PauliPass& pass, const PauliSlot* slots,
                       double* partials) {
  const dim3 grid(pass.blocks), block(kPauliThreads);
  switch (pass.kernel) {
    case PauliKernel::Direct1:
      launch_kernel(pauli_direct_kernel<1, Source>, grid, block, 0, nullptr, source, pass.flips,
                    pass.high, pass.weights, slots, pass.count, partials);
      break;
    case PauliKernel::Direct2:
      launch_kernel(pauli_direct_kernel<2, Source>, grid, block, 0, nullptr, source, pass.flips,
                    pass.high, pass.weights, slots, pass.count, partials);
      break;
    case PauliKernel::Direct4:
      launch_kernel(pauli_direct_kernel<4, Source>, grid, block, 0, nullptr, source, pass.flips,
                    pass.high, pass.weights, slots, pass.count, partials);
      break;
    case PauliKernel::Transform:
      launch_kernel(pauli_transform_kernel<Source>, grid, block, 0, nullptr, source, pass.flips,
                    pass.high, pass.tile_bits, pass.tiles, slots, pass.count, pass.even, pass.odd,
                    partials);
      break;
  }
}

// Re of each term's expectation, in list order; terms already checked against
// n. Nothing is launched for an empty list; every buffer is freed on every path.
template <typename Source>
std::vector<double> run_pauli_expectation(int32_t device, int64_t n, const Source& source,
                                          const std::vector<PauliTerm>& terms) {
  if (terms.empty()) return {};
  const PauliPlan plan = plan_pauli_passes(n, terms, &Source::scale);
  check_cuda(cudaSetDevice(device));
  DeviceBuffer<PauliSlot> slots;
  DeviceBuffer<double> partials;
  DeviceBuffer<double> sums;
  check_cuda(slots.allocate(plan.slots.size()));
  check_cuda(partials.allocate(plan.partials));
  check_cuda(sums.allocate(plan.slots.size()));
  check_cuda(cudaMemcpy(slots.get(), plan.slots.data(), slots.bytes(), cudaMemcpyHostToDevice));
  // Each launch check must see only its own launch, not an error left behind
  // by earlier work of this thread.
  ignore_cuda(cudaGetLastError());
  for (const PauliPass& pass : plan.passes) {
    launch_pauli_pass(source, pass, slots.get() + pass.first, partials.get());
    check_cuda(cudaGetLastError());
    launch_kernel(pauli_finish_kernel<Source>, dim3(1), dim3(kPauliThreads), 0, nullptr,
                  static_cast<const double*>(partials.get()), pass.blocks, pass.count,
                  sums.get() + pass.first);
    check_cuda(cudaGetLastError());
  }
  std::vector<double> by_slot(plan.slots.size());
  check_cuda(cudaMemcpy(by_slot.data(), sums.get(), sums.bytes(), cudaMemcpyDeviceToHost));
  check_cuda(sums.release());
  check_cuda(partials.release());
  check_cuda(slots.release());
  std::vector<double> values(terms.size());
  for (std::size_t k = 0; k < by_slot.size(); ++k)
    values[plan.term_of_slot[k]] = plan.scale_of_slot[k] * by_slot[k];
  return values;
}

}  // namespace qalvane
