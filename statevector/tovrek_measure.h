// Measurement of target qubits of a state vector: the probability table is
// reduced on the device, outcomes are drawn on the host, and the state may be
// collapsed to the last outcome. One routine serves a single measurement and
// a batch of shots.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "cu_complex.h"
#include "interrupt_check.h"
#include "tovrek_device_state.h"

namespace tovrek {

using qalvane::CuComplex;

struct MeasureResult {
  std::unordered_map<std::string, uint64_t> counts;  // outcome string -> shots
  std::string last;                                  // outcome of the final shot
};

// Argument checks of a measurement, in the order callers rely on.
void validate_measure_request(int64_t n, int64_t state_size, const std::vector<int64_t>& targets,
                              const std::string& endian);

// Inclusive running sum of the outcome probabilities; the total is its last
// entry. Throws when the total is zero, NaN or infinite.
std::vector<double> running_sum_checked(std::vector<double> probs);

// The outcome for one 64-bit generator output x: the first index whose running
// sum exceeds u * total, u = x / 2^64 kept below 1; if none does, the first
// index that reaches the total (never an outcome of zero weight).
uint64_t draw_outcome(const std::vector<double>& cum, uint64_t x);

// k characters '0'/'1'; character j is bit k-1-j of the outcome index.
std::string outcome_string(uint64_t outcome, std::size_t k);

// The shared routine: validates, reduces, draws `shots` outcomes from one
// MT19937-64 seeded with `seed`, and collapses to the last when asked. The
// draws consult `interrupted` now and then; what it throws ends the call
// before the collapse, the state untouched.
template <typename T>
MeasureResult sample_targets(int64_t n, CuComplex<T>* state, int64_t state_size,
                             const std::vector<int64_t>& targets, const std::string& endian,
                             int32_t device_id, uint64_t shots, uint64_t seed, bool collapse,
                             const qalvane::InterruptCheck& interrupted = {});

// Workers on a DeviceState, in its precision.
MeasureResult sample_device_state(DeviceState& state, const std::vector<int64_t>& targets,
                                  const std::string& endian, uint64_t shots, uint64_t seed,
                                  bool collapse, const qalvane::InterruptCheck& interrupted = {});
std::string measure_device_state(DeviceState& state, const std::vector<int64_t>& targets,
                                 const std::string& endian, uint64_t seed);

}  // namespace tovrek
