// The density fusion planner on hand-made operation lists: which groups form,
// in which order, and what the fused records hold.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "density_fusion.h"

namespace qalvane::rhomira {
namespace {

DensityOperation gate(const std::string& name, std::vector<int64_t> targets,
                      std::vector<int64_t> controls = {}, std::vector<uint64_t> states = {},
                      std::vector<double> parameters = {}) {
  DensityOperation op;
  op.name = name;
  op.targets = std::move(targets);
  op.controls = std::move(controls);
  op.control_state = states.empty() ? std::vector<uint64_t>(op.controls.size(), 1) : states;
  op.parameters = std::move(parameters);
  return op;
}

DensityOperation bit_flip(int64_t target, double p) {
  DensityOperation op;
  op.kind = DensityOperationKind::Kraus;
  op.targets = {target};
  op.channel_name = "bit_flip";
  op.kraus_dimension = 2;
  op.kraus_count = 2;
  const double a = std::sqrt(1 - p), b = std::sqrt(p);
  op.kraus_data = {a, 0, 0, a, 0, b, b, 0};
  return op;
}

std::vector<int64_t> ops(std::initializer_list<int64_t> list) { return list; }

TEST(DensityFusionPlanner, Limits) {
  EXPECT_EQ(density_fusion_config(5).max_active, 1);
  EXPECT_EQ(density_fusion_config(8).max_active, 4);
  EXPECT_EQ(density_fusion_config(12).max_active, 5);
  EXPECT_EQ(density_fusion_config(12).fused_min, 4);
  EXPECT_EQ(density_fusion_config(12).window, 1024);
}

TEST(DensityFusionPlanner, TwentyGatesOnFourQubitsFormOneFusedGroup) {
  std::vector<DensityOperation> list;
  for (int i = 0; i < 20; ++i) {
    if (i % 2)
      list.push_back(gate("h", {i % 4}));
    else
      list.push_back(gate("rz", {i % 4}, {}, {}, {0.1 * i}));
  }
  const auto groups = plan_density_fusion(list, 8, density_fusion_config(8));
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].kind, DensityGroupKind::Fused);
  EXPECT_EQ(groups[0].active, ops({0, 1, 2, 3}));
  ASSERT_EQ(groups[0].gates.size(), 20u);
  EXPECT_EQ(groups[0].gates[0].type, static_cast<int32_t>(DensityGateType::Diagonal));
  EXPECT_EQ(groups[0].gates[1].type, static_cast<int32_t>(DensityGateType::Matrix));
  EXPECT_EQ(groups[0].gates[3].target, 3);
  EXPECT_DOUBLE_EQ(groups[0].gates[1].matrix[3].re, -0.7071067811865475);
}

TEST(DensityFusionPlanner, NeverFusesBelowEightQubits) {
  std::vector<DensityOperation> list;
  for (int i = 0; i < 30; ++i) list.push_back(gate("h", {(i * 3) % 7}));
  for (int64_t n = 5; n <= 7; ++n) {
    std::vector<DensityOperation> scaled;
    for (const auto& op : list) scaled.push_back(gate("h", {op.targets[0] % n}));
    for (const auto& g : plan_density_fusion(scaled, n, density_fusion_config(n))) {
      EXPECT_NE(g.kind, DensityGroupKind::Fused);
      EXPECT_LE(static_cast<int64_t>(g.active.size()), n - 4);
    }
  }
}

TEST(DensityFusionPlanner, TwoTargetOperationsEndTheWindow) {
  const std::vector<DensityOperation> list = {gate("h", {0}), gate("h", {0}), gate("swap", {2, 3}),
                                              gate("h", {1})};
  const auto groups = plan_density_fusion(list, 8, density_fusion_config(8));
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].operations, ops({0, 1}));
  EXPECT_EQ(groups[0].kind, DensityGroupKind::SingleQubitRun);
  EXPECT_EQ(groups[1].operations, ops({2}));
  EXPECT_EQ(groups[1].kind, DensityGroupKind::Single);
  EXPECT_EQ(groups[2].operations, ops({3}));
}

TEST(DensityFusionPlanner, InterleavedPairsKeepTheirOrder) {
  const std::vector<DensityOperation> list = {gate("x", {1}, {0}), gate("x", {3}, {2}),
                                              gate("h", {0}), gate("h", {2}), gate("h", {1})};
  const auto groups = plan_density_fusion(list, 6, density_fusion_config(6));
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].operations, ops({0, 2, 4}));
  EXPECT_EQ(groups[0].active, ops({0, 1}));
  EXPECT_EQ(groups[0].kind, DensityGroupKind::Small);
  EXPECT_EQ(groups[1].operations, ops({1, 3}));
}

TEST(DensityFusionPlanner, LaterOperationWaitsForABlockedQubit) {
  // The second x cannot join (three qubits with max_active 2), so h on
  // qubit 2 after it must not run before it.
  const std::vector<DensityOperation> list = {gate("x", {1}, {0}), gate("x", {2}, {1}),
                                              gate("h", {2}), gate("h", {0})};
  const auto groups = plan_density_fusion(list, 6, density_fusion_config(6));
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].operations, ops({0, 3}));
  EXPECT_EQ(groups[1].operations, ops({1, 2}));
}

TEST(DensityFusionPlanner, LocalControlsAndChannelRecords) {
  const std::vector<DensityOperation> list = {gate("h", {4}), gate("x", {6}, {4}, {1}),
                                              gate("x", {5}, {6}, {0}), bit_flip(7, 0.25),
                                              gate("gp", {7}, {}, {}, {0.3})};
  const auto groups = plan_density_fusion(list, 9, density_fusion_config(9));
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].kind, DensityGroupKind::Fused);
  const auto& g = groups[0].gates;
  EXPECT_EQ(g[1].type, static_cast<int32_t>(DensityGateType::BitFlip));
  EXPECT_EQ(g[1].target, 2);
  EXPECT_EQ(g[1].flip_mask, 4);
  EXPECT_EQ(g[1].control_mask, 1);
  EXPECT_EQ(g[1].control_value, 1);
  EXPECT_EQ(g[2].control_mask, 4);
  EXPECT_EQ(g[2].control_value, 0);
  EXPECT_EQ(g[3].type, static_cast<int32_t>(DensityGateType::Channel));
  EXPECT_EQ(g[3].channel_kind, 1);
  EXPECT_NEAR(g[3].channel_parameter, 0.25, 1e-15);
  EXPECT_EQ(g[4].type, static_cast<int32_t>(DensityGateType::Diagonal));
  EXPECT_EQ(g[4].d0.re, 1.0);
  EXPECT_EQ(g[4].d1.im, 0.0);

  std::vector<std::size_t> starts;
  const auto narrow = gather_fused_gates<float>(groups, starts);
  ASSERT_EQ(narrow.size(), 5u);
  EXPECT_EQ(starts[0], 0u);
  EXPECT_EQ(narrow[0].matrix[0].re, static_cast<float>(0.7071067811865475));
  EXPECT_EQ(narrow[3].channel_parameter, static_cast<float>(g[3].channel_parameter));
}

TEST(DensityFusionPlanner, XWithParametersIsRefused) {
  std::vector<DensityOperation> list;
  for (int i = 0; i < 4; ++i) list.push_back(gate("h", {i}));
  list.push_back(gate("cx", {0}, {}, {}, {1.0}));
  try {
    plan_density_fusion(list, 8, density_fusion_config(8));
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "density operation 'cx' requires no parameters");
  }
}

}  // namespace
}  // namespace qalvane::rhomira
