#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "bindings_docs.h"
#include "gate_parsing.h"
#include "py_arguments.h"
#include "run_circuit.h"
#include "tovrek_device_state.h"
#include "tovrek_types.h"

namespace py = pybind11;

namespace tovrek {

namespace {

// Runs parsed records on the state without the interpreter lock.
void run_records(DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode) {
  py::gil_scoped_release release;
  if (state.dtype() == StateDtype::Complex128)
    run_circuit_chunk<double>(state.n(), state.data_as<double>(), state.num_state(), records,
                              state.device_id(), mode);
  else
    run_circuit_chunk<float>(state.n(), state.data_as<float>(), state.num_state(), records,
                             state.device_id(), mode);
}

void run_circuit_device(DeviceState& state, const py::list& gate_ir, const std::string& endian,
                        KernelMode mode) {
  qalvane::check_endian(endian);
  const std::vector<GateRecord> records = read_gate_ir(gate_ir);
  run_records(state, records, mode);
}

void run_circuit_device_gates(DeviceState& state, const py::iterable& gates,
                              const std::string& endian, KernelMode mode) {
  qalvane::check_endian(endian);
  const std::vector<GateRecord> records = read_gate_objects(gates);
  if (records.empty()) return;
  run_records(state, records, mode);
}

py::array run_circuit(int64_t n, const py::array& state, const py::list& gate_ir,
                      const std::string& endian, const std::string& device, KernelMode mode,
                      bool use_pinned_host) {
  if (!state.writeable()) throw std::invalid_argument("state array must be writable");
  const py::buffer_info info = state.request(true);
  if (info.ndim != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
  if ((state.flags() & py::array::c_style) == 0)
    throw std::invalid_argument("state must be C-contiguous");
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  if (info.size != (int64_t{1} << n)) throw std::invalid_argument("state.size must equal 2**n");
  qalvane::check_endian(endian);
  const int32_t device_id = qalvane::parse_device(device);
  const StateDtype dtype = qalvane::dtype_of_array(state);
  // The array is written only after every gate ran, so a failure leaves it as it was.
  DeviceState temporary(n, dtype, device_id);
  temporary.upload(info.ptr, info.size, use_pinned_host);
  run_circuit_device(temporary, gate_ir, endian, mode);
  // Reading the gate list ran Python code, which may have resized the array
  // and freed its data: the buffer is taken and checked afresh.
  const py::buffer_info result = download_buffer(temporary, state);
  temporary.download(result.ptr, result.size, use_pinned_host);
  return state;
}

}  // namespace

void bind_circuit(py::module_& m) {
  // Shown in signatures and stubs as the Python expression it is.
  const py::arg_v kMode("mode", KernelMode::PairAuto, "KernelMode.PairAuto");
  m.def("run_circuit_device", &run_circuit_device, py::arg("state"), py::arg("gate_ir"),
        py::arg("endian") = "little", kMode, docs::kRunCircuitDevice);
  m.def("run_circuit_device_gates", &run_circuit_device_gates, py::arg("state"),
        py::arg("gates"), py::arg("endian") = "little", kMode, docs::kRunCircuitDeviceGates);
  m.def("run_circuit", &run_circuit, py::arg("n"), py::arg("state").noconvert(),
        py::arg("gate_ir"), py::arg("endian") = "little", py::arg("device") = "cuda:0",
        kMode, py::arg("use_pinned_host") = false, docs::kRunCircuit);
}

}  // namespace tovrek
