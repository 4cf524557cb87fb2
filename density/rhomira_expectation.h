// Pauli expectation values tr(rho P) of a density matrix, on its device.
#pragma once

#include <vector>

#include "pauli_terms.h"
#include "rhomira_device_state.h"

namespace qalvane::rhomira {

// Re tr(rho P) of each term, in order, for the matrix as it is (no
// normalisation, no Hermiticity assumed). The terms are already checked
// against the state's n.
std::vector<double> expectation_pauli(const DeviceDensityState& state,
                                      const std::vector<PauliTerm>& terms);

}  // namespace qalvane::rhomira
