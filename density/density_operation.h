// One operation on a density matrix as read from the caller's objects: a gate
// (named or with a stored matrix, possibly controlled) or a Kraus set.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace qalvane::rhomira {

enum class DensityOperationKind : int32_t { Gate = 0, Kraus = 1 };

struct DensityOperation {
  DensityOperationKind kind = DensityOperationKind::Gate;
  std::string name;                           // gate form: `id` as given
  std::vector<int64_t> targets;               // the j-th target is bit j of the local index
  std::vector<int64_t> controls;              // gate form only
  std::vector<uint64_t> control_state;        // negative inputs wrap, so they fail the 0/1 check
  std::vector<double> parameters;             // gate form only
  std::vector<std::complex<double>> matrix;   // stored matrix, row-major
  bool has_matrix = false;
  std::string channel_name;                   // Kraus form: built-in channel name or empty
  uint64_t kraus_dimension = 0;               // d
  uint64_t kraus_count = 0;                   // number of operators
  std::vector<std::complex<double>> kraus_data;  // count * d * d, operator after operator
};

namespace density {

// The built-in single-qubit noise channels; the values are part of the kernel
// templates and of the fused records.
enum class ChannelKind : int32_t {
  BitFlip = 1,
  PhaseFlip = 2,
  Depolarizing = 3,
  AmplitudeDamping = 4,
  PhaseDamping = 5,
};

}  // namespace density

}  // namespace qalvane::rhomira
