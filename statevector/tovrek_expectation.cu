#include "tovrek_expectation.h"

#include <cstdint>

#include "pauli_expectation.cuh"

namespace tovrek {

// <psi|P|psi> = (-i)^y sum_i (-1)^popcount(i & phases) conj(psi_i) psi_(i ^ flips)
// for y Y letters. The two indices of a pair (i, j = i ^ flips) together add
// 2 Re(conj(psi_i) psi_j) when y is even and 2i Im(conj(psi_i) psi_j) when it
// is odd, with the sign of i; without flips the weight is |psi_i|^2.
template <typename T>
struct StatePauliWeights {
  const CuComplex<T>* amplitudes;

  __host__ __device__ qalvane::PauliWeights operator()(uint64_t i, uint64_t j) const {
    const CuComplex<T> a = amplitudes[i];
    const CuComplex<T> b = i == j ? a : amplitudes[j];
    const double ar = a.re, ai = a.im, br = b.re, bi = b.im;
    return qalvane::PauliWeights{ar * br + ai * bi, ar * bi - ai * br};
  }

  static double scale(bool flips, unsigned y_count) {
    return (flips ? 2.0 : 1.0) * (y_count >= 2 ? -1.0 : 1.0);
  }
};

std::vector<double> expectation_pauli(const DeviceState& state,
                                      const std::vector<qalvane::PauliTerm>& terms) {
  if (state.dtype() == StateDtype::Complex128)
    return qalvane::run_pauli_expectation(
        state.device_id(), state.n(), StatePauliWeights<double>{state.data_as<double>()}, terms);
  return qalvane::run_pauli_expectation(state.device_id(), state.n(),
                                        StatePauliWeights<float>{state.data_as<float>()}, terms);
}

}  // namespace tovrek
