#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <utility>

#include "bindings.h"
#include "bindings_docs.h"
#include "fusion.h"
#include "fusion_execute.h"
#include "gate_parsing.h"
#include "prepared_fusion_chunk.h"
#include "py_arguments.h"
#include "tovrek_device_state.h"

namespace py = pybind11;

namespace tovrek {

namespace {

std::shared_ptr<PreparedFusionChunk> prepare_fusion_chunk_gates(
    int64_t n, const py::iterable& gates, bool fuse_swap, int32_t sparsesharemem_qubits,
    int32_t densemm_min_qubits, int32_t densemm_max_qubits, double densemm_gate_threshold_scale,
    int32_t max_gates_per_group, bool pad_sparsesharemem) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  auto chunk = std::make_shared<PreparedFusionChunk>(n, read_gate_objects(gates));
  fusion::FusionOptions options;
  options.fuse_swap = fuse_swap;
  options.sparsesharemem_qubits = sparsesharemem_qubits;
  options.densemm_min_qubits = densemm_min_qubits;
  options.densemm_max_qubits = densemm_max_qubits;
  options.densemm_gate_threshold_scale = densemm_gate_threshold_scale;
  options.max_gates_per_group = max_gates_per_group;
  options.pad_sparsesharemem = pad_sparsesharemem;
  {
    py::gil_scoped_release release;
    chunk->plan(options, qalvane::python_signal_check());
  }
  return chunk;
}

void execute_chunk(DeviceState& state, const PreparedFusionChunk& chunk) {
  if (state.n() != chunk.n())
    throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
  py::gil_scoped_release release;
  execute_prepared_fusion_chunk(state, chunk);
}

}  // namespace

void bind_fusion(py::module_& m) {
  py::class_<PreparedFusionChunk, std::shared_ptr<PreparedFusionChunk>>(
      m, "PreparedFusionChunk", docs::kPreparedFusionChunk)
      .def_property_readonly("n", &PreparedFusionChunk::n, docs::kChunkN)
      .def_property_readonly("gate_count", &PreparedFusionChunk::gate_count, docs::kGateCount);

  // The defaults are the runner's, taken from one place.
  const fusion::FusionOptions d;
  m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates, py::arg("n"), py::arg("gates"),
        py::arg("fuse_swap") = d.fuse_swap, py::arg("sparsesharemem_qubits") = d.sparsesharemem_qubits,
        py::arg("densemm_min_qubits") = d.densemm_min_qubits,
        py::arg("densemm_max_qubits") = d.densemm_max_qubits,
        py::arg("densemm_gate_threshold_scale") = d.densemm_gate_threshold_scale,
        py::arg("max_gates_per_group") = d.max_gates_per_group,
        py::arg("pad_sparsesharemem") = d.pad_sparsesharemem,
        docs::kPrepareFusionChunkGates);
  m.def("execute_prepared_fusion_chunk", &execute_chunk, py::arg("state"), py::arg("chunk"),
        docs::kExecutePreparedFusionChunk);
}

}  // namespace tovrek
