// Planning of runs of small density operations into groups, and the fused
// shared-memory kernel that applies a group of single-target operations in
// one pass over rho.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "density_operation.h"

namespace qalvane::rhomira {

enum class DensityGateType : int32_t { Matrix = 0, Diagonal = 1, BitFlip = 2, Channel = 3 };

// One operation of a fused group, on local qubits (positions in the group's
// active list).
template <typename Complex>
struct DeviceDensityGate {
  using Real = decltype(Complex::re);
  int32_t type = 0;
  int32_t target = 0;
  int32_t control_mask = 0;
  int32_t control_value = 0;
  Complex matrix[4] = {};
  Complex d0 = {Real(1), Real(0)};
  Complex d1 = {Real(1), Real(0)};
  int32_t flip_mask = 0;
  int32_t channel_kind = 0;
  Real channel_parameter = Real(0);
};

enum class DensityGroupKind : int32_t { Single = 0, SingleQubitRun = 1, Fused = 2, Small = 3 };

struct DensityFusionGroup {
  DensityGroupKind kind = DensityGroupKind::Single;
  std::vector<int64_t> operations;  // ascending, the order they run in
  std::vector<int64_t> active;      // sorted union of targets and controls
  std::vector<DeviceDensityGate<CuComplex<double>>> gates;  // fused groups only
};

struct DensityFusionConfig {
  int64_t max_active = 0;
  int64_t fused_min = 4;
  int64_t window = 1024;
};

// The limits the executor plans with on n qubits.
DensityFusionConfig density_fusion_config(int64_t n);

std::vector<DensityFusionGroup> plan_density_fusion(const std::vector<DensityOperation>& operations,
                                                    int64_t n, const DensityFusionConfig& config);

// The records of every fused group, group after group, in the state's
// precision; starts[g] is where group g begins (fused groups only).
template <typename T>
std::vector<DeviceDensityGate<CuComplex<T>>> gather_fused_gates(
    const std::vector<DensityFusionGroup>& groups, std::vector<std::size_t>& starts);

template <typename T>
void launch_density_sparsesharemem(int64_t dim, CuComplex<T>* rho, uint64_t active_mask, int32_t a,
                                   const DeviceDensityGate<CuComplex<T>>* gates,
                                   int32_t gate_count, cudaStream_t stream);

}  // namespace qalvane::rhomira
