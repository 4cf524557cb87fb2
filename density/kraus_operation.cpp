#include "kraus_operation.h"

#include <cmath>
#include <complex>
#include <stdexcept>

namespace qalvane::rhomira {

void validate_kraus_operation(const DensityOperation& operation, int64_t n) {
  const std::vector<int64_t>& targets = operation.targets;
  if (targets.empty()) throw std::runtime_error("Kraus operation requires at least one target");
  uint64_t seen = 0;
  for (const int64_t q : targets) {
    if (q < 0 || q >= n || (seen >> q & 1))
      throw std::runtime_error("invalid or duplicate Kraus target qubit");
    seen |= uint64_t{1} << q;
  }
  // Targets are distinct qubits of n <= 15, so the shift is in range.
  if ((uint64_t{1} << targets.size()) != operation.kraus_dimension)
    throw std::runtime_error("Kraus matrix dimension does not match targets");
  if (operation.kraus_count < 1)
    throw std::runtime_error("Kraus operation requires at least one matrix");
  const uint64_t d = operation.kraus_dimension;
  if (operation.kraus_count * d * d != operation.kraus_data.size())
    throw std::runtime_error("invalid Kraus matrix buffer size");
  for (const std::complex<double>& v : operation.kraus_data)
    if (!std::isfinite(v.real()) || !std::isfinite(v.imag()))
      throw std::runtime_error("Kraus matrices must contain only finite values");
}

BuiltinChannel builtin_channel(const DensityOperation& operation) {
  using density::ChannelKind;
  struct Row {
    const char* name;
    uint64_t count;
    ChannelKind kind;
  };
  static const Row kTable[] = {
      {"bit_flip", 2, ChannelKind::BitFlip},
      {"phase_flip", 2, ChannelKind::PhaseFlip},
      {"depolarizing", 4, ChannelKind::Depolarizing},
      {"amplitude_damping", 2, ChannelKind::AmplitudeDamping},
      {"phase_damping", 3, ChannelKind::PhaseDamping},
  };
  BuiltinChannel out;
  if (operation.kind != DensityOperationKind::Kraus || operation.channel_name.empty() ||
      operation.targets.size() != 1 || operation.kraus_dimension != 2)
    return out;
  for (const Row& row : kTable) {
    if (operation.channel_name != row.name || operation.kraus_count != row.count) continue;
    if (operation.kraus_data.size() < 8) return out;  // not a valid set; validation reports it
    // Second operator, first row.
    const double k00 = operation.kraus_data[4].real();
    const double k01 = operation.kraus_data[5].real();
    out.recognised = true;
    out.kind = row.kind;
    switch (row.kind) {
      case ChannelKind::BitFlip:
      case ChannelKind::AmplitudeDamping:
        out.parameter = k01 * k01;
        break;
      case ChannelKind::Depolarizing:
        out.parameter = (4.0 * k01) * k01;
        break;
      case ChannelKind::PhaseFlip:
      case ChannelKind::PhaseDamping:
        out.parameter = k00 * k00;
        break;
    }
    return out;
  }
  return out;
}

}  // namespace qalvane::rhomira
