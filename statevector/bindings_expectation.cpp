#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "bindings.h"
#include "py_pauli_terms.h"
#include "tovrek_device_state.h"
#include "tovrek_expectation.h"

namespace py = pybind11;

namespace tovrek {

namespace {

py::array_t<double> expectation_pauli_device(const DeviceState& state, const py::iterable& terms) {
  return qalvane::pauli_expectation_values(
      terms, state.n(),
      [&](const std::vector<qalvane::PauliTerm>& parsed) { return expectation_pauli(state, parsed); });
}

}  // namespace

void bind_expectation(py::module_& m) {
  m.def("expectation_pauli_device", &expectation_pauli_device,
        "Pauli expectation values on an existing CUDA DeviceState.\n\n"
        "terms is a sequence of (paulis, qubits) pairs: paulis a string over 'I', 'X', 'Y' "
        "and 'Z', qubits a sequence of as many distinct qubit indices in [0, n); letter j "
        "acts on qubits[j], qubit q being bit q of the amplitude index, and (\"\", []) is the "
        "identity. Returns a float64 array holding Re <psi|P|psi> for each term, in order, "
        "for the state as it is (no normalisation). Terms that flip the same qubits share "
        "passes over the state; only the values leave the device.",
        py::arg("state"), py::arg("terms"));
}

}  // namespace tovrek
