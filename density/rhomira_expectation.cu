#include "rhomira_expectation.h"

#include <cstdint>

#include "pauli_expectation.cuh"

namespace qalvane::rhomira {

// tr(rho P) = i^y sum_i (-1)^popcount(i & phases) rho(i, i ^ flips) for y Y
// letters: one element per row, 2^n of the 4^n. The two indices of a pair
// (i, j = i ^ flips) add rho(i, j) + rho(j, i) when y is even and
// rho(i, j) - rho(j, i) when it is odd; of these, Re takes the real part of
// the first and the imaginary part of the second.
template <typename T>
struct DensityPauliWeights {
  const CuComplex<T>* rho;
  uint64_t dim;

  __host__ __device__ PauliWeights operator()(uint64_t i, uint64_t j) const {
    if (i == j) return PauliWeights{static_cast<double>(rho[i * dim + i].re), 0.0};
    const CuComplex<T> a = rho[i * dim + j];
    const CuComplex<T> b = rho[j * dim + i];
    return PauliWeights{static_cast<double>(a.re) + static_cast<double>(b.re),
                        static_cast<double>(a.im) - static_cast<double>(b.im)};
  }

  static double scale(bool, unsigned y_count) { return y_count == 1 || y_count == 2 ? -1.0 : 1.0; }
};

std::vector<double> expectation_pauli(const DeviceDensityState& state,
                                      const std::vector<PauliTerm>& terms) {
  const int64_t n = static_cast<int64_t>(state.num_qubits());
  if (state.is_double())
    return run_pauli_expectation(state.device_id(), n,
                                 DensityPauliWeights<double>{state.data_as<double>(), state.dimension()},
                                 terms);
  return run_pauli_expectation(state.device_id(), n,
                               DensityPauliWeights<float>{state.data_as<float>(), state.dimension()},
                               terms);
}

}  // namespace qalvane::rhomira
