// An operation after validation and lowering: which fast path runs it and
// with which masks, entries and pool offset. All flags start false and all
// fields zero.
#pragma once

#include <cstdint>

#include "cu_complex.h"
#include "device_targets.h"

namespace qalvane::rhomira {

struct PreparedOperation {
  int32_t is_kraus = 0;             // DensityOperationKind of the source operation
  DeviceTargets targets{};          // matrix and general Kraus operations
  uint64_t control_mask = 0;        // OR of 1 << c over the controls
  uint64_t control_value = 0;       // the controls required to be 1
  uint64_t kraus_count = 0;         // general Kraus only
  uint64_t matrix_offset = 0;       // in elements, into the run's matrix pool
  bool is_diagonal = false;
  bool skip = false;                // global phase only: nothing is launched
  uint64_t target_mask = 0;         // diagonal operations and built-in channels
  CuComplex<double> d0{0.0, 0.0};   // diagonal entries, exact in the run's precision
  CuComplex<double> d1{0.0, 0.0};
  bool is_permutation = false;      // X or SWAP: values move, nothing is computed
  uint64_t flip_mask = 0;
  bool is_swap = false;
  bool is_channel = false;          // built-in noise channel
  int32_t channel_kind = 0;         // density::ChannelKind 1..5
  double channel_parameter = 0.0;
};

}  // namespace qalvane::rhomira
