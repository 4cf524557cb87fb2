#include "rhomira_executor.h"

#include <cuda_runtime.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "cuda_error.h"
#include "device_buffer.h"
#include "density_fused_run.h"
#include "kraus_operation.h"
#include "operation_matrices.h"
#include "rhomira_kraus.h"
#include "rhomira_unitary.h"

namespace qalvane::rhomira {

namespace {

template <typename T>
CuComplex<T> narrow(CuComplex<double> v) {
  return CuComplex<T>{static_cast<T>(v.re), static_cast<T>(v.im)};
}

void check_gate_qubits(const DensityOperation& operation, int64_t n) {
  if (operation.targets.empty())
    throw std::runtime_error("density operation requires at least one target");
  if (operation.controls.size() != operation.control_state.size())
    throw std::runtime_error("controls and control_state sizes must match");
  uint64_t used = 0;
  for (const int64_t q : operation.targets) {
    if (q < 0 || q >= n || (used >> q & 1))
      throw std::runtime_error("invalid or duplicate target qubit");
    used |= uint64_t{1} << q;
  }
  for (std::size_t i = 0; i < operation.controls.size(); ++i) {
    const int64_t q = operation.controls[i];
    if (q < 0 || q >= n || (used >> q & 1))
      throw std::runtime_error("invalid, duplicate, or overlapping control qubit");
    used |= uint64_t{1} << q;
    if (operation.control_state[i] > 1)
      throw std::runtime_error("control_state must contain only 0 or 1");
  }
  if (operation.targets.size() > kMaxDensityTargets)
    throw std::runtime_error("GPU density unitary supports at most 6 targets");
}

void set_controls(const DensityOperation& operation, PreparedOperation& out) {
  for (std::size_t i = 0; i < operation.controls.size(); ++i) {
    const uint64_t bit = uint64_t{1} << operation.controls[i];
    out.control_mask |= bit;
    if (operation.control_state[i] == 1) out.control_value |= bit;
  }
}

void require_no_parameters(const DensityOperation& operation) {
  if (!operation.parameters.empty())
    throw std::runtime_error("density operation '" + operation.name + "' requires no parameters");
}

template <typename T>
void prepare_kraus(const DensityOperation& operation, int64_t n, std::vector<CuComplex<T>>& pool,
                   PreparedOperation& out) {
  validate_kraus_operation(operation, n);
  const BuiltinChannel channel = builtin_channel(operation);
  if (channel.recognised) {
    out.is_channel = true;
    out.channel_kind = static_cast<int32_t>(channel.kind);
    out.channel_parameter = channel.parameter;
    out.target_mask = uint64_t{1} << operation.targets[0];
    return;
  }
  if (operation.targets.size() > kMaxKrausTargets)
    throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  out.matrix_offset = pool.size();
  for (const std::complex<double>& v : operation.kraus_data)
    pool.push_back(CuComplex<T>{static_cast<T>(v.real()), static_cast<T>(v.imag())});
  out.targets = make_device_targets(operation.targets, n);
  out.kraus_count = operation.kraus_count;
}

// Frees the pool after making sure no queued kernel still reads it; used on
// the error paths after the upload, where the error being raised wins.
template <typename T>
void drop_after_failure(DeviceBuffer<CuComplex<T>>& pool) noexcept {
  ignore_cuda(cudaDeviceSynchronize());
  pool.reset();
}

}  // namespace

bool density_fusion_requested() {
  const char* value = std::getenv("QALVANE_DENSITY_FUSION");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

template <typename T>
void prepare_operation(const DensityOperation& operation, int64_t n,
                       std::vector<CuComplex<T>>& pool, PreparedOperation& out) {
  out.is_kraus = static_cast<int32_t>(operation.kind);
  if (operation.kind == DensityOperationKind::Kraus) return prepare_kraus(operation, n, pool, out);

  check_gate_qubits(operation, n);
  if (!operation.has_matrix) {
    const DiagonalForm<T> diagonal = diagonal_form<T>(operation);
    if (diagonal.kind == DiagonalKind::GlobalPhase) {
      out.skip = true;
      set_controls(operation, out);
      return;
    }
    if (diagonal.kind == DiagonalKind::Diagonal) {
      out.is_diagonal = true;
      out.d0 = CuComplex<double>{diagonal.d0.re, diagonal.d0.im};
      out.d1 = CuComplex<double>{diagonal.d1.re, diagonal.d1.im};
      out.target_mask = uint64_t{1} << operation.targets[0];
      set_controls(operation, out);
      return;
    }
    const std::string name = canonical_operation_name(operation.name);
    if (name == "x" && operation.targets.size() == 1) {
      require_no_parameters(operation);
      out.is_permutation = true;
      out.flip_mask = uint64_t{1} << operation.targets[0];
      set_controls(operation, out);
      return;
    }
    if (name == "swap" && operation.targets.size() == 2) {
      require_no_parameters(operation);
      out.is_permutation = true;
      out.is_swap = true;
      out.flip_mask = (uint64_t{1} << operation.targets[0]) | (uint64_t{1} << operation.targets[1]);
      set_controls(operation, out);
      return;
    }
  }
  std::vector<CuComplex<T>> matrix = operation_matrix<T>(operation);
  if (matrix.size() != (std::size_t{1} << (2 * operation.targets.size())))
    throw std::runtime_error("unitary matrix size does not match targets");
  set_controls(operation, out);
  out.targets = make_device_targets(operation.targets, n);
  out.matrix_offset = pool.size();
  pool.insert(pool.end(), matrix.begin(), matrix.end());
}

template <typename T>
void dispatch_operation(const PreparedOperation& prepared, CuComplex<T>* rho, int64_t dim,
                        const CuComplex<T>* pool) {
  const cudaStream_t stream = 0;
  if (prepared.is_permutation) {
    launch_permutation<T>(rho, dim, prepared.flip_mask, prepared.control_mask,
                          prepared.control_value, prepared.is_swap, stream);
  } else if (prepared.is_diagonal) {
    launch_diagonal<T>(rho, dim, prepared.target_mask, prepared.control_mask,
                       prepared.control_value, narrow<T>(prepared.d0), narrow<T>(prepared.d1),
                       stream);
  } else if (prepared.is_channel) {
    launch_channel<T>(rho, dim, prepared.target_mask,
                      static_cast<density::ChannelKind>(prepared.channel_kind),
                      static_cast<T>(prepared.channel_parameter), stream);
  } else if (prepared.is_kraus) {
    launch_kraus<T>(rho, dim, static_cast<int64_t>(prepared.kraus_count),
                    pool + prepared.matrix_offset, prepared.targets, stream);
  } else {
    launch_unitary<T>(rho, dim, prepared.control_mask, prepared.control_value,
                      pool + prepared.matrix_offset, stream, prepared.targets);
  }
}

template <typename T>
void execute_operations(DeviceDensityState& state, int64_t n,
                        const std::vector<DensityOperation>& operations, bool fusion) {
  // Everything is validated and lowered before the first launch, so a bad
  // operation anywhere in the list leaves the state as it was.
  std::vector<CuComplex<T>> host_pool;
  std::vector<PreparedOperation> prepared(operations.size());
  for (std::size_t i = 0; i < operations.size(); ++i) {
    prepare_operation<T>(operations[i], n, host_pool, prepared[i]);
  }

  DeviceBuffer<CuComplex<T>> pool;
  if (!host_pool.empty()) {
    check_cuda(pool.allocate(host_pool.size()));
    check_cuda(cudaMemcpy(pool.get(), host_pool.data(), pool.bytes(), cudaMemcpyHostToDevice));
  }

  CuComplex<T>* rho = state.data_as<T>();
  const int64_t dim = static_cast<int64_t>(state.dimension());
  try {
    if (fusion && n >= 5) {
      run_fused_operations<T>(operations, prepared, n, rho, pool.get());
    } else {
      for (const PreparedOperation& op : prepared)
        if (!op.skip) dispatch_operation<T>(op, rho, dim, pool.get());
    }
    check_cuda(cudaDeviceSynchronize());
  } catch (...) {
    drop_after_failure(pool);
    throw;
  }
}

#define QALVANE_RHOMIRA_EXECUTOR_INSTANTIATE(T)                                                \
  template void prepare_operation<T>(const DensityOperation&, int64_t,                        \
                                     std::vector<CuComplex<T>>&, PreparedOperation&);          \
  template void dispatch_operation<T>(const PreparedOperation&, CuComplex<T>*, int64_t,       \
                                      const CuComplex<T>*);                                    \
  template void execute_operations<T>(DeviceDensityState&, int64_t,                           \
                                      const std::vector<DensityOperation>&, bool);

QALVANE_RHOMIRA_EXECUTOR_INSTANTIATE(float)
QALVANE_RHOMIRA_EXECUTOR_INSTANTIATE(double)

}  // namespace qalvane::rhomira
