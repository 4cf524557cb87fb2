#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_sequence.h"
#include "rhomira_device_state.h"

namespace py = pybind11;

namespace qalvane::rhomira {

namespace {

using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

// None gives no parameters.
std::vector<double> read_parameters(const py::object& value) {
  if (value.is_none()) return {};
  return read_numbers<double>(value);
}

std::vector<std::complex<double>> elements_of(const ComplexArray& array) {
  const std::complex<double>* data = array.data();
  return std::vector<std::complex<double>>(data, data + array.size());
}

void read_kraus(const py::handle& item, DensityOperation& op) {
  op.kind = DensityOperationKind::Kraus;
  const std::string kind = item.attr("operation_kind").cast<std::string>();
  if (kind != "kraus")
    throw std::runtime_error("unsupported density operation kind '" + kind + "'");
  op.targets = read_numbers<int64_t>(item.attr("target"));
  if (py::hasattr(item, "channel_name"))
    op.channel_name = item.attr("channel_name").cast<std::string>();
  const ComplexArray matrices = item.attr("kraus_matrices").cast<ComplexArray>();
  if (matrices.ndim() != 3 || matrices.shape(0) < 1 || matrices.shape(1) < 1 ||
      matrices.shape(1) != matrices.shape(2))
    throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
  op.kraus_count = static_cast<uint64_t>(matrices.shape(0));
  op.kraus_dimension = static_cast<uint64_t>(matrices.shape(1));
  op.kraus_data = elements_of(matrices);
}

void read_gate(const py::handle& item, DensityOperation& op) {
  op.kind = DensityOperationKind::Gate;
  op.name = item.attr("id").cast<std::string>();
  op.targets = read_numbers<int64_t>(item.attr("target"));
  op.controls = read_numbers<int64_t>(item.attr("control"));
  for (const int64_t v : read_numbers<int64_t>(item.attr("control_state")))
    op.control_state.push_back(static_cast<uint64_t>(v));
  op.parameters = read_parameters(item.attr("parameter"));
  op.has_matrix = item.attr("has_stored_matrix").cast<bool>();
  if (op.has_matrix) {
    const ComplexArray matrix = item.attr("stored_matrix").cast<ComplexArray>();
    if (matrix.ndim() != 2 || matrix.shape(0) != matrix.shape(1))
      throw std::runtime_error("operation matrix must be square");
    op.matrix = elements_of(matrix);
  }
}

void run_density_operations_device(DeviceDensityState& state, int64_t num_qubits,
                                   const py::iterable& operations) {
  const std::vector<DensityOperation> parsed = parse_density_operations(operations);
  if (parsed.empty()) return;
  py::gil_scoped_release release;
  state.run_operations(num_qubits, parsed);
}

}  // namespace

std::vector<DensityOperation> parse_density_operations(const py::iterable& operations) {
  std::vector<DensityOperation> out;
  for_each_item(operations, [&out](const py::handle& item) {
    DensityOperation op;
    if (py::hasattr(item, "operation_kind"))
      read_kraus(item, op);
    else
      read_gate(item, op);
    out.push_back(std::move(op));
    return true;
  });
  return out;
}

void bind_density_operations(py::module_& m) {
  m.def("run_density_operations_device", &run_density_operations_device, py::arg("state"),
        py::arg("num_qubits"), py::arg("operations"), docs::kRunDensityOperationsDevice);
}

}  // namespace qalvane::rhomira
