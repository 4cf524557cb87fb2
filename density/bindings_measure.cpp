#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "arguments.h"
#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"
#include "py_sequence.h"
#include "rhomira_device_state.h"
#include "rhomira_measure.h"

namespace py = pybind11;

namespace qalvane::rhomira {

namespace {

// The state by reference: the binding layer refuses None for it (a holder
// parameter would take None as a null state). The call's arguments keep it
// alive while the lock is released.
std::string measure_device(DeviceDensityState& state, const NumberList<int64_t>& targets,
                           const std::string& endian, const py::object& seed) {
  check_endian(endian);
  const uint64_t resolved = resolve_seed(seed);
  py::gil_scoped_release release;
  const int64_t n = static_cast<int64_t>(state.num_qubits());
  if (state.is_double())
    return measure_density<double>(n, state.data_as<double>(), targets.values, endian,
                                   state.device_id(), resolved);
  return measure_density<float>(n, state.data_as<float>(), targets.values, endian,
                                state.device_id(), resolved);
}

}  // namespace

void bind_density_measure(py::module_& m) {
  m.def("measure_device", &measure_device, py::arg("state"), py::arg("targets"),
        py::arg("endian") = "little", py::arg("seed") = py::none(), docs::kMeasureDevice);
}

}  // namespace qalvane::rhomira
