// The parts of the tovrek module surface, each bound by its own file.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace tovrek {

void bind_device_state(pybind11::module_& m);  // KernelMode, DeviceState
void bind_fusion(pybind11::module_& m);        // PreparedFusionChunk and its functions
void bind_circuit(pybind11::module_& m);       // run_circuit_device(_gates), run_circuit
void bind_measure(pybind11::module_& m);       // measure_device, sample_measure_device, measure
void bind_expectation(pybind11::module_& m);   // expectation_pauli_device

// The shared check of a caller's NumPy state (writability is not looked at).
void check_host_state(int64_t n, const pybind11::array& state);
// Its checks before the dtype (buffer, dimensions, contiguity, n, size), for
// bindings that check other arguments before the dtype.
void check_host_layout(int64_t n, const pybind11::array& state);

class DeviceState;
// The buffer of a caller's array that a state is downloaded into, after the
// checks of copy_to_numpy (writable, the shared check, the state's dtype).
pybind11::buffer_info download_buffer(const DeviceState& self, const pybind11::array& state);

}  // namespace tovrek
