// The probability table of a measurement in both modules: for each outcome m
// of the k target qubits, the sum of the weights (|amplitude|^2, or a
// diagonal entry of a density matrix) of the basis indices with outcome m.
// It is reduced on the device in one fixed order, without atomics, so that a
// state gives the same table bits on every run, on every GPU and on the host
// runtime.
//
// The order. Basis index i = T * 1024 + l: tile number T, local index
// l = thread + 256 e (e = 0..3). Targets on bits below 10 ("tile targets")
// vary within a tile; the others ("high targets") are fixed by T. The tiles
// whose high-target bits are the same form a group; counted by their other
// bits (lowest first), a group's tiles are cut into 2^p runs of equal
// length, and block b reads run b mod 2^p of group b >> p.
// 1. A thread adds the weight of T * 1024 + l to its sum for e, tile after
//    tile of its run.
// 2. Over each tile bit that is not a target, in the order 8, 9, 0, 1, ..., 7,
//    the sum at l (bit clear) becomes sum(l) + sum(l with the bit set).
// 3. The sums left at the l whose non-target tile bits are 0 are the run's
//    sums, one per outcome the run meets; with p = 0 they are the table.
// 4. Otherwise the 2^p run sums of an outcome are added in 8 chains (run s
//    to chain s mod 8, in order of s), then as
//    ((c0 + c1) + (c2 + c3)) + ((c4 + c5) + (c6 + c7)).
// p comes from outcome_plan.h and depends on n, the targets, the endian
// setting and the caller's budget only.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cuda_error.h"
#include "device_buffer.h"
#include "launch.cuh"
#include "outcome_plan.h"

namespace qalvane {

constexpr unsigned kOutcomeMaxGrid = 1u << 30;  // more blocks take turns

// Steps 1-3 for the blocks of the plan; out holds 2^p tables of 2^k entries,
// run s in table s (with p = 0, the table itself). weight(i) is the weight of
// basis index i, in double. Launched with kOutcomeThreads threads.
template <typename Weight>
__device__ __forceinline__ void reduce_outcome_runs(const OutcomePlan& plan, const Weight& weight,
                                                    double* out) {
  __shared__ double sums[kOutcomeThreads * kOutcomeSumsPerThread];
  constexpr unsigned kFullWarp = 0xffffffffu;
  const unsigned t = threadIdx.x;
  const unsigned free_bits = ~static_cast<unsigned>(plan.tile_targets) & 0x3ffu;
  const unsigned free_e = free_bits >> 8;  // e survives step 2 when (e & free_e) == 0
  const bool across_warps = (free_bits & 0xe0u) != 0;
  const uint64_t walk_step = plan.walk_bits & (~plan.walk_bits + 1);
  const uint64_t run_tiles = uint64_t{1} << plan.run_tile_bits;
  uint64_t thread_place = 0;  // outcome bits that tile bits 0-7 (the thread) give
#pragma unroll
  for (int q = 0; q < 8; ++q)
    if (plan.tile_targets >> q & 1) thread_place |= uint64_t{t >> q & 1u} << plan.tile_place[q];

  for (uint64_t b = blockIdx.x; b < plan.blocks; b += gridDim.x) {
    const uint64_t group = b >> plan.run_bits;
    const uint64_t run = b & ((uint64_t{1} << plan.run_bits) - 1);
    uint64_t tile = 0;
    uint64_t place = thread_place;
    for (int j = 0; j < plan.high_count; ++j) {
      const uint64_t bit = group >> j & 1;
      tile |= bit << plan.high_bit[j];
      place |= bit << plan.high_place[j];
    }
    for (int i = 0; i < plan.run_bits; ++i) tile |= (run >> i & 1) << plan.run_bit[i];

    double acc[kOutcomeSumsPerThread] = {0.0, 0.0, 0.0, 0.0};
    if (plan.tile_limit == 1u << kOutcomeTileBits) {
      uint64_t walk = 0;  // the run's count deposited on walk_bits
      for (uint64_t r = 0; r < run_tiles; ++r) {
        const uint64_t base = (tile | walk) << kOutcomeTileBits | t;
#pragma unroll
        for (int e = 0; e < kOutcomeSumsPerThread; ++e)
          acc[e] += weight(base + kOutcomeThreads * e);
        walk = ((walk | ~plan.walk_bits) + walk_step) & plan.walk_bits;
      }
    } else {  // n < 10: one tile, in part
#pragma unroll
      for (int e = 0; e < kOutcomeSumsPerThread; ++e)
        if (t + kOutcomeThreads * e < plan.tile_limit) acc[e] = weight(t + kOutcomeThreads * e);
    }

    if (free_e & 1) {
      acc[0] += acc[1];
      acc[2] += acc[3];
    }
    if (free_e & 2) {
      acc[0] += acc[2];
      acc[1] += acc[3];
    }
#pragma unroll
    for (int q = 0; q < 5; ++q) {
      if ((free_bits >> q & 1) == 0) continue;
#pragma unroll
      for (int e = 0; e < kOutcomeSumsPerThread; ++e)
        if ((e & free_e) == 0) acc[e] += __shfl_xor_sync(kFullWarp, acc[e], 1 << q);
    }
    if (across_warps) {
#pragma unroll
      for (int e = 0; e < kOutcomeSumsPerThread; ++e)
        if ((e & free_e) == 0) sums[t + kOutcomeThreads * e] = acc[e];
      __syncthreads();
#pragma unroll
      for (int q = 5; q < 8; ++q) {
        if ((free_bits >> q & 1) == 0) continue;
        if ((t >> q & 1) == 0) {
#pragma unroll
          for (int e = 0; e < kOutcomeSumsPerThread; ++e) {
            const unsigned l = t + kOutcomeThreads * e;
            if ((e & free_e) == 0) sums[l] += sums[l | 1u << q];
          }
        }
        __syncthreads();
      }
    }

    if ((t & free_bits) == 0) {
      double* run_table = out + run * plan.outcomes;
#pragma unroll
      for (int e = 0; e < kOutcomeSumsPerThread; ++e) {
        if ((e & free_e) != 0) continue;
        uint64_t m = place;
        if (plan.tile_targets >> 8 & 1) m |= uint64_t(e & 1) << plan.tile_place[8];
        if (plan.tile_targets >> 9 & 1) m |= uint64_t(e >> 1) << plan.tile_place[9];
        run_table[m] = across_warps ? sums[t + kOutcomeThreads * e] : acc[e];
      }
    }
    if (across_warps) __syncthreads();  // the next block's sums reuse the table
  }
}

// Step 4: table[m] from the 2^p run tables.
__device__ __forceinline__ void add_outcome_runs(const OutcomePlan& plan, const double* runs,
                                                 double* table) {
  constexpr int kChains = 8;
  const uint64_t count = uint64_t{1} << plan.run_bits;
  const uint64_t stride = static_cast<uint64_t>(blockDim.x) * gridDim.x;
  for (uint64_t m = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
       m < plan.outcomes; m += stride) {
    double chain[kChains] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (uint64_t s = 0; s < count; s += kChains) {
#pragma unroll
      for (int c = 0; c < kChains; ++c)
        if (s + c < count) chain[c] += runs[(s + c) * plan.outcomes + m];
    }
    table[m] = ((chain[0] + chain[1]) + (chain[2] + chain[3])) +
               ((chain[4] + chain[5]) + (chain[6] + chain[7]));
  }
}

// A reduced table: its copy on the host and the device buffers, which the
// caller frees (checked) once the collapse is launched, the table first.
// Dropped on an error, the buffers are freed without a check.
struct OutcomeTable {
  std::vector<double> probabilities;  // 2^k, by outcome index
  DeviceBuffer<double> table;
  DeviceBuffer<double> runs;  // with p > 0 only

  void release() {
    check_cuda(table.release());
    check_cuda(runs.release());
  }
};

// Allocates, reduces (steps 1-3, then 4 where the plan has runs) and copies
// the table to the host. add_kernel may be null where plans have no runs.
template <typename Weight>
OutcomeTable reduce_outcome_table(const OutcomePlan& plan,
                                  void (*reduce_kernel)(OutcomePlan, Weight, double*),
                                  void (*add_kernel)(OutcomePlan, const double*, double*),
                                  Weight weight) {
  OutcomeTable out;
  check_cuda(out.table.allocate(plan.outcomes));
  if (plan.run_bits > 0) check_cuda(out.runs.allocate(plan.outcomes << plan.run_bits));
  const dim3 block(kOutcomeThreads);
  launch_kernel(reduce_kernel,
                dim3(static_cast<unsigned>(std::min<uint64_t>(plan.blocks, kOutcomeMaxGrid))),
                block, 0, cudaStream_t{0}, plan, weight,
                plan.run_bits > 0 ? out.runs.get() : out.table.get());
  check_cuda(cudaGetLastError());
  if (plan.run_bits > 0) {
    const uint64_t blocks = (plan.outcomes + kOutcomeThreads - 1) / kOutcomeThreads;
    launch_kernel(add_kernel,
                  dim3(static_cast<unsigned>(std::min<uint64_t>(blocks, kOutcomeMaxGrid))), block,
                  0, cudaStream_t{0}, plan, static_cast<const double*>(out.runs.get()),
                  out.table.get());
    check_cuda(cudaGetLastError());
  }
  out.probabilities.resize(plan.outcomes);
  check_cuda(cudaMemcpy(out.probabilities.data(), out.table.get(), out.table.bytes(),
                        cudaMemcpyDeviceToHost));
  return out;
}

}  // namespace qalvane
