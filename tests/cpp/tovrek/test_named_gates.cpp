// The named single-qubit launchers against a dense 2x2 reference applied on
// the host, in every mode and index scheme, plus their exactness promises
// and error paths.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tovrek_device_state.h"
#include "tovrek_gates.h"

#ifdef QALVANE_HOST_RUNTIME
#include "hostcuda/control.h"
#endif

namespace {

using tovrek::CuComplex;
using tovrek::DeviceState;
using tovrek::KernelMode;
using cd = std::complex<double>;
using Matrix = std::array<cd, 4>;  // m00, m01, m10, m11

const char* const kGates[] = {"x",     "y",        "z",     "h",  "s",  "sdag", "sqrtx", "sqrtxdag",
                              "sqrty", "sqrtydag", "phase", "rx", "ry", "rz",   "u"};
const KernelMode kModes[] = {KernelMode::AllState, KernelMode::Pair, KernelMode::PairAuto};
const std::vector<double> kAngles = {0.7, -1.3, 2.1};

Matrix reference_matrix(const std::string& g, const std::vector<double>& p) {
  const cd i(0, 1);
  const double r = 1 / std::sqrt(2.0);
  const double c = std::cos(p[0] / 2), s = std::sin(p[0] / 2);
  if (g == "x") return {0, 1, 1, 0};
  if (g == "y") return {0, -i, i, 0};
  if (g == "z") return {1, 0, 0, -1};
  if (g == "h") return {r, r, r, -r};
  if (g == "s") return {1, 0, 0, i};
  if (g == "sdag") return {1, 0, 0, -i};
  if (g == "sqrtx") return {0.5 + 0.5 * i, 0.5 - 0.5 * i, 0.5 - 0.5 * i, 0.5 + 0.5 * i};
  if (g == "sqrtxdag") return {0.5 - 0.5 * i, 0.5 + 0.5 * i, 0.5 + 0.5 * i, 0.5 - 0.5 * i};
  if (g == "sqrty") return {0.5 + 0.5 * i, -0.5 - 0.5 * i, 0.5 + 0.5 * i, 0.5 + 0.5 * i};
  if (g == "sqrtydag") return {0.5 - 0.5 * i, 0.5 - 0.5 * i, -0.5 + 0.5 * i, 0.5 - 0.5 * i};
  if (g == "phase") return {1, 0, 0, std::exp(i * p[0])};
  if (g == "rx") return {c, -i * s, -i * s, c};
  if (g == "ry") return {c, -s, s, c};
  if (g == "rz") return {std::exp(-i * p[0] / 2.0), 0, 0, std::exp(i * p[0] / 2.0)};
  return {c, -std::exp(i * p[2]) * s, std::exp(i * p[1]) * s, std::exp(i * (p[1] + p[2])) * c};
}

template <typename T>
void launch(const std::string& g, int64_t n, CuComplex<T>* d, int32_t t,
            const std::vector<int64_t>& c, const std::vector<int64_t>& cs,
            const std::vector<double>& p, KernelMode m) {
  using namespace tovrek;
  const T a = static_cast<T>(p[0]);
  if (g == "x") return cu_x<T>(n, d, t, c, cs, 0, m);
  if (g == "y") return cu_y<T>(n, d, t, c, cs, 0, m);
  if (g == "z") return cu_z<T>(n, d, t, c, cs, 0, m);
  if (g == "h") return cu_h<T>(n, d, t, c, cs, 0, m);
  if (g == "s") return cu_s<T>(n, d, t, c, cs, 0, m);
  if (g == "sdag") return cu_sdag<T>(n, d, t, c, cs, 0, m);
  if (g == "sqrtx") return cu_sqrtx<T>(n, d, t, c, cs, 0, m);
  if (g == "sqrtxdag") return cu_sqrtxdag<T>(n, d, t, c, cs, 0, m);
  if (g == "sqrty") return cu_sqrty<T>(n, d, t, c, cs, 0, m);
  if (g == "sqrtydag") return cu_sqrtydag<T>(n, d, t, c, cs, 0, m);
  if (g == "phase") return cu_phase<T>(n, d, t, c, cs, 0, a, m);
  if (g == "rx") return cu_rx<T>(n, d, t, c, cs, 0, a, m);
  if (g == "ry") return cu_ry<T>(n, d, t, c, cs, 0, a, m);
  if (g == "rz") return cu_rz<T>(n, d, t, c, cs, 0, a, m);
  return cu_u<T>(n, d, t, c, cs, 0, a, static_cast<T>(p[1]), static_cast<T>(p[2]), m);
}

template <typename T>
std::vector<CuComplex<T>> random_state(int64_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist;
  std::vector<cd> v(std::size_t{1} << n);
  double norm = 0;
  for (cd& a : v) {
    a = cd(dist(gen), dist(gen));
    norm += std::norm(a);
  }
  std::vector<CuComplex<T>> out(v.size());
  for (std::size_t k = 0; k < v.size(); ++k) {
    const cd a = v[k] / std::sqrt(norm);
    out[k] = {static_cast<T>(a.real()), static_cast<T>(a.imag())};
  }
  return out;
}

// Uploads `state`, applies one gate and downloads the result.
template <typename T>
std::vector<CuComplex<T>> run_gate(const std::string& g, int64_t n, std::vector<CuComplex<T>> state,
                                   int32_t target, const std::vector<int64_t>& controls,
                                   const std::vector<int64_t>& control_state, KernelMode mode,
                                   int repeats = 1, const char* then = nullptr) {
  DeviceState dev(
      n, sizeof(T) == 8 ? qalvane::StateDtype::Complex128 : qalvane::StateDtype::Complex64, 0);
  dev.upload(state.data(), static_cast<int64_t>(state.size()), false);
  for (int k = 0; k < repeats; ++k)
    launch<T>(g, n, dev.data_as<T>(), target, controls, control_state, kAngles, mode);
  if (then != nullptr)
    launch<T>(then, n, dev.data_as<T>(), target, controls, control_state, kAngles, mode);
  dev.download(state.data(), static_cast<int64_t>(state.size()), false);
  return state;
}

template <typename T>
std::vector<cd> reference(const std::string& g, const std::vector<CuComplex<T>>& state,
                          int32_t target, const std::vector<int64_t>& controls,
                          const std::vector<int64_t>& control_state) {
  const Matrix m = reference_matrix(g, kAngles);
  std::vector<cd> v(state.size());
  for (std::size_t k = 0; k < v.size(); ++k) v[k] = cd(state[k].re, state[k].im);
  const uint64_t tmask = uint64_t{1} << target;
  for (uint64_t i = 0; i < v.size(); ++i) {
    bool on = (i & tmask) == 0;
    for (std::size_t k = 0; k < controls.size(); ++k)
      on = on && ((i >> controls[k]) & 1) == static_cast<uint64_t>(control_state[k]);
    if (!on) continue;
    const cd a0 = v[i], a1 = v[i | tmask];
    v[i] = m[0] * a0 + m[1] * a1;
    v[i | tmask] = m[2] * a0 + m[3] * a1;
  }
  return v;
}

struct Shape {
  int64_t n;
  int32_t target;
  std::vector<int64_t> controls;
  std::vector<int64_t> control_state;
};

// Every PairAuto scheme: target 0 or not, with and without controls, a
// control required to be 0, all other qubits controls, the top qubit.
const std::vector<Shape> kShapes = {
    {1, 0, {}, {}},
    {4, 0, {}, {}},
    {4, 2, {}, {}},
    {5, 4, {1}, {0}},
    {5, 2, {4, 0}, {1, 0}},
    {5, 0, {3, 1}, {0, 1}},
    {4, 3, {0, 1, 2}, {1, 0, 1}},
    {8, 7, {0, 5}, {1, 1}},
    {8, 3, {7, 2}, {0, 1}},
};

class NamedGate : public ::testing::TestWithParam<std::tuple<const char*, KernelMode>> {
 protected:
  void SetUp() override {
#ifdef QALVANE_HOST_RUNTIME
    hostcuda::control::reset();
#endif
  }

  template <typename T>
  void check_against_reference(double tol) {
    const std::string g = std::get<0>(GetParam());
    const KernelMode mode = std::get<1>(GetParam());
    unsigned seed = 1;
    for (const Shape& s : kShapes) {
      const auto in = random_state<T>(s.n, seed++);
      const auto out = run_gate<T>(g, s.n, in, s.target, s.controls, s.control_state, mode);
      const auto want = reference<T>(g, in, s.target, s.controls, s.control_state);
      for (std::size_t k = 0; k < out.size(); ++k) {
        ASSERT_NEAR(out[k].re, want[k].real(), tol) << g << " n=" << s.n << " index " << k;
        ASSERT_NEAR(out[k].im, want[k].imag(), tol) << g << " n=" << s.n << " index " << k;
      }
    }
  }
};

TEST_P(NamedGate, MatchesReferenceFloat) { check_against_reference<float>(2e-6); }
TEST_P(NamedGate, MatchesReferenceDouble) { check_against_reference<double>(1e-14); }

TEST_P(NamedGate, MaskErrorsLeaveStateUntouched) {
  const std::string g = std::get<0>(GetParam());
  const KernelMode mode = std::get<1>(GetParam());
  const struct {
    std::vector<int64_t> controls, control_state;
    const char* message;
  } cases[] = {
      {{3}, {2}, "control_state must contain only 0/1"},
      {{63}, {0}, "control qubit index must be in [0, 62]"},
      {{1, 2}, {1}, "controls.size() != control_state.size()"},
  };
  for (const auto& c : cases) {
    const auto in = random_state<double>(4, 7);
    std::vector<CuComplex<double>> out = in;
    try {
      out = run_gate<double>(g, 4, in, 0, c.controls, c.control_state, mode);
      FAIL() << g << ": no error for " << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(std::memcmp(out.data(), in.data(), in.size() * sizeof(in[0])), 0);
  }
}

#ifdef QALVANE_HOST_RUNTIME
TEST_P(NamedGate, LaunchFailureCarriesThePrefix) {
  const std::string g = std::get<0>(GetParam());
  const KernelMode mode = std::get<1>(GetParam());
  const auto in = random_state<float>(3, 9);
  DeviceState dev(3, qalvane::StateDtype::Complex64, 0);
  dev.upload(in.data(), 8, false);
  hostcuda::control::fail_nth("launch", 1, 719);
  try {
    launch<float>(g, 3, dev.data_as<float>(), 1, {0}, {1}, kAngles, mode);
    FAIL() << g << ": launch failure not reported";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "cu_" + g + " kernel launch failed: " +
                                         cudaGetErrorString(static_cast<cudaError_t>(719)));
  }
  std::vector<CuComplex<float>> out(8);
  dev.download(out.data(), 8, false);
  EXPECT_EQ(std::memcmp(out.data(), in.data(), sizeof(out[0]) * 8), 0);
}
#endif

INSTANTIATE_TEST_SUITE_P(AllGatesAllModes, NamedGate,
                         ::testing::Combine(::testing::ValuesIn(kGates),
                                            ::testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_mode" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param)));
                         });

template <typename T>
bool same_bits(const std::vector<CuComplex<T>>& a, const std::vector<CuComplex<T>>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

// Involutions and s/sdag only move and negate components: bit-exact round trips.
TEST(NamedGateExactness, RoundTripsRestoreEveryBit) {
  for (KernelMode mode : kModes) {
    for (const Shape& s : kShapes) {
      const auto in = random_state<double>(s.n, 3);
      const auto inf = random_state<float>(s.n, 4);
      for (const char* g : {"x", "y", "z"}) {
        EXPECT_TRUE(same_bits(
            run_gate<double>(g, s.n, in, s.target, s.controls, s.control_state, mode, 2), in))
            << g;
        EXPECT_TRUE(same_bits(
            run_gate<float>(g, s.n, inf, s.target, s.controls, s.control_state, mode, 2), inf))
            << g;
      }
      EXPECT_TRUE(same_bits(
          run_gate<double>("s", s.n, in, s.target, s.controls, s.control_state, mode, 1, "sdag"),
          in));
      EXPECT_TRUE(same_bits(
          run_gate<float>("s", s.n, inf, s.target, s.controls, s.control_state, mode, 1, "sdag"),
          inf));
    }
  }
}

// x exchanges values untouched, NaN payloads and signed zeros included.
TEST(NamedGateExactness, XMovesValuesWithoutArithmetic) {
  std::vector<CuComplex<double>> in(8);
  uint64_t payload = 0x7FF4000000000123ull;
  std::memcpy(&in[0].re, &payload, 8);
  in[0].im = -0.0;
  in[2] = {1e-310, -3.5};
  for (KernelMode mode : kModes) {
    for (int32_t target : {0, 1}) {
      const auto out = run_gate<double>("x", 3, in, target, {}, {}, mode);
      const uint64_t tmask = uint64_t{1} << target;
      for (uint64_t i = 0; i < 8; ++i)
        EXPECT_EQ(std::memcmp(&out[i], &in[i ^ tmask], sizeof(out[i])), 0) << i;
    }
  }
}

// h on |0> yields the T constant nearest 1/sqrt(2) in both amplitudes.
TEST(NamedGateExactness, HUsesTheNearestInverseSqrt2) {
  for (KernelMode mode : kModes) {
    const auto f = run_gate<float>("h", 1, {{1.0f, 0.0f}, {0.0f, 0.0f}}, 0, {}, {}, mode);
    const auto d = run_gate<double>("h", 1, {{1.0, 0.0}, {0.0, 0.0}}, 0, {}, {}, mode);
    uint32_t fb[2];
    uint64_t db[2];
    std::memcpy(&fb[0], &f[0].re, 4);
    std::memcpy(&fb[1], &f[1].re, 4);
    std::memcpy(&db[0], &d[0].re, 8);
    std::memcpy(&db[1], &d[1].re, 8);
    EXPECT_EQ(fb[0], 0x3F3504F3u);
    EXPECT_EQ(fb[1], 0x3F3504F3u);
    EXPECT_EQ(db[0], 0x3FE6A09E667F3BCDull);
    EXPECT_EQ(db[1], 0x3FE6A09E667F3BCDull);
  }
}

}  // namespace
