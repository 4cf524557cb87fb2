// What every gate launcher and kernel shares: control masks, launch geometry
// and the index arithmetic by which a thread finds its amplitudes.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bit_index.cuh"
#include "cu_complex.h"
#include "tovrek_types.h"

namespace tovrek {

using qalvane::CuComplex;
using qalvane::deposit_bits;
using qalvane::deposit_free_bits;
using qalvane::insert_zero_bit;

constexpr unsigned kThreadsPerBlock = 256;

struct ControlMasks {
  uint64_t control_mask = 0;
  uint64_t control_value = 0;
};

inline ControlMasks build_control_masks(const std::vector<int64_t>& controls,
                                        const std::vector<int64_t>& control_state) {
  if (controls.size() != control_state.size())
    throw std::invalid_argument("controls.size() != control_state.size()");
  ControlMasks masks;
  for (std::size_t k = 0; k < controls.size(); ++k) {
    if (static_cast<uint64_t>(controls[k]) > 62)
      throw std::invalid_argument("control qubit index must be in [0, 62]");
    const uint64_t bit = uint64_t{1} << controls[k];
    masks.control_mask |= bit;
    if (control_state[k] == 1) masks.control_value |= bit;
    if (static_cast<uint64_t>(control_state[k]) > 1)
      throw std::invalid_argument("control_state must contain only 0/1");
  }
  return masks;
}

// ceil(items / threads) blocks, computed in 64 bits; no cap.
inline dim3 grid_for(uint64_t items, unsigned threads = kThreadsPerBlock) {
  return dim3(static_cast<unsigned>((items + threads - 1) / threads), 1, 1);
}

__host__ __device__ __forceinline__ uint64_t global_thread_index() {
  return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__host__ __device__ __forceinline__ uint64_t grid_stride() {
  return static_cast<uint64_t>(blockDim.x) * gridDim.x;
}

// Complex arithmetic in T, in the order the kernels promise.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> complex_mul(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> complex_add(CuComplex<T> a, CuComplex<T> b) {
  return CuComplex<T>{a.re + b.re, a.im + b.im};
}

// Two adjacent amplitudes (2t, 2t + 1) as they travel together: one 16-byte
// access for float, two for double.
template <typename T>
struct alignas(2 * sizeof(CuComplex<T>)) AdjacentPair {
  CuComplex<T> lo;
  CuComplex<T> hi;
};

template <typename T>
__host__ __device__ __forceinline__ AdjacentPair<T> load_adjacent(const CuComplex<T>* data,
                                                                 uint64_t even) {
  if constexpr (sizeof(T) == 4) {
    return *reinterpret_cast<const AdjacentPair<T>*>(data + even);
  } else {
    return AdjacentPair<T>{data[even], data[even + 1]};
  }
}

template <typename T>
__host__ __device__ __forceinline__ void store_adjacent(CuComplex<T>* data, uint64_t even,
                                                       AdjacentPair<T> pair) {
  if constexpr (sizeof(T) == 4) {
    *reinterpret_cast<AdjacentPair<T>*>(data + even) = pair;
  } else {
    data[even] = pair.lo;
    data[even + 1] = pair.hi;
  }
}

}  // namespace tovrek
