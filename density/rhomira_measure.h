// Measurement of chosen qubits of a density matrix: diagonal reduction on the
// device, a seeded draw on the host, projection and renormalisation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cu_complex.h"

namespace qalvane::rhomira {

void validate_density_measure(int64_t n, const std::vector<int64_t>& targets,
                              const std::string& endian);

// Index m of the drawn outcome; the table is read by its relative weights.
uint64_t choose_density_outcome(const std::vector<double>& probabilities, uint64_t seed);

template <typename T>
std::string measure_density(int64_t n, CuComplex<T>* rho, const std::vector<int64_t>& targets,
                            const std::string& endian, int32_t device, uint64_t seed);

}  // namespace qalvane::rhomira
