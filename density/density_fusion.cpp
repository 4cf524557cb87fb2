#include "density_fusion.h"

#include "bit_index.cuh"
#include "kraus_operation.h"
#include "operation_matrices.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>

namespace qalvane::rhomira {

namespace {

constexpr int kMaxQubits = 64;

bool is_fusable(const DensityOperation& op) {
  if (op.kind == DensityOperationKind::Kraus) return builtin_channel(op).recognised;
  return op.targets.size() == 1;
}

// Targets and controls, sorted and without repeats.
std::vector<int64_t> qubits_of(const DensityOperation& op) {
  std::vector<int64_t> q(op.targets);
  q.insert(q.end(), op.controls.begin(), op.controls.end());
  std::sort(q.begin(), q.end());
  q.erase(std::unique(q.begin(), q.end()), q.end());
  return q;
}

int32_t local_position(const std::vector<int64_t>& active, int64_t qubit) {
  const auto it = std::lower_bound(active.begin(), active.end(), qubit);
  if (it == active.end() || *it != qubit) return -1;
  return static_cast<int32_t>(it - active.begin());
}

DeviceDensityGate<CuComplex<double>> fused_record(const DensityOperation& op,
                                                  const std::vector<int64_t>& active) {
  DeviceDensityGate<CuComplex<double>> g;
  if (op.kind == DensityOperationKind::Kraus) {
    const BuiltinChannel channel = builtin_channel(op);
    if (!channel.recognised) throw std::runtime_error("fused Kraus is not a built-in channel");
    g.type = static_cast<int32_t>(DensityGateType::Channel);
    g.channel_kind = static_cast<int32_t>(channel.kind);
    g.channel_parameter = channel.parameter;
  } else {
    std::vector<CuComplex<double>> matrix;
    bool is_matrix = true;
    if (op.has_matrix) {
      matrix = operation_matrix<double>(op);
    } else {
      const DiagonalForm<double> diagonal = diagonal_form<double>(op);
      if (diagonal.kind != DiagonalKind::NotDiagonal) {
        is_matrix = false;
        g.type = static_cast<int32_t>(DensityGateType::Diagonal);
        if (diagonal.kind == DiagonalKind::Diagonal) {
          g.d0 = diagonal.d0;
          g.d1 = diagonal.d1;
        }
      } else if (canonical_operation_name(op.name) == "x" && op.targets.size() == 1) {
        if (!op.parameters.empty())
          throw std::runtime_error("density operation '" + op.name + "' requires no parameters");
        is_matrix = false;
        g.type = static_cast<int32_t>(DensityGateType::BitFlip);
      } else {
        matrix = named_operation_matrix<double>(op);
      }
    }
    if (is_matrix) {
      if (matrix.size() != 4) throw std::runtime_error("fused unitary must be 2x2");
      g.type = static_cast<int32_t>(DensityGateType::Matrix);
      for (int e = 0; e < 4; ++e) g.matrix[e] = matrix[e];
    }
    for (std::size_t c = 0; c < op.controls.size(); ++c) {
      const int32_t pos = local_position(active, op.controls[c]);
      if (pos < 0) throw std::runtime_error("control qubit outside active set");
      g.control_mask |= int32_t{1} << pos;
      if (op.control_state[c] == 1) g.control_value |= int32_t{1} << pos;
    }
  }
  g.target = local_position(active, op.targets[0]);
  if (g.type == static_cast<int32_t>(DensityGateType::BitFlip)) g.flip_mask = int32_t{1} << g.target;
  return g;
}

// One planning pass over the pending operations: the set of operations to
// run next, in ascending order.
std::set<int64_t> plan_pass(const std::vector<DensityOperation>& operations,
                            const std::set<int64_t>& pending, int64_t n,
                            const DensityFusionConfig& config) {
  std::vector<std::set<int64_t>> cluster(static_cast<std::size_t>(n));
  std::vector<uint64_t> dep(static_cast<std::size_t>(n), 0);
  uint64_t blocked = 0;
  int64_t visited = 0;
  for (const int64_t c : pending) {
    if (visited++ >= config.window) break;
    const DensityOperation& op = operations[static_cast<std::size_t>(c)];
    if (!is_fusable(op)) break;
    const std::vector<int64_t> qubits = qubits_of(op);
    bool reject = false;
    uint64_t united = 0;
    for (const int64_t q : qubits) {
      if (q < 0 || q >= n || (blocked >> q) & 1u) {
        reject = true;
        break;
      }
      united |= (uint64_t{1} << q) | dep[static_cast<std::size_t>(q)];
    }
    if (reject || popcount(united) > config.max_active) {
      for (const int64_t q : qubits)
        if (q >= 0 && q < n) blocked |= uint64_t{1} << q;
      continue;
    }
    std::set<int64_t> joined{c};
    for (const int64_t q : qubits) joined.insert(cluster[q].begin(), cluster[q].end());
    for (const int64_t q : qubits) {
      dep[static_cast<std::size_t>(q)] = united;
      cluster[static_cast<std::size_t>(q)] = joined;
    }
  }

  std::set<int64_t> selected;
  uint64_t mask = 0;
  uint64_t chosen = 0;
  for (;;) {
    int64_t best = -1;
    std::size_t best_size = 0;
    for (int64_t q = 0; q < n; ++q) {
      if ((chosen >> q) & 1u) continue;
      const std::size_t size = cluster[static_cast<std::size_t>(q)].size();
      if (size > best_size && popcount(mask | dep[static_cast<std::size_t>(q)]) <= config.max_active) {
        best = q;
        best_size = size;
      }
    }
    if (best < 0) break;
    const std::set<int64_t> taken = cluster[static_cast<std::size_t>(best)];
    selected.insert(taken.begin(), taken.end());
    mask |= dep[static_cast<std::size_t>(best)];
    chosen |= uint64_t{1} << best;
    for (int64_t g = 0; g < n; ++g) {
      if ((chosen >> g) & 1u) continue;
      std::set<int64_t>& other = cluster[static_cast<std::size_t>(g)];
      if ((dep[static_cast<std::size_t>(g)] & ~mask) == 0) {
        selected.insert(other.begin(), other.end());
        chosen |= uint64_t{1} << g;
      } else {
        for (const int64_t op : taken) other.erase(op);
      }
    }
  }
  if (selected.empty()) selected.insert(*pending.begin());
  return selected;
}

}  // namespace

DensityFusionConfig density_fusion_config(int64_t n) {
  DensityFusionConfig config;
  config.max_active = std::min<int64_t>(5, n - 4);
  return config;
}

std::vector<DensityFusionGroup> plan_density_fusion(const std::vector<DensityOperation>& operations,
                                                    int64_t n, const DensityFusionConfig& config) {
  if (n < 0 || n > kMaxQubits) throw std::invalid_argument("num_qubits out of range for fusion");
  std::set<int64_t> pending;
  for (int64_t i = 0; i < static_cast<int64_t>(operations.size()); ++i) pending.insert(i);
  std::vector<DensityFusionGroup> groups;
  while (!pending.empty()) {
    const std::set<int64_t> selected = plan_pass(operations, pending, n, config);
    DensityFusionGroup group;
    group.operations.assign(selected.begin(), selected.end());
    for (const int64_t i : selected) {
      const std::vector<int64_t> q = qubits_of(operations[static_cast<std::size_t>(i)]);
      group.active.insert(group.active.end(), q.begin(), q.end());
    }
    std::sort(group.active.begin(), group.active.end());
    group.active.erase(std::unique(group.active.begin(), group.active.end()), group.active.end());
    if (group.operations.size() == 1)
      group.kind = DensityGroupKind::Single;
    else if (group.active.size() == 1)
      group.kind = DensityGroupKind::SingleQubitRun;
    else if (static_cast<int64_t>(group.active.size()) >= config.fused_min)
      group.kind = DensityGroupKind::Fused;
    else
      group.kind = DensityGroupKind::Small;
    if (group.kind == DensityGroupKind::Fused)
      for (const int64_t i : group.operations)
        group.gates.push_back(fused_record(operations[static_cast<std::size_t>(i)], group.active));
    for (const int64_t i : selected) pending.erase(i);
    groups.push_back(std::move(group));
  }
  return groups;
}

template <typename T>
std::vector<DeviceDensityGate<CuComplex<T>>> gather_fused_gates(
    const std::vector<DensityFusionGroup>& groups, std::vector<std::size_t>& starts) {
  std::vector<DeviceDensityGate<CuComplex<T>>> out;
  starts.assign(groups.size(), 0);
  const auto narrow = [](CuComplex<double> z) {
    return CuComplex<T>{static_cast<T>(z.re), static_cast<T>(z.im)};
  };
  for (std::size_t g = 0; g < groups.size(); ++g) {
    starts[g] = out.size();
    for (const auto& wide : groups[g].gates) {
      DeviceDensityGate<CuComplex<T>> r;
      r.type = wide.type;
      r.target = wide.target;
      r.control_mask = wide.control_mask;
      r.control_value = wide.control_value;
      for (int e = 0; e < 4; ++e) r.matrix[e] = narrow(wide.matrix[e]);
      r.d0 = narrow(wide.d0);
      r.d1 = narrow(wide.d1);
      r.flip_mask = wide.flip_mask;
      r.channel_kind = wide.channel_kind;
      r.channel_parameter = static_cast<T>(wide.channel_parameter);
      out.push_back(r);
    }
  }
  return out;
}

template std::vector<DeviceDensityGate<CuComplex<float>>> gather_fused_gates<float>(
    const std::vector<DensityFusionGroup>&, std::vector<std::size_t>&);
template std::vector<DeviceDensityGate<CuComplex<double>>> gather_fused_gates<double>(
    const std::vector<DensityFusionGroup>&, std::vector<std::size_t>&);

}  // namespace qalvane::rhomira
