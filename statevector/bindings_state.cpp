#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"
#include "tovrek_device_state.h"
#include "tovrek_types.h"

namespace py = pybind11;

namespace tovrek {

using qalvane::dtype_of_array;
using qalvane::parse_device;
using qalvane::parse_dtype;

void check_host_layout(int64_t n, const py::array& state) {
  const py::buffer_info info = state.request();
  if (info.ndim != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
  if ((state.flags() & py::array::c_style) == 0)
    throw std::invalid_argument("state must be C-contiguous");
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  if (info.size != (int64_t{1} << n)) throw std::invalid_argument("state.size must equal 2**n");
}

void check_host_state(int64_t n, const py::array& state) {
  check_host_layout(n, state);
  (void)dtype_of_array(state);
}

py::buffer_info download_buffer(const DeviceState& self, const py::array& state) {
  if (!state.writeable()) throw std::invalid_argument("state array must be writable");
  check_host_state(self.n(), state);
  if (dtype_of_array(state) != self.dtype())
    throw std::invalid_argument("numpy state dtype does not match DeviceState");
  return state.request(true);
}

namespace {

std::shared_ptr<DeviceState> from_numpy(int64_t n, const py::array& state,
                                        const std::string& device, bool use_pinned_host) {
  check_host_state(n, state);
  const int32_t device_id = parse_device(device);
  const StateDtype dtype = dtype_of_array(state);
  auto result = std::make_shared<DeviceState>(n, dtype, device_id);
  const py::buffer_info info = state.request();
  {
    py::gil_scoped_release release;
    result->upload(info.ptr, info.size, use_pinned_host);
  }
  return result;
}

std::shared_ptr<DeviceState> zero_state(int64_t n, const std::string& dtype,
                                        const std::string& device) {
  const int32_t device_id = parse_device(device);
  const StateDtype parsed = parse_dtype(dtype);
  auto result = std::make_shared<DeviceState>(n, parsed, device_id);
  {
    py::gil_scoped_release release;
    result->set_zero_state();
  }
  return result;
}

py::array to_numpy(const DeviceState& self, bool use_pinned_host) {
  py::array out = self.dtype() == StateDtype::Complex128
                      ? py::array(py::array_t<std::complex<double>>(self.num_state()))
                      : py::array(py::array_t<std::complex<float>>(self.num_state()));
  void* ptr = out.mutable_data();
  {
    py::gil_scoped_release release;
    self.download(ptr, self.num_state(), use_pinned_host);
  }
  return out;
}

void copy_to_numpy(const DeviceState& self, const py::array& state, bool use_pinned_host) {
  const py::buffer_info info = download_buffer(self, state);
  {
    py::gil_scoped_release release;
    self.download(info.ptr, info.size, use_pinned_host);
  }
}

}  // namespace

void bind_device_state(py::module_& m) {
  py::enum_<KernelMode> kernel_mode(m, "KernelMode", docs::kKernelMode);
  kernel_mode.value("AllState", KernelMode::AllState, docs::kAllState)
      .value("Pair", KernelMode::Pair, docs::kPair)
      .value("PairAuto", KernelMode::PairAuto, docs::kPairAuto)
      .value("PairAutoFusion", KernelMode::PairAutoFusion, docs::kPairAutoFusion)
      .export_values();
  // The enumeration's own properties come from pybind11 undocumented.
  const py::object members = kernel_mode.attr("__dict__");
  members["name"].attr("__doc__") = docs::kKernelModeName;
  members["value"].attr("__doc__") = docs::kKernelModeValue;

  py::class_<DeviceState, std::shared_ptr<DeviceState>>(m, "DeviceState", docs::kDeviceState)
      .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state").noconvert(),
                  py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false,
                  docs::kFromNumpy)
      .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                  py::arg("device") = "cuda:0", docs::kZeroState)
      .def("to_numpy", &to_numpy, py::arg("use_pinned_host") = false, docs::kToNumpy)
      .def("copy_to_numpy", &copy_to_numpy, py::arg("state").noconvert(),
           py::arg("use_pinned_host") = false, docs::kCopyToNumpy)
      .def_property_readonly("n", &DeviceState::n, docs::kStateN)
      .def_property_readonly("num_state", &DeviceState::num_state, docs::kNumState)
      .def_property_readonly("device_id", &DeviceState::device_id, docs::kDeviceId)
      .def_property_readonly(
          "dtype", [](const DeviceState& s) { return qalvane::dtype_name(s.dtype()); },
          docs::kStateDtype);
}

}  // namespace tovrek
