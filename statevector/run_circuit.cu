#include "run_circuit.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "cuda_error.h"
#include "fusion_execute.h"
#include "tovrek_gates.h"
#include "tovrek_kernel_frame.cuh"

namespace tovrek {


namespace {

bool contains(const std::vector<int64_t>& list, int64_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool has_repeats(const std::vector<int64_t>& list) {
  for (std::size_t a = 0; a < list.size(); ++a)
    for (std::size_t b = a + 1; b < list.size(); ++b)
      if (list[a] == list[b]) return true;
  return false;
}

// The qubits a record's launcher will address: the first target for the
// one-target kinds, both for SWAP, all for unitaries, none for global phase.
std::vector<int64_t> addressed_targets(const GateRecord& record) {
  switch (record.gate_id) {
    case GATE_GLOBAL_PHASE:
      return {};
    case GATE_SWAP:
    case GATE_UNITARY:
      return record.targets;
    default:
      return {record.targets.front()};
  }
}

// The kernels' index arithmetic assumes well-formed qubit lists; anything
// else is refused here, before the record's launch. The mask checks come
// first so that their messages win where both apply.
void check_gate_qubits(int64_t n, const GateRecord& record) {
  if (record.gate_id == GATE_UNITARY)
    check_unitary_gate(record.targets, record.matrix.size(), record.matrix_dim, record.controls,
                       record.control_state);
  else
    (void)build_control_masks(record.controls, record.control_state);
  if (record.gate_id != GATE_GLOBAL_PHASE && record.targets.empty())
    throw std::invalid_argument("gate requires a target qubit.");
  const std::vector<int64_t> targets = addressed_targets(record);
  for (const int64_t t : targets)
    if (t < 0 || t >= n) throw std::invalid_argument("target qubit index must be in [0, n)");
  for (const int64_t c : record.controls)
    if (c < 0 || c >= n) throw std::invalid_argument("control qubit index must be in [0, n)");
  if (has_repeats(targets)) {
    if (record.gate_id == GATE_SWAP)
      throw std::invalid_argument("SWAP gate requires two different targets.");
    throw std::invalid_argument("target qubits must be distinct.");
  }
  for (const int64_t c : record.controls)
    if (contains(targets, c)) throw std::invalid_argument("control qubit must not be a target.");
  if (has_repeats(record.controls)) throw std::invalid_argument("control qubits must be distinct.");
}

struct ParameterArity {
  GateId gate_id;
  std::size_t count;
  const char* message;
};

// The kinds that need their angles; the others ignore the parameter list.
constexpr ParameterArity kParameterArity[] = {
    {GATE_RX, 1, "RX gate requires exactly one parameter."},
    {GATE_RY, 1, "RY gate requires exactly one parameter."},
    {GATE_RZ, 1, "RZ gate requires exactly one parameter."},
    {GATE_PHASE, 1, "PHASE gate requires exactly one parameter."},
    {GATE_GLOBAL_PHASE, 1, "GLOBAL_PHASE gate requires exactly one parameter."},
    {GATE_U, 3, "U gate requires exactly three parameters."},
};

void check_arity(const GateRecord& record) {
  if (record.gate_id == GATE_SWAP && record.targets.size() != 2)
    throw std::invalid_argument("SWAP gate requires exactly two targets.");
  for (const ParameterArity& arity : kParameterArity)
    if (arity.gate_id == record.gate_id && record.parameters.size() != arity.count)
      throw std::invalid_argument(arity.message);
}

}  // namespace

void check_gate_record(int64_t n, const GateRecord& record) {
  if (static_cast<uint32_t>(record.gate_id) > GATE_UNITARY)
    throw std::invalid_argument("Unsupported gate id");
  check_arity(record);
  check_gate_qubits(n, record);
}

template <typename T>
void dispatch_gate(int64_t n, CuComplex<T>* data, const GateRecord& record, KernelMode mode) {
  const int32_t t0 =
      record.targets.empty() ? -1 : static_cast<int32_t>(static_cast<uint32_t>(record.targets[0]));
  std::vector<int64_t> controls = record.controls;
  const std::vector<int64_t>& state = record.control_state;
  check_gate_record(n, record);
  const cudaStream_t stream = 0;
  const auto angle = [&record](std::size_t k) { return static_cast<T>(record.parameters[k]); };
  switch (record.gate_id) {
    case GATE_X: cu_x<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_Y: cu_y<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_Z: cu_z<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_H: cu_h<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_S: cu_s<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_SDAG: cu_sdag<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_SQRTX: cu_sqrtx<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_SQRTXDAG:
      cu_sqrtxdag<T>(n, data, t0, std::move(controls), state, stream, mode);
      break;
    case GATE_SQRTY: cu_sqrty<T>(n, data, t0, std::move(controls), state, stream, mode); break;
    case GATE_SQRTYDAG:
      cu_sqrtydag<T>(n, data, t0, std::move(controls), state, stream, mode);
      break;
    case GATE_SWAP:
      cu_swap<T>(n, data, t0, static_cast<int32_t>(static_cast<uint32_t>(record.targets[1])),
                 std::move(controls), state, stream, mode);
      break;
    case GATE_RX: cu_rx<T>(n, data, t0, std::move(controls), state, stream, angle(0), mode); break;
    case GATE_RY: cu_ry<T>(n, data, t0, std::move(controls), state, stream, angle(0), mode); break;
    case GATE_RZ: cu_rz<T>(n, data, t0, std::move(controls), state, stream, angle(0), mode); break;
    case GATE_PHASE:
      cu_phase<T>(n, data, t0, std::move(controls), state, stream, angle(0), mode);
      break;
    case GATE_GLOBAL_PHASE:
      cu_global_phase<T>(n, data, std::move(controls), state, stream, angle(0));
      break;
    case GATE_U:
      cu_u<T>(n, data, t0, std::move(controls), state, stream, angle(0), angle(1), angle(2), mode);
      break;
    case GATE_UNITARY:
      cu_unitary<T>(n, data, record.targets, record.matrix, record.matrix_dim, std::move(controls),
                    state, stream, mode);
      break;
  }
  qalvane::check_cuda(cudaGetLastError());
}

template <typename T>
void run_gate_records(int64_t n, CuComplex<T>* data, const std::vector<GateRecord>& records,
                      KernelMode mode) {
  if (mode == KernelMode::PairAutoFusion) {
    fusion::run_fused_records<T>(n, data, records);
    return;
  }
  for (const GateRecord& record : records) dispatch_gate<T>(n, data, record, mode);
}

template <typename T>
void run_circuit_chunk(int64_t n, CuComplex<T>* data, int64_t num_state,
                       const std::vector<GateRecord>& records, int32_t device_id, KernelMode mode) {
  if (n < 0 || n > 62 || num_state != (int64_t{1} << n))
    throw std::invalid_argument("state size does not match 2**n");
  qalvane::check_cuda(cudaSetDevice(device_id));
  run_gate_records<T>(n, data, records, mode);
}

#define TOVREK_INSTANTIATE_RUNNER(T)                                                          \
  template void run_circuit_chunk<T>(int64_t, CuComplex<T>*, int64_t,                         \
                                     const std::vector<GateRecord>&, int32_t, KernelMode);    \
  template void run_gate_records<T>(int64_t, CuComplex<T>*, const std::vector<GateRecord>&,   \
                                    KernelMode);                                              \
  template void dispatch_gate<T>(int64_t, CuComplex<T>*, const GateRecord&, KernelMode);

TOVREK_INSTANTIATE_RUNNER(float)
TOVREK_INSTANTIATE_RUNNER(double)

}  // namespace tovrek
