// A Pauli string over the qubits of a state as two bit masks. Qubit q is bit
// q, as everywhere: X flips bit q, Z reads a sign from it, Y does both (with
// a factor i that the evaluation derives from the count of Y letters).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qalvane {

struct PauliTerm {
  uint64_t flips = 0;   // qubits carrying X or Y
  uint64_t phases = 0;  // qubits carrying Z or Y
};

inline void check_pauli_letters(const std::string& letters) {
  for (const char c : letters)
    if (c != 'I' && c != 'X' && c != 'Y' && c != 'Z')
      throw std::invalid_argument("pauli string may contain only I, X, Y and Z");
}

// Letter j acts on qubits[j]; every qubit must lie in [0, n) and appear once
// (the range of an entry is checked before its repetition).
inline PauliTerm make_pauli_term(const std::string& letters, const std::vector<int64_t>& qubits,
                                 int64_t n) {
  check_pauli_letters(letters);
  if (letters.size() != qubits.size())
    throw std::invalid_argument("pauli string and qubit list must have the same length");
  PauliTerm term;
  uint64_t seen = 0;
  for (std::size_t j = 0; j < qubits.size(); ++j) {
    if (qubits[j] < 0 || qubits[j] >= n)
      throw std::invalid_argument("pauli qubit index must be in [0, n)");
    const uint64_t bit = uint64_t{1} << qubits[j];
    if ((seen & bit) != 0) throw std::invalid_argument("pauli qubits must be distinct");
    seen |= bit;
    if (letters[j] == 'X' || letters[j] == 'Y') term.flips |= bit;
    if (letters[j] == 'Z' || letters[j] == 'Y') term.phases |= bit;
  }
  return term;
}

}  // namespace qalvane
