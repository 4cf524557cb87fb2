#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gate_parsing.h"
#include "py_sequence.h"

namespace py = pybind11;

namespace tovrek {

namespace {

struct GateName {
  const char* name;
  GateId id;
};

// Grouped by increasing id; the first match wins.
constexpr std::array<GateName, 44> kGateNames = {{
    {"x", GATE_X},         {"cx", GATE_X},          {"mcx", GATE_X},
    {"y", GATE_Y},         {"cy", GATE_Y},          {"mcy", GATE_Y},
    {"z", GATE_Z},         {"cz", GATE_Z},          {"mcz", GATE_Z},
    {"h", GATE_H},         {"ch", GATE_H},          {"mch", GATE_H},
    {"s", GATE_S},         {"cs", GATE_S},          {"mcs", GATE_S},
    {"s_dag", GATE_SDAG},  {"sqrtx", GATE_SQRTX},   {"sx", GATE_SQRTX},
    {"sqrtx_dag", GATE_SQRTXDAG}, {"sxdg", GATE_SQRTXDAG},
    {"sqrty", GATE_SQRTY}, {"sqrty_dag", GATE_SQRTYDAG},
    {"swap", GATE_SWAP},
    {"rx", GATE_RX},       {"crx", GATE_RX},        {"mcrx", GATE_RX},
    {"ry", GATE_RY},       {"cry", GATE_RY},        {"mcry", GATE_RY},
    {"rz", GATE_RZ},       {"crz", GATE_RZ},        {"mcrz", GATE_RZ},
    {"phase", GATE_PHASE}, {"p", GATE_PHASE},       {"cp", GATE_PHASE},
    {"mcp", GATE_PHASE},
    {"gp", GATE_GLOBAL_PHASE}, {"global_phase", GATE_GLOBAL_PHASE},
    {"gphase", GATE_GLOBAL_PHASE},
    {"u", GATE_U},         {"u1", GATE_U},          {"u2", GATE_U},
    {"u3", GATE_U},
    {"unitary", GATE_UNITARY},
}};

void check_unitary_record(const GateRecord& record) {
  if (!record.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
  const std::size_t k = record.targets.size();
  if (k >= 63 || (int64_t{1} << k) != record.matrix_dim)
    throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
}

// The fields both forms share, each read and converted before the next is
// looked up; `field` fetches one by key or attribute name.
template <typename Field>
GateRecord start_record(Field field) {
  GateRecord record;
  record.name = field("id").template cast<std::string>();
  record.targets = qalvane::read_numbers<int64_t>(field("target"));
  record.controls = qalvane::read_numbers<int64_t>(field("control"));
  record.control_state = qalvane::read_numbers<int64_t>(field("control_state"));
  return record;
}

void finish_name(GateRecord& record) {
  normalise_t_gates(record);
  record.gate_id = lookup_gate_id(record.name);
}

}  // namespace

GateId lookup_gate_id(const std::string& name) {
  for (const GateName& entry : kGateNames)
    if (name == entry.name) return entry.id;
  throw std::invalid_argument("Unsupported CUDA gate id: " + name);
}

void normalise_t_gates(GateRecord& record) {
  constexpr double kQuarterPi = 0.7853981633974483;
  if (record.name == "t" || record.name == "ct" || record.name == "mct") {
    record.parameters.assign(1, kQuarterPi);
    record.name = "phase";
  } else if (record.name == "t_dag") {
    record.parameters.assign(1, -kQuarterPi);
    record.name = "phase";
  }
}

void read_unitary_matrix(const py::handle& object, GateRecord& record) {
  using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
  ComplexArray array = ComplexArray::ensure(object);
  if (!array) {
    PyErr_Clear();
    throw std::invalid_argument("unitary matrix must be array-like.");
  }
  if (array.ndim() != 2 || array.shape(0) != array.shape(1) || array.shape(0) == 0)
    throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
  const int64_t dim = array.shape(0);
  const std::complex<double>* begin = array.data();
  record.matrix.assign(begin, begin + dim * dim);
  record.matrix_dim = dim;
  record.has_matrix = true;
}

std::vector<GateRecord> read_gate_ir(const py::list& gate_ir) {
  std::vector<GateRecord> records;
  records.reserve(gate_ir.size());
  qalvane::for_each_item(gate_ir, [&records](const py::handle& element) {
    const py::dict entry = PyDict_Check(element.ptr())
                               ? py::reinterpret_borrow<py::dict>(element)
                               : py::dict(py::reinterpret_borrow<py::object>(element));
    const auto field = [&entry](const char* key) { return py::object(entry[py::str(key)]); };
    GateRecord record = start_record(field);
    record.parameters = qalvane::read_numbers<double>(field("parameter"));
    finish_name(record);
    if (entry.contains("matrix")) {
      const py::object matrix = field("matrix");
      if (!matrix.is_none()) read_unitary_matrix(matrix, record);
    }
    if (record.gate_id == GATE_UNITARY) check_unitary_record(record);
    records.push_back(std::move(record));
    return true;
  });
  return records;
}

std::vector<GateRecord> read_gate_objects(const py::handle& gates) {
  std::vector<GateRecord> records;
  qalvane::for_each_item(gates, [&records](const py::handle& gate) {
    const auto field = [&gate](const char* name) { return py::object(gate.attr(name)); };
    GateRecord record = start_record(field);
    const py::object parameter = field("parameter");
    if (!parameter.is_none()) record.parameters = qalvane::read_numbers<double>(parameter);
    finish_name(record);
    if (record.gate_id == GATE_UNITARY) {
      const py::object matrix = field("matrix");
      if (!matrix.is_none()) read_unitary_matrix(matrix, record);
      check_unitary_record(record);
    }
    records.push_back(std::move(record));
    return true;
  });
  return records;
}

}  // namespace tovrek
