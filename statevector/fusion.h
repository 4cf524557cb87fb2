// The fusion planner: turns a chunk of gate records into an ordered list of
// fused groups on the CPU. Executing the groups in order is equivalent to
// executing the gates in their given order.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "gate_record.h"
#include "interrupt_check.h"

namespace tovrek::fusion {

using qalvane::CuComplex;

struct FusionOptions {
  int32_t sparsesharemem_qubits = 10;
  int32_t densemm_min_qubits = 1;
  int32_t densemm_max_qubits = 7;
  double densemm_gate_threshold_scale = 1.0;
  int32_t max_gates_per_group = 512;
  bool pad_sparsesharemem = true;
  bool fuse_swap = true;
};

enum FusedGroupKind : int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

enum FusedGateOp : int32_t {
  FUSED_GENERAL = 0,
  FUSED_X = 1,
  FUSED_Y = 2,
  FUSED_H = 3,
  FUSED_DIAGONAL = 4,
  FUSED_RX = 5,
  FUSED_RY = 6,
  FUSED_SWAP = 7,
};

// One gate of a fused group, in local qubit indices of the group. The host
// plan keeps them in double precision; the device array holds them in T.
template <typename T>
struct DeviceMatrixGate {
  int32_t op;
  int32_t target;
  int32_t target2;  // SWAP only, otherwise -1
  uint32_t control_mask;
  uint32_t control_value;
  CuComplex<T> m00;
  CuComplex<T> m01;
  CuComplex<T> m10;
  CuComplex<T> m11;
};

struct FusedGroup {
  int32_t kind = AutoPair;
  std::vector<int64_t> gate_indices;   // ascending indices into the chunk
  std::vector<int64_t> active_qubits;  // ascending; position = local index
  std::vector<DeviceMatrixGate<double>> records;
  std::vector<std::complex<double>> dense_matrix;  // row-major 2^k x 2^k (DenseMM)
  uint64_t sparse_offset = 0;
  uint64_t dense_offset = 0;
};

struct FusionPlan {
  std::vector<FusedGroup> groups;
  uint64_t total_sparse_records = 0;
  uint64_t total_dense_elements = 0;
};

struct Matrix2x2 {
  std::complex<double> m00, m01, m10, m11;
};

// The 2x2 matrix of a one-target gate; false for SWAP, global phase, a target
// count other than one or a parameter count the gate does not take.
bool gate_matrix_2x2(const GateRecord& gate, Matrix2x2& out);

// The DenseMM cost-model score of a group on n qubits with k active qubits
// (before padding); DenseMM is chosen when it is positive.
double densemm_score(int64_t n, int64_t k, const std::vector<GateRecord>& gates,
                     const std::vector<int64_t>& group, double threshold_scale);

// Every gate first passes the runner's check_gate_record (its errors, before
// any group is formed). A plan whose DenseMM matrices would take more than
// 1 GiB of host memory is refused before the matrix past the limit is
// allocated: ValueError "DenseMM matrices of the fusion plan would exceed
// 1 GiB". Long plans consult `interrupted` now and then.
FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates,
                             const FusionOptions& options,
                             const qalvane::InterruptCheck& interrupted = {});

}  // namespace tovrek::fusion
