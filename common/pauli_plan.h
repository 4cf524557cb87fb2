// How a list of Pauli terms is evaluated on the device. Terms that flip the
// same qubits (the same X/Y pattern) read the same elements, so they share
// passes: a pass walks 2^n weight indices (2^(n-1) index pairs when the
// terms flip), and each term is a signed sum of one weight per index, the
// sign being the parity of the index under the term's sign mask. Up to four
// terms run as a direct pass (each thread sums every term); larger groups
// run 256 terms a pass through Walsh-Hadamard tiles, so that the work per
// element does not grow with the number of terms.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "pauli_terms.h"

namespace qalvane {

constexpr unsigned kPauliThreads = 256;
constexpr unsigned kPauliMaxBlocks = 1024;
constexpr int kPauliTileBits = 10;
constexpr uint64_t kPauliWeightsPerThread = 64;  // direct passes: before adding a block
constexpr std::size_t kPauliMaxDirectTerms = 4;

// What a kernel reads of one term.
struct PauliSlot {
  uint64_t sign_mask;  // the term's sign at weight index p is (-1)^popcount(p & sign_mask)
  uint32_t odd;        // 1: an odd number of Y letters, the term reads the odd weight
};

enum class PauliKernel { Direct1, Direct2, Direct4, Transform };

struct PauliPass {
  uint64_t flips;     // the X/Y pattern of its terms
  uint64_t high;      // highest bit of flips (0 when none): pair p is (i, i ^ flips), that bit of i clear
  uint64_t weights;   // 2^n, or 2^(n-1) when flips != 0
  std::size_t first;  // its slots are [first, first + count)
  uint32_t count;
  PauliKernel kernel;
  int tile_bits;      // Transform: 2^tile_bits weights per tile
  uint64_t tiles;
  unsigned blocks;
  bool even;          // some term reads the even weight
  bool odd;           // some term reads the odd weight
};

// Factor (sign and scale) of a term's signed sum, by whether it flips and by
// its number of Y letters modulo 4; it is the module's weight convention.
using PauliScale = double (*)(bool flips, unsigned y_count);

struct PauliPlan {
  std::vector<PauliSlot> slots;  // grouped by flips, list order within a group
  std::vector<std::size_t> term_of_slot;
  std::vector<double> scale_of_slot;
  std::vector<PauliPass> passes;
  std::size_t partials = 0;  // the largest blocks * count of a pass
};

inline uint64_t highest_bit(uint64_t v) { return v == 0 ? 0 : uint64_t{1} << (63 - __builtin_clzll(v)); }

// The sign mask over weight indices: with a pair's lower index i made from p by
// opening a zero at `high`, the bits of `phases` above `high` move down one.
inline uint64_t pauli_sign_mask(uint64_t phases, uint64_t high) {
  if (high == 0) return phases;
  return (phases & (high - 1)) | ((phases >> 1) & ~(high - 1));
}

inline PauliPass pauli_pass(int64_t n, uint64_t flips, std::size_t first, std::size_t count,
                            const std::vector<PauliSlot>& slots) {
  PauliPass pass{};
  pass.flips = flips;
  pass.high = highest_bit(flips);
  const int bits = static_cast<int>(n) - (flips != 0 ? 1 : 0);
  pass.weights = uint64_t{1} << bits;
  pass.first = first;
  pass.count = static_cast<uint32_t>(count);
  for (std::size_t k = first; k < first + count; ++k) (slots[k].odd != 0 ? pass.odd : pass.even) = true;
  if (count <= kPauliMaxDirectTerms) {
    pass.kernel = count == 1 ? PauliKernel::Direct1 : count == 2 ? PauliKernel::Direct2 : PauliKernel::Direct4;
    const uint64_t per_block = uint64_t{kPauliThreads} * kPauliWeightsPerThread;
    pass.blocks = static_cast<unsigned>(
        std::min<uint64_t>(kPauliMaxBlocks, (pass.weights + per_block - 1) / per_block));
  } else {
    pass.kernel = PauliKernel::Transform;
    pass.tile_bits = std::min(bits, kPauliTileBits);
    pass.tiles = uint64_t{1} << (bits - pass.tile_bits);
    pass.blocks = static_cast<unsigned>(std::min<uint64_t>(kPauliMaxBlocks, pass.tiles));
  }
  return pass;
}

inline PauliPlan plan_pauli_passes(int64_t n, const std::vector<PauliTerm>& terms, PauliScale scale) {
  std::vector<std::size_t> order(terms.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&terms](std::size_t a, std::size_t b) { return terms[a].flips < terms[b].flips; });
  PauliPlan plan;
  plan.slots.resize(terms.size());
  plan.term_of_slot = order;
  plan.scale_of_slot.resize(terms.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const PauliTerm& term = terms[order[k]];
    const unsigned y_count = static_cast<unsigned>(__builtin_popcountll(term.flips & term.phases));
    plan.slots[k].sign_mask = pauli_sign_mask(term.phases, highest_bit(term.flips));
    plan.slots[k].odd = y_count & 1u;
    plan.scale_of_slot[k] = scale(term.flips != 0, y_count & 3u);
  }
  for (std::size_t begin = 0; begin < order.size();) {
    const uint64_t flips = terms[order[begin]].flips;
    std::size_t end = begin;
    while (end < order.size() && terms[order[end]].flips == flips) ++end;
    const std::size_t group = end - begin;
    const std::size_t per_pass = group <= kPauliMaxDirectTerms ? group : kPauliThreads;
    for (std::size_t first = begin; first < end; first += per_pass) {
      const PauliPass pass = pauli_pass(n, flips, first, std::min(per_pass, end - first), plan.slots);
      plan.partials = std::max<std::size_t>(plan.partials, std::size_t{pass.blocks} * pass.count);
      plan.passes.push_back(pass);
    }
    begin = end;
  }
  return plan;
}

}  // namespace qalvane
