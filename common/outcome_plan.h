// How the device reduction of a measurement's probability table
// (outcome_table.cuh, which gives the order) splits its work: which target
// bits vary within a tile, which fix a tile's group, and into how many runs a
// group's tiles are cut. Host code; the plan travels to the kernels by value.
#pragma once

#include <cstdint>
#include <vector>

#include "outcome_index.h"

namespace qalvane {

constexpr int kOutcomeTileBits = 10;
constexpr unsigned kOutcomeThreads = 256;
constexpr int kOutcomeSumsPerThread = 4;  // kOutcomeThreads * 4 = one tile
constexpr int kOutcomeMaxHighTargets = 62 - kOutcomeTileBits;
constexpr int kOutcomeMaxBlockBits = 12;    // at most 4096 blocks, unless the groups need more
constexpr int kOutcomeMinRunTileBits = 4;   // a split leaves every run 16 tiles or more

// What the kernels need to know of the targets, by value (kernels take it
// __grid_constant__, so indexing its tables costs no stack copy).
struct OutcomePlan {
  uint64_t outcomes;                          // 2^k
  uint64_t blocks;                            // 2^(high_count + run_bits)
  uint64_t tile_targets;                      // target bits of l
  uint64_t walk_bits;                         // bits of T a run walks (lowest non-targets)
  uint32_t tile_limit;                        // 2^n when n < 10: the rest of the tile is absent
  int32_t high_count;                         // high targets
  int32_t run_bits;                           // p
  int32_t run_tile_bits;                      // log2 of the tiles of a run
  uint8_t tile_place[kOutcomeTileBits];       // outcome bit of tile bit q (targets only)
  uint8_t high_bit[kOutcomeMaxHighTargets];   // bit of T of the j-th high target, ascending
  uint8_t high_place[kOutcomeMaxHighTargets]; // its outcome bit
  uint8_t run_bit[kOutcomeMaxBlockBits];      // bit of T that bit i of the run number sets
};

// Targets validated by the caller: distinct, in [0, n), 1 <= k <= 62.
// run_budget: the bytes the run tables may take (for a state vector
// max(state / 16, 4 MiB); 0 for a density matrix, whose diagonal has 32 tiles
// at most). p grows while every run keeps at least 16 tiles, there are at
// most 4096 blocks and the run tables (2^(k+p) doubles) fit the budget.
inline OutcomePlan plan_outcome_table(int64_t n, const std::vector<int64_t>& targets, bool little,
                                      uint64_t run_budget) {
  OutcomePlan plan{};
  const int k = static_cast<int>(targets.size());
  plan.outcomes = uint64_t{1} << k;
  plan.tile_limit = n < kOutcomeTileBits ? 1u << n : 1u << kOutcomeTileBits;
  int place_of_bit[64];
  uint64_t high_targets = 0;
  for (int j = 0; j < k; ++j) {
    const int bit = static_cast<int>(index_bit_of_qubit(n, targets[j], little));
    place_of_bit[bit] = k - 1 - j;
    if (bit < kOutcomeTileBits) {
      plan.tile_targets |= uint64_t{1} << bit;
      plan.tile_place[bit] = static_cast<uint8_t>(k - 1 - j);
    } else {
      high_targets |= uint64_t{1} << (bit - kOutcomeTileBits);
    }
  }
  std::vector<int> rest;  // bits of T that are not targets, ascending
  for (int q = 0; q + kOutcomeTileBits < n; ++q) {
    if ((high_targets >> q & 1) == 0) {
      rest.push_back(q);
      continue;
    }
    plan.high_bit[plan.high_count] = static_cast<uint8_t>(q);
    plan.high_place[plan.high_count] = static_cast<uint8_t>(place_of_bit[q + kOutcomeTileBits]);
    ++plan.high_count;
  }
  const int rest_count = static_cast<int>(rest.size());
  int p = 0;
  while (rest_count - (p + 1) >= kOutcomeMinRunTileBits &&
         plan.high_count + p + 1 <= kOutcomeMaxBlockBits &&
         (uint64_t{sizeof(double)} << (k + p + 1)) <= run_budget)
    ++p;
  plan.run_bits = p;
  plan.run_tile_bits = rest_count - p;
  for (int i = 0; i < plan.run_tile_bits; ++i) plan.walk_bits |= uint64_t{1} << rest[i];
  for (int i = 0; i < p; ++i) plan.run_bit[i] = static_cast<uint8_t>(rest[plan.run_tile_bits + i]);
  plan.blocks = uint64_t{1} << (plan.high_count + p);
  return plan;
}

}  // namespace qalvane
