#include "rhomira_measure.h"

#include <cuda_runtime.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "cuda_error.h"
#include "launch.cuh"
#include "outcome_index.h"
#include "outcome_table.cuh"

namespace qalvane::rhomira {

// The weight of basis index i: the real part of rho(i, i), in double.
template <typename T>
struct DiagonalEntry {
  const CuComplex<T>* rho;
  uint64_t stride;  // 2^n + 1 elements from one diagonal entry to the next
  __host__ __device__ __forceinline__ double operator()(uint64_t i) const {
    return static_cast<double>(rho[i * stride].re);
  }
};

template <typename T>
__global__ void __launch_bounds__(kOutcomeThreads)
    density_measure_probs_kernel(const __grid_constant__ OutcomePlan plan, DiagonalEntry<T> weight,
                                 double* table) {
  reduce_outcome_runs(plan, weight, table);
}

// Thread (r, c): rho(r, c) is kept, times scale, when both r and c have the
// outcome ((x & mask) == value), else zeroed.
template <typename T>
__global__ void density_measure_collapse_kernel(int64_t n, CuComplex<T>* rho, uint64_t mask,
                                                uint64_t value, double scale) {
  const uint64_t dim = uint64_t{1} << n;
  const uint64_t r = static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
  const uint64_t c = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (r >= dim || c >= dim) return;
  CuComplex<T>& e = rho[r * dim + c];
  if ((r & mask) == value && (c & mask) == value) {
    e.re = static_cast<T>(static_cast<double>(e.re) * scale);
    e.im = static_cast<T>(static_cast<double>(e.im) * scale);
  } else {
    e.re = T(0);
    e.im = T(0);
  }
}

void validate_density_measure(int64_t n, const std::vector<int64_t>& targets,
                              const std::string& endian) {
  if (n < 1 || n > 15) throw std::invalid_argument("num_qubits must be in [1, 15]");
  if (targets.empty()) throw std::invalid_argument("measure targets must not be empty");
  if (endian != "little" && endian != "big")
    throw std::invalid_argument("endian must be 'little' or 'big'");
  uint64_t seen = 0;
  for (const int64_t q : targets) {
    if (q < 0 || q >= n) throw std::invalid_argument("measure target index out of range");
    if (seen & (uint64_t{1} << q)) throw std::invalid_argument("duplicate measure target index");
    seen |= uint64_t{1} << q;
  }
}

uint64_t choose_density_outcome(const std::vector<double>& probabilities, uint64_t seed) {
  double total = 0.0;
  for (const double p : probabilities) total += p;
  if (!(total > 0.0) || std::fabs(total) > std::numeric_limits<double>::max())
    throw std::runtime_error("density matrix has zero or invalid trace.");
  const double upper = std::nextafter(total, std::numeric_limits<double>::infinity());
  std::mt19937_64 generator(seed);
  double u = static_cast<double>(generator()) * 0x1p-64;
  if (u >= 1.0) u = 0.9999999999999999;
  const double r = upper * u + 0.0;
  double acc = 0.0;
  for (uint64_t m = 0; m < probabilities.size(); ++m) {
    acc += probabilities[m];
    if (acc >= r) return m;
  }
  return probabilities.size() - 1;
}

template <typename T>
std::string measure_density(int64_t n, CuComplex<T>* rho, const std::vector<int64_t>& targets,
                            const std::string& endian, int32_t device, uint64_t seed) {
  validate_density_measure(n, targets, endian);
  check_cuda(cudaSetDevice(device));
  const int64_t k = static_cast<int64_t>(targets.size());
  const uint64_t dim = uint64_t{1} << n;
  const bool little = endian == "little";

  // The diagonal is 32 tiles at most: one block per group reads it, no runs.
  const OutcomePlan plan = plan_outcome_table(n, targets, little, 0);
  OutcomeTable reduced = reduce_outcome_table(plan, density_measure_probs_kernel<T>, nullptr,
                                              DiagonalEntry<T>{rho, dim + 1});
  const std::vector<double>& table = reduced.probabilities;
  const uint64_t m = choose_density_outcome(table, seed);
  const double p = table[m];
  if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");

  const OutcomeSelector selected = select_outcome(n, targets, little, m);
  launch_kernel(density_measure_collapse_kernel<T>,
                dim3(static_cast<unsigned>((dim + 31) / 32), static_cast<unsigned>((dim + 7) / 8)),
                dim3(32, 8), 0, cudaStream_t{0}, n, rho, selected.mask, selected.value, 1.0 / p);
  check_cuda(cudaGetLastError());
  reduced.release();

  std::string outcome(static_cast<std::size_t>(k), '0');
  for (int64_t j = 0; j < k; ++j)
    if ((m >> (k - 1 - j)) & 1u) outcome[static_cast<std::size_t>(j)] = '1';
  return outcome;
}

template std::string measure_density<float>(int64_t, CuComplex<float>*,
                                            const std::vector<int64_t>&, const std::string&,
                                            int32_t, uint64_t);
template std::string measure_density<double>(int64_t, CuComplex<double>*,
                                             const std::vector<int64_t>&, const std::string&,
                                             int32_t, uint64_t);

}  // namespace qalvane::rhomira
