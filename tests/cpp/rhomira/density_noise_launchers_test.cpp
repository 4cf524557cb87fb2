// Argument checks of the noise, fused and measurement helpers that no Python
// call can reach: they fire before anything is launched or allocated.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "density_fusion.h"
#include "rhomira_kraus.h"
#include "rhomira_measure.h"
#include "rhomira_unitary_channel.h"

namespace qalvane::rhomira {
namespace {

template <typename Exception, typename Call>
void expect_message(Call call, const char* message) {
  try {
    call();
    FAIL() << "expected: " << message;
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), message);
  }
}

TEST(DensityNoiseLaunchers, RefuseUnknownKindsAndWidths) {
  const auto bad = static_cast<density::ChannelKind>(6);
  DeviceTargets targets = make_device_targets({0, 1, 2, 3}, 5);
  expect_message<std::runtime_error>(
      [&] { launch_channel<double>(nullptr, 4, 1, bad, 0.1, 0); }, "unknown noise channel kind");
  expect_message<std::runtime_error>(
      [&] { launch_unitary_channel<float>(nullptr, 4, nullptr, static_cast<density::ChannelKind>(0),
                                          0.1f, targets, 0); },
      "unknown noise channel kind");
  expect_message<std::runtime_error>([&] { launch_kraus<double>(nullptr, 32, 1, nullptr, targets, 0); },
                                     "GPU density Kraus supports at most 3 targets");
}

TEST(DensityNoiseLaunchers, FusedLauncherChecksInOrder) {
  const DeviceDensityGate<CuComplex<double>>* none = nullptr;
  expect_message<std::invalid_argument>(
      [&] { launch_density_sparsesharemem<double>(64, nullptr, 0, 0, none, 0, 0); },
      "density fusion active qubits must be in [1,5]");
  expect_message<std::invalid_argument>(
      [&] { launch_density_sparsesharemem<double>(64, nullptr, 0, 6, none, 1, 0); },
      "density fusion active qubits must be in [1,5]");
  expect_message<std::invalid_argument>(
      [&] { launch_density_sparsesharemem<double>(8, nullptr, 0, 4, none, 0, 0); },
      "fusion group cannot be empty");
  expect_message<std::invalid_argument>(
      [&] { launch_density_sparsesharemem<double>(8, nullptr, 0, 4, none, 1, 0); },
      "active qubits exceed circuit size");
}

TEST(DensityOutcome, InvalidTotals) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const std::vector<double>& table : {std::vector<double>{0.0, 0.0}, {nan, 1.0}, {inf, 0.0},
                                           {0.5, -0.5}, {1e308, 1e308}})
    expect_message<std::runtime_error>([&] { choose_density_outcome(table, 1); },
                                       "density matrix has zero or invalid trace.");
}

TEST(DensityOutcome, OnlyWeightedOutcomesAndSeedsRepeat) {
  for (uint64_t seed = 0; seed < 200; ++seed) {
    EXPECT_EQ(choose_density_outcome({0.0, 0.0, 3.0, 0.0}, seed), 2u);
    const uint64_t m = choose_density_outcome({0.2, 0.0, 0.5, 0.3}, seed);
    EXPECT_NE(m, 1u);
    EXPECT_EQ(m, choose_density_outcome({0.4, 0.0, 1.0, 0.6}, seed));  // scale does not matter
  }
}

}  // namespace
}  // namespace qalvane::rhomira
