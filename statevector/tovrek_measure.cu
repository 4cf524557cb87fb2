#include "tovrek_measure.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "cuda_error.h"
#include "launch.cuh"
#include "outcome_index.h"
#include "outcome_table.cuh"
#include "tovrek_kernel_frame.cuh"

namespace tovrek {

using qalvane::check_cuda;
using qalvane::OutcomePlan;

// The weight of basis index i: |amplitude|^2 in double, re * re fused onto
// im * im.
template <typename T>
struct SquaredMagnitude {
  const CuComplex<T>* state;
  __host__ __device__ __forceinline__ double operator()(uint64_t i) const {
    const CuComplex<T> a = state[i];
    const double re = static_cast<double>(a.re);
    const double im = static_cast<double>(a.im);
    return fma(re, re, im * im);
  }
};

template <typename T>
__global__ void __launch_bounds__(qalvane::kOutcomeThreads)
    measure_probs_kernel(const __grid_constant__ OutcomePlan plan, SquaredMagnitude<T> weight,
                         double* runs) {
  qalvane::reduce_outcome_runs(plan, weight, runs);
}

__global__ void __launch_bounds__(qalvane::kOutcomeThreads)
    measure_probs_add_kernel(const __grid_constant__ OutcomePlan plan, const double* runs,
                             double* table) {
  qalvane::add_outcome_runs(plan, runs, table);
}

// Keeps and rescales the amplitudes of the indices with (i & mask) == value,
// zeroes the rest.
template <typename T>
__global__ void measure_collapse_kernel(int64_t n, CuComplex<T>* state, uint64_t mask,
                                        uint64_t value, T scale) {
  for (uint64_t i = global_thread_index(); (i >> n) == 0; i += grid_stride()) {
    if ((i & mask) == value) {
      state[i].re *= scale;
      state[i].im *= scale;
    } else {
      state[i].re = T(0);
      state[i].im = T(0);
    }
  }
}

void validate_measure_request(int64_t n, int64_t state_size, const std::vector<int64_t>& targets,
                              const std::string& endian) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  if (state_size != (int64_t{1} << n))
    throw std::invalid_argument("state size does not match 2**n");
  if (targets.empty() || targets.size() > 62)
    throw std::invalid_argument("measure targets size must be in [1, 62]");
  qalvane::check_endian(endian);
  uint64_t seen = 0;
  for (const int64_t t : targets) {
    if (t < 0 || t >= n) throw std::invalid_argument("measure target index out of range");
    const uint64_t bit = uint64_t{1} << t;
    if ((seen & bit) != 0) throw std::invalid_argument("duplicate measure target index");
    seen |= bit;
  }
}

std::vector<double> running_sum_checked(std::vector<double> probs) {
  double sum = 0.0;
  for (double& p : probs) {
    sum += p;
    p = sum;
  }
  // Written so that NaN fails too. The total is kept: draws scale by it, so
  // an unnormalised state is measured by its relative weights.
  if (!(sum > 0.0) || !(sum <= std::numeric_limits<double>::max()))
    throw std::runtime_error("Quantum state has zero or invalid norm.");
  return probs;
}

uint64_t draw_outcome(const std::vector<double>& cum, uint64_t x) {
  double u = static_cast<double>(x) * 0x1p-64;
  if (u >= 1.0) u = 0.9999999999999999;
  const double r = u * cum.back() + 0.0;
  auto it = std::upper_bound(cum.begin(), cum.end(), r);
  // r reaches the total only when the total is subnormal; the last index may
  // then have zero weight, so take the last outcome that has weight instead.
  if (it == cum.end()) it = std::lower_bound(cum.begin(), cum.end(), cum.back());
  return static_cast<uint64_t>(it - cum.begin());
}

std::string outcome_string(uint64_t outcome, std::size_t k) {
  std::string s(k, '0');
  for (std::size_t j = 0; j < k; ++j)
    if ((outcome >> (k - 1 - j)) & 1u) s[j] = '1';
  return s;
}

namespace {

// Counters for every outcome, used when the table is smaller than the shot count.
struct DenseCounts {
  std::vector<uint64_t> counts;
  explicit DenseCounts(std::size_t outcomes) : counts(outcomes, 0) {}
  void add(uint64_t m) { ++counts[m]; }
  template <typename F>
  void for_each(F&& f) const {
    for (std::size_t m = 0; m < counts.size(); ++m)
      if (counts[m] != 0) f(m, counts[m]);
  }
};

// Counters for drawn outcomes only, so few shots over many targets stay cheap.
struct HashCounts {
  std::unordered_map<uint64_t, uint64_t> counts;
  explicit HashCounts(uint64_t shots) {
    counts.reserve(static_cast<std::size_t>(std::min<uint64_t>(shots, uint64_t{1} << 20)));
  }
  void add(uint64_t m) { ++counts[m]; }
  template <typename F>
  void for_each(F&& f) const {
    for (const auto& entry : counts) f(entry.first, entry.second);
  }
};

// Draws every shot into the store (one generator output each) and returns
// the last outcome index. Shots go in blocks between interrupt polls.
template <typename Store>
uint64_t count_shots(Store& store, const std::vector<double>& cum, uint64_t shots, uint64_t seed,
                     std::size_t k, const qalvane::InterruptCheck& interrupted,
                     MeasureResult& result) {
  std::mt19937_64 generator(seed);
  qalvane::InterruptPoll poll = qalvane::start_interrupt_poll(interrupted);
  uint64_t last = 0;
  for (uint64_t shot = 0; shot < shots;) {
    const uint64_t block = std::min(shots - shot, qalvane::kInterruptStride);
    for (const uint64_t end = shot + block; shot < end; ++shot) {
      last = draw_outcome(cum, generator());
      store.add(last);
    }
    poll_interrupt(poll, block);
  }
  store.for_each([&](uint64_t m, uint64_t c) { result.counts.emplace(outcome_string(m, k), c); });
  return last;
}

}  // namespace

template <typename T>
MeasureResult sample_targets(int64_t n, CuComplex<T>* state, int64_t state_size,
                             const std::vector<int64_t>& targets, const std::string& endian,
                             int32_t device_id, uint64_t shots, uint64_t seed, bool collapse,
                             const qalvane::InterruptCheck& interrupted) {
  validate_measure_request(n, state_size, targets, endian);
  if (shots == 0) throw std::invalid_argument("shots must be positive");
  const bool little = endian == "little";
  const std::size_t outcomes = std::size_t{1} << targets.size();
  check_cuda(cudaSetDevice(device_id));

  // Run tables within the workspace any operation may take beyond the state.
  const uint64_t state_bytes = static_cast<uint64_t>(state_size) * sizeof(CuComplex<T>);
  const OutcomePlan plan = qalvane::plan_outcome_table(
      n, targets, little, std::max<uint64_t>(state_bytes / 16, uint64_t{4} << 20));
  qalvane::OutcomeTable reduced = qalvane::reduce_outcome_table(
      plan, measure_probs_kernel<T>, measure_probs_add_kernel, SquaredMagnitude<T>{state});
  const std::vector<double> cum = running_sum_checked(std::move(reduced.probabilities));

  MeasureResult result;
  uint64_t last = 0;
  if (outcomes < shots) {
    DenseCounts store(outcomes);
    last = count_shots(store, cum, shots, seed, targets.size(), interrupted, result);
  } else {
    HashCounts store(shots);
    last = count_shots(store, cum, shots, seed, targets.size(), interrupted, result);
  }
  result.last = outcome_string(last, targets.size());

  if (collapse) {
    // The weight comes from the running sum the draw used, so the collapsed
    // state has unit norm whatever the input norm was.
    const double p = last == 0 ? cum[0] : cum[last] - cum[last - 1];
    if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
    const T scale = static_cast<T>(1.0 / std::sqrt(p));
    const qalvane::OutcomeSelector selected = qalvane::select_outcome(n, targets, little, last);
    qalvane::launch_kernel(measure_collapse_kernel<T>, grid_for(static_cast<uint64_t>(state_size)),
                           dim3(kThreadsPerBlock, 1, 1), 0, nullptr, n, state, selected.mask,
                           selected.value, scale);
    check_cuda(cudaGetLastError());
  }
  reduced.release();
  return result;
}

MeasureResult sample_device_state(DeviceState& state, const std::vector<int64_t>& targets,
                                  const std::string& endian, uint64_t shots, uint64_t seed,
                                  bool collapse, const qalvane::InterruptCheck& interrupted) {
  if (state.dtype() == StateDtype::Complex128)
    return sample_targets<double>(state.n(), state.data_as<double>(), state.num_state(), targets,
                                  endian, state.device_id(), shots, seed, collapse, interrupted);
  return sample_targets<float>(state.n(), state.data_as<float>(), state.num_state(), targets,
                               endian, state.device_id(), shots, seed, collapse, interrupted);
}

std::string measure_device_state(DeviceState& state, const std::vector<int64_t>& targets,
                                 const std::string& endian, uint64_t seed) {
  return sample_device_state(state, targets, endian, 1, seed, true).last;
}

template MeasureResult sample_targets<float>(int64_t, CuComplex<float>*, int64_t,
                                             const std::vector<int64_t>&, const std::string&,
                                             int32_t, uint64_t, uint64_t, bool,
                                             const qalvane::InterruptCheck&);
template MeasureResult sample_targets<double>(int64_t, CuComplex<double>*, int64_t,
                                              const std::vector<int64_t>&, const std::string&,
                                              int32_t, uint64_t, uint64_t, bool,
                                              const qalvane::InterruptCheck&);

}  // namespace tovrek
