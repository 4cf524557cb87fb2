#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "bindings.h"
#include "py_pauli_terms.h"
#include "rhomira_device_state.h"
#include "rhomira_expectation.h"

namespace py = pybind11;

namespace qalvane::rhomira {

namespace {

py::array_t<double> expectation_pauli_device(const std::shared_ptr<DeviceDensityState>& state,
                                             const py::iterable& terms) {
  return pauli_expectation_values(terms, static_cast<int64_t>(state->num_qubits()),
                                  [&](const std::vector<PauliTerm>& parsed) {
                                    return expectation_pauli(*state, parsed);
                                  });
}

}  // namespace

void bind_density_expectation(py::module_& m) {
  m.def("expectation_pauli_device", &expectation_pauli_device,
        "Pauli expectation values on an existing CUDA DeviceDensityState.\n\n"
        "terms is a sequence of (paulis, qubits) pairs: paulis a string over 'I', 'X', 'Y' "
        "and 'Z', qubits a sequence of as many distinct qubit indices in [0, n); letter j "
        "acts on qubits[j], qubit q being bit q of the row and column index, and (\"\", []) "
        "is the identity. Returns a float64 array holding Re tr(rho P) for each term, in "
        "order, for the matrix as it is (no normalisation). Each term reads only the 2**n "
        "elements it reaches; only the values leave the device.",
        py::arg("state"), py::arg("terms"));
}

}  // namespace qalvane::rhomira
