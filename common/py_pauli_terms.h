// Reads the caller's Pauli terms, holding the interpreter lock. Every
// sequence is walked through a tuple snapshot that holds its items, so Python
// code running while it is read cannot free what the reader is looking at.
// Python errors raised by the caller's objects pass through unchanged.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pauli_terms.h"

namespace qalvane {

namespace pauli_reading {

// Sequences other than text: what a term and its qubit list may be.
inline bool is_item_sequence(const pybind11::handle& object) {
  PyObject* o = object.ptr();
  return PySequence_Check(o) != 0 && !PyUnicode_Check(o) && !PyBytes_Check(o) &&
         !PyByteArray_Check(o);
}

inline pybind11::tuple snapshot(const pybind11::handle& items) {
  PyObject* tuple = PySequence_Tuple(items.ptr());
  if (tuple == nullptr) throw pybind11::error_already_set();
  return pybind11::reinterpret_steal<pybind11::tuple>(tuple);
}

// Characters beyond ASCII become '?', which the letter check refuses.
inline std::string letters_of(const pybind11::handle& text) {
  const Py_ssize_t length = PyUnicode_GetLength(text.ptr());
  if (length < 0) throw pybind11::error_already_set();
  std::string letters(static_cast<std::size_t>(length), '?');
  for (Py_ssize_t j = 0; j < length; ++j) {
    const Py_UCS4 c = PyUnicode_ReadChar(text.ptr(), j);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw pybind11::error_already_set();
    if (c < 128) letters[static_cast<std::size_t>(j)] = static_cast<char>(c);
  }
  return letters;
}

}  // namespace pauli_reading

// Term by term: the pair's shape, its letters, then the qubits (converted as
// the gate readers convert theirs), their count, range and distinctness.
inline std::vector<PauliTerm> read_pauli_terms(const pybind11::handle& terms, int64_t n) {
  using namespace pauli_reading;
  const pybind11::tuple items = snapshot(terms);
  std::vector<PauliTerm> parsed;
  parsed.reserve(items.size());
  for (const pybind11::handle item : items) {
    constexpr const char* kNotAPair = "pauli term must be a (paulis, qubits) pair";
    if (!is_item_sequence(item)) throw std::invalid_argument(kNotAPair);
    const pybind11::tuple pair = snapshot(item);
    if (pair.size() != 2 || !PyUnicode_Check(pair[0].ptr()) || !is_item_sequence(pair[1]))
      throw std::invalid_argument(kNotAPair);
    const std::string letters = letters_of(pair[0]);
    check_pauli_letters(letters);
    const pybind11::tuple qubit_items = snapshot(pair[1]);
    std::vector<int64_t> qubits;
    qubits.reserve(qubit_items.size());
    for (const pybind11::handle qubit : qubit_items) qubits.push_back(qubit.cast<int64_t>());
    parsed.push_back(make_pauli_term(letters, qubits, n));
  }
  return parsed;
}

// Every term is read and checked before the device is touched, with the
// interpreter lock; evaluate(parsed) runs without it. An empty list never
// reaches the device.
template <typename Evaluate>
pybind11::array_t<double> pauli_expectation_values(const pybind11::handle& terms, int64_t n,
                                                   Evaluate&& evaluate) {
  const std::vector<PauliTerm> parsed = read_pauli_terms(terms, n);
  std::vector<double> values;
  if (!parsed.empty()) {
    pybind11::gil_scoped_release release;
    values = evaluate(parsed);
  }
  return pybind11::array_t<double>(static_cast<pybind11::ssize_t>(values.size()), values.data());
}

}  // namespace qalvane
