#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"
#include "py_sequence.h"
#include "tovrek_device_state.h"
#include "tovrek_measure.h"

namespace py = pybind11;

namespace tovrek {

namespace {

std::string measure_device(DeviceState& state, const qalvane::NumberList<int64_t>& targets,
                           const std::string& endian, const py::object& seed) {
  qalvane::check_endian(endian);
  const uint64_t resolved = qalvane::resolve_seed(seed);
  py::gil_scoped_release release;
  return measure_device_state(state, targets.values, endian, resolved);
}

py::tuple sample_measure_device(DeviceState& state, const qalvane::NumberList<int64_t>& targets,
                                uint64_t shots, const std::string& endian, const py::object& seed,
                                bool collapse_last) {
  qalvane::check_endian(endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  const uint64_t resolved = qalvane::resolve_seed(seed);
  MeasureResult result;
  {
    py::gil_scoped_release release;
    result = sample_device_state(state, targets.values, endian, shots, resolved, collapse_last,
                                 qalvane::python_signal_check());
  }
  py::dict counts;
  for (const auto& entry : result.counts) counts[py::str(entry.first)] = py::int_(entry.second);
  return py::make_tuple(counts, py::str(result.last));
}

// Through a temporary state that is freed on every path; the array is
// overwritten only by the final download.
std::string measure(int64_t n, const py::array& state, const qalvane::NumberList<int64_t>& targets,
                    const std::string& endian, const std::string& device, bool use_pinned_host) {
  if (!state.writeable()) throw std::invalid_argument("state array must be writable");
  check_host_layout(n, state);
  qalvane::check_endian(endian);
  const int32_t device_id = qalvane::parse_device(device);
  const StateDtype dtype = qalvane::dtype_of_array(state);
  DeviceState temporary(n, dtype, device_id);
  const py::buffer_info info = state.request(true);
  temporary.upload(info.ptr, info.size, use_pinned_host);
  const std::string outcome = measure_device(temporary, targets, endian, py::none());
  temporary.download(info.ptr, info.size, use_pinned_host);
  return outcome;
}

}  // namespace

void bind_measure(py::module_& m) {
  m.def("measure_device", &measure_device, docs::kMeasureDevice,
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
        py::arg("seed") = py::none());
  m.def("sample_measure_device", &sample_measure_device,
        docs::kSampleMeasureDevice,
        py::arg("state"), py::arg("targets"), py::arg("shots"), py::arg("endian") = "little",
        py::arg("seed") = py::none(), py::arg("collapse_last") = true);
  m.def("measure", &measure,
        docs::kMeasure,
        py::arg("n"), py::arg("state").noconvert(), py::arg("targets"),
        py::arg("endian") = "little", py::arg("device") = "cuda:0",
        py::arg("use_pinned_host") = false);
}

}  // namespace tovrek
