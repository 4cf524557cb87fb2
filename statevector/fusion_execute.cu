#include "fusion_execute.h"

#include <algorithm>
#include <stdexcept>

#include "cuda_error.h"
#include "run_circuit.h"
#include "sparsesharemem.cuh"
#include "tovrek_kernel_frame.cuh"

namespace tovrek::fusion {

namespace {

template <typename T>
CuComplex<T> narrow(const CuComplex<double>& z) {
  return CuComplex<T>{static_cast<T>(z.re), static_cast<T>(z.im)};
}

uint64_t mask_of(const std::vector<int64_t>& qubits) {
  uint64_t mask = 0;
  for (const int64_t q : qubits) mask |= uint64_t{1} << q;
  return mask;
}

// Uploads a host array to a fresh device buffer; messages name the step.
template <typename E>
void upload(qalvane::DeviceBuffer<E>& buffer, const std::vector<E>& host, const char* malloc_step,
            const char* copy_step) {
  qalvane::check_cuda_step(buffer.allocate(host.size()), malloc_step);
  qalvane::check_cuda_step(
      cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice),
      copy_step);
}

}  // namespace

template <typename T>
FusionWorkspace<T>::FusionWorkspace(int64_t qubits, const FusionPlan& plan) : n(qubits) {
  uint64_t dense_amplitudes = 0;  // per scratch buffer, for the largest slice
  std::vector<DeviceMatrixGate<T>> host_records(plan.total_sparse_records, DeviceMatrixGate<T>{});
  std::vector<CuComplex<T>> host_matrices(plan.total_dense_elements, CuComplex<T>{});
  for (const FusedGroup& group : plan.groups) {
    if (group.kind == SparseShareMem) {
      for (std::size_t i = 0; i < group.records.size(); ++i) {
        const DeviceMatrixGate<double>& r = group.records[i];
        host_records[group.sparse_offset + i] =
            DeviceMatrixGate<T>{r.op,          r.target,         r.target2,
                                r.control_mask, r.control_value, narrow<T>(r.m00),
                                narrow<T>(r.m01), narrow<T>(r.m10), narrow<T>(r.m11)};
      }
    } else if (group.kind == DenseMM) {
      dense_amplitudes = std::max(
          dense_amplitudes,
          densemm_slice_amplitudes<T>(qubits, static_cast<int32_t>(group.active_qubits.size())));
      for (std::size_t i = 0; i < group.dense_matrix.size(); ++i)
        host_matrices[group.dense_offset + i] =
            CuComplex<T>{static_cast<T>(group.dense_matrix[i].real()),
                         static_cast<T>(group.dense_matrix[i].imag())};
    }
  }
  if (!host_records.empty())
    upload(records, host_records, "cudaMalloc SparseShareMem gates", "cudaMemcpy SparseShareMem gates");
  if (!host_matrices.empty())
    upload(matrices, host_matrices, "cudaMalloc DenseMM matrices", "cudaMemcpy DenseMM matrices");
  // The buffers above are members, so a failure here still frees them.
  if (dense_amplitudes > 0) dense = acquire_densemm_cache<T>(dense_amplitudes);
}

template <typename T>
void execute_fused_group(int64_t n, CuComplex<T>* state, const FusedGroup& group,
                         const FusionWorkspace<T>& workspace) {
  const uint64_t active_mask = mask_of(group.active_qubits);
  const int32_t k = static_cast<int32_t>(group.active_qubits.size());
  if (group.kind == SparseShareMem) {
    cu_sparsesharemem<T>(n, state, active_mask, k, workspace.records.get() + group.sparse_offset,
                         static_cast<int64_t>(group.records.size()), cudaStream_t{0});
  } else if (group.kind == DenseMM) {
    cu_densemm<T>(workspace.dense.handle, n, state, workspace.dense.transpose,
                  workspace.dense.gemm, active_mask, k,
                  workspace.matrices.get() + group.dense_offset, cudaStream_t{0});
  } else {
    throw std::invalid_argument("AutoPair group cannot use fusion workspace");
  }
}

template <typename T>
void execute_fusion_plan(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records,
                         const FusionPlan& plan, const FusionWorkspace<T>& workspace) {
  for (const FusedGroup& group : plan.groups) {
    if (group.kind == AutoPair) {
      dispatch_gate<T>(n, state, records[static_cast<std::size_t>(group.gate_indices.front())],
                       KernelMode::PairAuto);
      continue;
    }
    execute_fused_group<T>(n, state, group, workspace);
    qalvane::check_cuda(cudaGetLastError());
  }
}

template <typename T>
void run_fused_records(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records) {
  const FusionPlan plan = plan_fusion_chunk(n, records, FusionOptions{});
  const FusionWorkspace<T> workspace(n, plan);
  execute_fusion_plan<T>(n, state, records, plan, workspace);
}

#define QALVANE_FUSION_INSTANTIATE(T)                                                          \
  template struct FusionWorkspace<T>;                                                          \
  template void execute_fused_group<T>(int64_t, CuComplex<T>*, const FusedGroup&,              \
                                       const FusionWorkspace<T>&);                             \
  template void execute_fusion_plan<T>(int64_t, CuComplex<T>*, const std::vector<GateRecord>&, \
                                       const FusionPlan&, const FusionWorkspace<T>&);          \
  template void run_fused_records<T>(int64_t, CuComplex<T>*, const std::vector<GateRecord>&);
QALVANE_FUSION_INSTANTIATE(float)
QALVANE_FUSION_INSTANTIATE(double)
#undef QALVANE_FUSION_INSTANTIATE

}  // namespace tovrek::fusion

namespace tovrek {

namespace {

template <typename T>
void execute_chunk_as(DeviceState& state, const PreparedFusionChunk& chunk) {
  const int64_t n = chunk.n();
  if (state.num_state() != (int64_t{1} << n))
    throw std::invalid_argument("state size does not match prepared chunk");
  qalvane::check_cuda(cudaSetDevice(state.device_id()));
  const fusion::FusionWorkspace<T> workspace(n, chunk.fusion_plan());
  fusion::execute_fusion_plan<T>(n, state.data_as<T>(), chunk.records(), chunk.fusion_plan(),
                                 workspace);
  qalvane::check_cuda(cudaStreamSynchronize(0));
}

}  // namespace

void execute_prepared_fusion_chunk(DeviceState& state, const PreparedFusionChunk& chunk) {
  if (state.dtype() == qalvane::StateDtype::Complex128)
    execute_chunk_as<double>(state, chunk);
  else
    execute_chunk_as<float>(state, chunk);
}

}  // namespace tovrek
