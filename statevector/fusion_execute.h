// Execution of fusion plans: the per-execution device arrays and the group loop.
#pragma once

#include <cstdint>
#include <vector>

#include "densemm.h"
#include "device_buffer.h"
#include "fusion.h"
#include "gate_record.h"
#include "prepared_fusion_chunk.h"
#include "tovrek_device_state.h"

namespace tovrek::fusion {

// The plan's records and matrices on the device, freed with the workspace,
// and the DenseMM scratch borrowed from the thread's cache, grown where needed
// to the largest slice of the plan's DenseMM groups.
template <typename T>
struct FusionWorkspace {
  FusionWorkspace(int64_t n, const FusionPlan& plan);

  int64_t n;
  qalvane::DeviceBuffer<DeviceMatrixGate<T>> records;
  qalvane::DeviceBuffer<CuComplex<T>> matrices;
  DenseMMScratch<T> dense;
};

// One SparseShareMem or DenseMM group through its executor.
template <typename T>
void execute_fused_group(int64_t n, CuComplex<T>* state, const FusedGroup& group,
                         const FusionWorkspace<T>& workspace);

// The groups in plan order on the default stream; does not synchronise.
template <typename T>
void execute_fusion_plan(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records,
                         const FusionPlan& plan, const FusionWorkspace<T>& workspace);

// The runner's fused route: plan with the default options, execute, free.
template <typename T>
void run_fused_records(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records);

}  // namespace tovrek::fusion

namespace tovrek {

// Size check, device selection, execution and synchronisation of the stream.
void execute_prepared_fusion_chunk(DeviceState& state, const PreparedFusionChunk& chunk);

}  // namespace tovrek
