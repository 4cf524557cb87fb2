#include "density_fused_run.h"

#include <cuda_runtime.h>

#include "cuda_error.h"
#include "density_fusion.h"
#include "device_buffer.h"
#include "rhomira_executor.h"
#include "rhomira_unitary_channel.h"

namespace qalvane::rhomira {

namespace {

bool is_plain_one_qubit_unitary(const PreparedOperation& op) {
  return !op.is_kraus && !op.skip && !op.is_diagonal && !op.is_permutation &&
         op.targets.num_targets == 1 && op.control_mask == 0;
}

// A run on one qubit: a plain unitary directly followed by a built-in channel
// on its qubit costs one pass instead of two.
template <typename T>
void run_single_qubit_group(const DensityFusionGroup& group,
                            const std::vector<PreparedOperation>& prepared, CuComplex<T>* rho,
                            int64_t dim, const CuComplex<T>* pool) {
  const std::size_t count = group.operations.size();
  for (std::size_t i = 0; i < count; ++i) {
    const PreparedOperation& op = prepared[static_cast<std::size_t>(group.operations[i])];
    if (op.skip) continue;
    if (i + 1 < count && is_plain_one_qubit_unitary(op)) {
      const PreparedOperation& next = prepared[static_cast<std::size_t>(group.operations[i + 1])];
      if (next.is_channel && next.target_mask == (uint64_t{1} << op.targets.targets[0])) {
        launch_unitary_channel<T>(rho, dim, pool + op.matrix_offset,
                                  static_cast<density::ChannelKind>(next.channel_kind),
                                  static_cast<T>(next.channel_parameter), op.targets, 0);
        ++i;
        continue;
      }
    }
    dispatch_operation<T>(op, rho, dim, pool);
  }
}

}  // namespace

template <typename T>
void run_fused_operations(const std::vector<DensityOperation>& operations,
                          const std::vector<PreparedOperation>& prepared, int64_t n,
                          CuComplex<T>* rho, const CuComplex<T>* pool) {
  const std::vector<DensityFusionGroup> groups =
      plan_density_fusion(operations, n, density_fusion_config(n));
  std::vector<std::size_t> starts;
  const std::vector<DeviceDensityGate<CuComplex<T>>> records = gather_fused_gates<T>(groups, starts);
  DeviceBuffer<DeviceDensityGate<CuComplex<T>>> device_records;
  if (!records.empty()) {
    check_cuda(device_records.allocate(records.size()));
    check_cuda(cudaMemcpy(device_records.get(), records.data(), device_records.bytes(),
                          cudaMemcpyHostToDevice));
  }
  const int64_t dim = int64_t{1} << n;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const DensityFusionGroup& group = groups[g];
    if (group.kind == DensityGroupKind::Fused) {
      uint64_t active_mask = 0;
      for (const int64_t q : group.active) active_mask |= uint64_t{1} << q;
      launch_density_sparsesharemem<T>(dim, rho, active_mask,
                                       static_cast<int32_t>(group.active.size()),
                                       device_records.get() + starts[g],
                                       static_cast<int32_t>(group.gates.size()), 0);
    } else if (group.kind == DensityGroupKind::SingleQubitRun) {
      run_single_qubit_group<T>(group, prepared, rho, dim, pool);
    } else {
      for (const int64_t i : group.operations) {
        const PreparedOperation& op = prepared[static_cast<std::size_t>(i)];
        if (!op.skip) dispatch_operation<T>(op, rho, dim, pool);
      }
    }
  }
}

template void run_fused_operations<float>(const std::vector<DensityOperation>&,
                                          const std::vector<PreparedOperation>&, int64_t,
                                          CuComplex<float>*, const CuComplex<float>*);
template void run_fused_operations<double>(const std::vector<DensityOperation>&,
                                           const std::vector<PreparedOperation>&, int64_t,
                                           CuComplex<double>*, const CuComplex<double>*);

}  // namespace qalvane::rhomira
