// Pauli expectation values <psi|P|psi> of a state vector, on its device.
#pragma once

#include <vector>

#include "pauli_terms.h"
#include "tovrek_device_state.h"

namespace tovrek {

// Re <psi|P|psi> of each term, in order, for the state as it is (no
// normalisation). The terms are already checked against the state's n.
std::vector<double> expectation_pauli(const DeviceState& state,
                                      const std::vector<qalvane::PauliTerm>& terms);

}  // namespace tovrek
