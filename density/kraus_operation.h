// Rules of Kraus operations: their validation and the recognition of the
// built-in noise channels with the parameter read from the operators.
#pragma once

#include <cstdint>

#include "density_operation.h"

namespace qalvane::rhomira {

constexpr int kMaxKrausTargets = 3;

// Raises on an invalid Kraus operation for an n-qubit state.
void validate_kraus_operation(const DensityOperation& operation, int64_t n);

struct BuiltinChannel {
  bool recognised = false;
  density::ChannelKind kind = density::ChannelKind::BitFlip;
  double parameter = 0.0;
};

// A Kraus operation with a channel name of the built-in table, one target,
// d = 2 and the table's operator count; the parameter is taken from the
// real parts of the second operator's first row. The operators are trusted.
BuiltinChannel builtin_channel(const DensityOperation& operation);

}  // namespace qalvane::rhomira
