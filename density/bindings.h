// The parts of the rhomira module surface, each bound by its own file.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "density_operation.h"

namespace qalvane::rhomira {

void bind_density_state(pybind11::module_& m);       // DeviceDensityState
void bind_density_operations(pybind11::module_& m);  // run_density_operations_device
void bind_density_measure(pybind11::module_& m);     // measure_device
void bind_density_expectation(pybind11::module_& m);  // expectation_pauli_device

// Reads the caller's operation objects by attribute, holding the interpreter lock.
std::vector<DensityOperation> parse_density_operations(const pybind11::iterable& operations);

}  // namespace qalvane::rhomira
