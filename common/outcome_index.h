// How measurement of both modules reads target qubits out of a basis index:
// qubit targets[j] is bit k-1-j of the outcome index m (the first target is
// the most significant character of the outcome string), read from bit
// targets[j] of the basis index (little endian) or bit n-1-targets[j] (big).
#pragma once

#include <cstdint>
#include <vector>

namespace qalvane {

inline int64_t index_bit_of_qubit(int64_t n, int64_t qubit, bool little) {
  return little ? qubit : n - 1 - qubit;
}

// The basis indices i of outcome m are those with (i & mask) == value: what
// the collapse kernels test per index.
struct OutcomeSelector {
  uint64_t mask = 0;
  uint64_t value = 0;
};

inline OutcomeSelector select_outcome(int64_t n, const std::vector<int64_t>& targets, bool little,
                                      uint64_t m) {
  const std::size_t k = targets.size();
  OutcomeSelector s;
  for (std::size_t j = 0; j < k; ++j) {
    const uint64_t bit = uint64_t{1} << index_bit_of_qubit(n, targets[j], little);
    s.mask |= bit;
    if ((m >> (k - 1 - j)) & 1u) s.value |= bit;
  }
  return s;
}

}  // namespace qalvane
