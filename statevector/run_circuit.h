// The circuit runner: applies a chunk of gate records to a state buffer in order.
#pragma once

#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "gate_record.h"
#include "tovrek_types.h"

namespace tovrek {

using qalvane::CuComplex;

// Entry used by the bindings: checks the amplitude count, selects the device,
// runs the records. Returns once the work is enqueued.
template <typename T>
void run_circuit_chunk(int64_t n, CuComplex<T>* data, int64_t num_state,
                       const std::vector<GateRecord>& records, int32_t device_id, KernelMode mode);

// The chunk loop, after the device has been selected.
template <typename T>
void run_gate_records(int64_t n, CuComplex<T>* data, const std::vector<GateRecord>& records,
                      KernelMode mode);

// The one check of a record before anything of it runs: gate id, parameter
// and target counts, control lists and qubit positions on n qubits. Used by
// the dispatch and, for a whole chunk before its first group, by the planner.
void check_gate_record(int64_t n, const GateRecord& record);

// Applies one record through its launcher; also used by the fusion executor.
template <typename T>
void dispatch_gate(int64_t n, CuComplex<T>* data, const GateRecord& record, KernelMode mode);

}  // namespace tovrek
