#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"
#include "rhomira_device_state.h"

namespace py = pybind11;

namespace qalvane::rhomira {

namespace {

using StatePtr = std::shared_ptr<DeviceDensityState>;

StatePtr zero_state(int64_t n, const std::string& dtype, const std::string& device) {
  const int32_t device_id = parse_device(device);
  const StateDtype parsed = parse_dtype(dtype);
  auto state = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n),
                                                    parsed == StateDtype::Complex128, device_id);
  {
    py::gil_scoped_release release;
    state->set_zero_state();
  }
  return state;
}

StatePtr from_numpy(int64_t n, const py::array& array, const std::string& device) {
  if (static_cast<uint64_t>(n) > 15)
    throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
  const py::ssize_t dim = py::ssize_t{1} << n;
  if (array.ndim() != 2 || array.shape(0) != dim || array.shape(1) != dim)
    throw std::invalid_argument("state shape must be (2**n, 2**n)");
  if ((array.flags() & py::array::c_style) == 0)
    throw std::invalid_argument("state must be C-contiguous");
  if (!array.writeable()) throw std::invalid_argument("state must be writable");
  const StateDtype dtype = dtype_of_array(array);
  const int32_t device_id = parse_device(device);
  auto state = std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n),
                                                    dtype == StateDtype::Complex128, device_id);
  const py::buffer_info info = array.request();
  {
    py::gil_scoped_release release;
    state->upload(info.ptr, static_cast<uint64_t>(info.size), false);
  }
  return state;
}

py::array to_numpy(const DeviceDensityState& self) {
  const py::ssize_t dim = static_cast<py::ssize_t>(self.dimension());
  py::array out = self.is_double()
                      ? py::array(py::array_t<std::complex<double>>({dim, dim}))
                      : py::array(py::array_t<std::complex<float>>({dim, dim}));
  void* ptr = out.mutable_data();
  {
    py::gil_scoped_release release;
    self.download(ptr, self.size(), false);
  }
  return out;
}

}  // namespace

void bind_density_state(py::module_& m) {
  py::class_<DeviceDensityState, StatePtr>(m, "DeviceDensityState", docs::kDeviceDensityState)
      .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                  py::arg("device") = "cuda:0", docs::kZeroState)
      .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state").noconvert(),
                  py::arg("device") = "cuda:0", docs::kFromNumpy)
      .def("to_numpy", &to_numpy, docs::kToNumpy)
      .def(
          "copy",
          [](const DeviceDensityState& self) {
            return std::make_shared<DeviceDensityState>(self.copy());
          },
          docs::kCopy)
      .def_property_readonly("num_qubits", &DeviceDensityState::num_qubits, docs::kNumQubits)
      .def_property_readonly("dimension", &DeviceDensityState::dimension, docs::kDimension)
      .def_property_readonly(
          "dtype",
          [](const DeviceDensityState& self) {
            return self.is_double() ? "complex128" : "complex64";
          },
          docs::kDtype)
      .def_property_readonly("device_id", &DeviceDensityState::device_id, docs::kDeviceId);
}

}  // namespace qalvane::rhomira
