// Shapes of fusion plans, and agreement of the planner with a plain ordered-set
// rendering of the same grouping rules on random circuits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fusion.h"
#include "literal_fusion_groups.h"

namespace tovrek::fusion {
namespace {

using cd = std::complex<double>;

GateRecord gate(GateId id, std::vector<int64_t> targets, std::vector<int64_t> controls = {},
                std::vector<double> parameters = {}) {
  GateRecord g;
  g.gate_id = id;
  g.targets = std::move(targets);
  g.controls = std::move(controls);
  g.control_state.assign(g.controls.size(), 1);
  g.parameters = std::move(parameters);
  return g;
}

std::vector<std::vector<int64_t>> groups_of(const FusionPlan& plan) {
  std::vector<std::vector<int64_t>> out;
  for (const FusedGroup& g : plan.groups) out.push_back(g.gate_indices);
  return out;
}

std::vector<int64_t> range(int64_t lo, int64_t hi) {
  std::vector<int64_t> v;
  for (int64_t i = lo; i < hi; ++i) v.push_back(i);
  return v;
}

std::vector<GateRecord> random_circuit(std::mt19937_64& rng, int64_t n, int count) {
  std::vector<GateRecord> gates;
  std::uniform_int_distribution<int64_t> qubit(0, n - 1);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  for (int i = 0; i < count; ++i) {
    const int64_t a = qubit(rng);
    int64_t b = qubit(rng);
    if (n > 1)
      while (b == a) b = qubit(rng);
    switch (rng() % 9) {
      case 0: gates.push_back(gate(GATE_H, {a})); break;
      case 1: gates.push_back(gate(GATE_RZ, {a}, {}, {angle(rng)})); break;
      case 2: gates.push_back(gate(GATE_SQRTX, {a})); break;
      case 3:
        if (n > 1) gates.push_back(gate(GATE_X, {a}, {b}));
        break;
      case 4:
        if (n > 1) gates.push_back(gate(GATE_SWAP, {a, b}));
        break;
      case 5:
        if (n > 1) gates.push_back(gate(GATE_RY, {a}, {b}, {angle(rng)}));
        break;
      case 6:
        if (rng() % 8 == 0) gates.push_back(gate(GATE_GLOBAL_PHASE, {}, {}, {angle(rng)}));
        break;
      case 7: gates.push_back(gate(GATE_U, {a}, {}, {angle(rng), angle(rng), angle(rng)})); break;
      default: gates.push_back(gate(GATE_Y, {a})); break;
    }
  }
  return gates;
}

TEST(FusionPlanner, EmptyChunkGivesEmptyPlan) {
  const FusionPlan plan = plan_fusion_chunk(4, {}, FusionOptions{});
  EXPECT_TRUE(plan.groups.empty());
  EXPECT_EQ(plan.total_sparse_records, 0u);
  EXPECT_EQ(plan.total_dense_elements, 0u);
}

TEST(FusionPlanner, OneGateIsAutoPair) {
  const FusionPlan plan = plan_fusion_chunk(4, {gate(GATE_H, {2})}, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 1u);
  EXPECT_EQ(plan.groups[0].kind, AutoPair);
  EXPECT_EQ(plan.groups[0].gate_indices, std::vector<int64_t>{0});
  EXPECT_EQ(plan.groups[0].active_qubits, std::vector<int64_t>{2});
  EXPECT_TRUE(plan.groups[0].records.empty());
}

TEST(FusionPlanner, NoWindowMakesEveryGateItsOwnGroup) {
  FusionOptions o;
  o.max_gates_per_group = 0;
  const std::vector<GateRecord> gates = {gate(GATE_H, {0}), gate(GATE_X, {0}), gate(GATE_Z, {1})};
  const FusionPlan plan = plan_fusion_chunk(3, gates, o);
  EXPECT_EQ(groups_of(plan), (std::vector<std::vector<int64_t>>{{0}, {1}, {2}}));
  for (const FusedGroup& g : plan.groups) EXPECT_EQ(g.kind, AutoPair);
}

TEST(FusionPlanner, GlobalPhaseAtFrontAndInMiddle) {
  const GateRecord phase = gate(GATE_GLOBAL_PHASE, {}, {}, {0.3});
  const std::vector<GateRecord> gates = {phase, gate(GATE_H, {0}), gate(GATE_H, {1}), phase,
                                         gate(GATE_X, {0})};
  const FusionPlan plan = plan_fusion_chunk(3, gates, FusionOptions{});
  EXPECT_EQ(groups_of(plan), (std::vector<std::vector<int64_t>>{{0}, {1, 2}, {3}, {4}}));
  EXPECT_EQ(plan.groups[0].kind, AutoPair);
  EXPECT_EQ(plan.groups[1].kind, SparseShareMem);
  EXPECT_EQ(plan.groups[2].kind, AutoPair);
}

TEST(FusionPlanner, SwapEndsWindowUnlessFused) {
  const std::vector<GateRecord> gates = {gate(GATE_H, {0}), gate(GATE_SWAP, {0, 2}),
                                         gate(GATE_H, {2})};
  FusionOptions off;
  off.fuse_swap = false;
  EXPECT_EQ(groups_of(plan_fusion_chunk(3, gates, off)),
            (std::vector<std::vector<int64_t>>{{0}, {1}, {2}}));
  const FusionPlan on = plan_fusion_chunk(3, gates, FusionOptions{});
  ASSERT_EQ(groups_of(on), (std::vector<std::vector<int64_t>>{{0, 1, 2}}));
  const DeviceMatrixGate<double>& swap = on.groups[0].records[1];
  EXPECT_EQ(swap.op, FUSED_SWAP);
  EXPECT_EQ(swap.target, 0);
  EXPECT_EQ(swap.target2, 2);
  EXPECT_EQ(swap.m00.re, 1.0);
  EXPECT_EQ(swap.m11.re, 1.0);
  EXPECT_EQ(swap.m01.re, 0.0);
  // A SWAP with equal targets is refused as the dispatch refuses it.
  const std::vector<GateRecord> same = {gate(GATE_H, {0}), gate(GATE_SWAP, {1, 1})};
  EXPECT_THROW(plan_fusion_chunk(3, same, FusionOptions{}), std::invalid_argument);
}

TEST(FusionPlanner, DisjointGatesBeyondLimitSplitLargestConeFirst) {
  std::vector<GateRecord> gates;
  for (int64_t q = 0; q < 12; ++q) gates.push_back(gate(GATE_H, {q}));
  gates.push_back(gate(GATE_X, {5}));
  const FusionPlan plan = plan_fusion_chunk(14, gates, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 2u);
  EXPECT_EQ(plan.groups[0].gate_indices, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 12}));
  EXPECT_EQ(plan.groups[0].active_qubits, range(0, 10));
  EXPECT_EQ(plan.groups[1].gate_indices, (std::vector<int64_t>{10, 11}));
  EXPECT_EQ(plan.groups[1].kind, SparseShareMem);
  EXPECT_EQ(plan.groups[1].active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 10, 11}));
  EXPECT_EQ(plan.groups[1].sparse_offset, 11u);
  EXPECT_EQ(plan.total_sparse_records, 13u);
}

TEST(FusionPlanner, ThreeQubitsAllActiveIsSparseShareMem) {
  const std::vector<GateRecord> gates = {gate(GATE_H, {0}), gate(GATE_H, {1}), gate(GATE_H, {2})};
  const FusionPlan plan = plan_fusion_chunk(3, gates, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 1u);
  EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
  EXPECT_EQ(plan.groups[0].active_qubits, range(0, 3));
  ASSERT_EQ(plan.groups[0].records.size(), 3u);
  EXPECT_EQ(plan.groups[0].records[2].op, FUSED_H);
  EXPECT_EQ(plan.groups[0].records[2].target, 2);
  EXPECT_DOUBLE_EQ(plan.groups[0].records[2].m11.re, -0.7071067811865475);
}

TEST(FusionPlanner, FiveQubitExampleScoresAndPads) {
  const std::vector<GateRecord> gates = {gate(GATE_H, {0}), gate(GATE_X, {0})};
  const double expected =
      -19.2041906135 + (0.2267309915 + 0.4663068114) + (0.2267309915 + 0.0);
  EXPECT_DOUBLE_EQ(densemm_score(5, 1, gates, {0, 1}, 1.0), expected);
  const FusionPlan plan = plan_fusion_chunk(5, gates, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 1u);
  EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
  EXPECT_EQ(plan.groups[0].active_qubits, range(0, 5));
  FusionOptions unpadded;
  unpadded.pad_sparsesharemem = false;
  EXPECT_EQ(plan_fusion_chunk(5, gates, unpadded).groups[0].active_qubits,
            std::vector<int64_t>{0});
}

TEST(FusionPlanner, TwentyQubitThresholdDominates) {
  const std::vector<GateRecord> gates = {gate(GATE_H, {0}), gate(GATE_X, {1}, {0})};
  // B = 18 and B = 20 with t = 1: the B = 20 row of k = 2.
  const double c8 = 22.3069560404 + (26.2292490027 - 22.3069560404);
  const double c0 = 0.0703647698 + (0.0696640313 - 0.0703647698);
  const double c3 = 0.3906147699 + (0.3810080609 - 0.3906147699);
  EXPECT_DOUBLE_EQ(densemm_score(20, 2, gates, {0, 1}, 1.0), -c8 + (c0 + c3) + (c0 + 0.0));
  const FusionPlan plan = plan_fusion_chunk(20, gates, FusionOptions{});
  ASSERT_EQ(plan.groups.size(), 1u);
  EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
  EXPECT_EQ(plan.groups[0].active_qubits, range(0, 10));
  EXPECT_EQ(plan.groups[0].records[1].control_mask, 1u);
  EXPECT_EQ(plan.groups[0].records[1].control_value, 1u);
}

TEST(FusionPlanner, InterpolatesBetweenBreakpoints) {
  const std::vector<GateRecord> gates = {gate(GATE_RX, {0}, {1}, {0.1})};
  const double c0 = 0.1294603588 + 0.5 * (0.1237890392 - 0.1294603588);
  const double c5 = 0.4355293568 + 0.5 * (0.4006176829 - 0.4355293568);
  const double c8 = 6.5972433902 + 0.5 * (4.6912812249 - 6.5972433902);
  EXPECT_DOUBLE_EQ(densemm_score(15, 4, gates, {0}, 2.0), -2.0 * c8 + c0 + 0.5 * c5);
  EXPECT_DOUBLE_EQ(densemm_score(30, 9, gates, {0}, 1.0),
                   -45.1368155348 + 0.039171289 + 0.5 * 0.3670682421);
}

TEST(FusionPlanner, DefaultsMatchRunnerTable) {
  const FusionOptions o;
  EXPECT_EQ(o.sparsesharemem_qubits, 10);
  EXPECT_EQ(o.densemm_min_qubits, 1);
  EXPECT_EQ(o.densemm_max_qubits, 7);
  EXPECT_EQ(o.densemm_gate_threshold_scale, 1.0);
  EXPECT_EQ(o.max_gates_per_group, 512);
  EXPECT_TRUE(o.pad_sparsesharemem);
  EXPECT_TRUE(o.fuse_swap);
}

// Dense matrix of a gate on qubits of a k-qubit register, built by columns.
std::vector<cd> reference_unitary(int64_t k, const std::vector<GateRecord>& gates) {
  const int64_t dim = int64_t{1} << k;
  std::vector<cd> u(dim * dim, 0.0);
  for (int64_t i = 0; i < dim; ++i) u[i * dim + i] = 1.0;
  for (const GateRecord& g : gates) {
    for (int64_t col = 0; col < dim; ++col) {
      std::vector<cd> v(dim);
      for (int64_t r = 0; r < dim; ++r) v[r] = u[r * dim + col];
      std::vector<cd> w = v;
      for (int64_t r = 0; r < dim; ++r) {
        bool on = true;
        for (std::size_t c = 0; c < g.controls.size(); ++c)
          on = on && (((r >> g.controls[c]) & 1) == (g.control_state[c] == 1 ? 1 : 0));
        if (!on) continue;
        if (g.gate_id == GATE_SWAP) {
          const int64_t a = (r >> g.targets[0]) & 1, b = (r >> g.targets[1]) & 1;
          const int64_t s = (r & ~((int64_t{1} << g.targets[0]) | (int64_t{1} << g.targets[1]))) |
                            (b << g.targets[0]) | (a << g.targets[1]);
          w[s] = v[r];
          continue;
        }
        Matrix2x2 m;
        EXPECT_TRUE(gate_matrix_2x2(g, m));
        const int64_t bit = int64_t{1} << g.targets[0];
        const int64_t r0 = r & ~bit;
        const cd a = v[r0], b = v[r0 | bit];
        w[r] = (r & bit) ? m.m10 * a + m.m11 * b : m.m00 * a + m.m01 * b;
      }
      for (int64_t r = 0; r < dim; ++r) u[r * dim + col] = w[r];
    }
  }
  return u;
}

TEST(FusionPlanner, DenseMatrixIsProductOfGates) {
  FusionOptions o;
  o.densemm_gate_threshold_scale = 0.0;
  std::vector<GateRecord> gates = {gate(GATE_H, {1}),
                                   gate(GATE_RX, {3}, {1}, {0.7}),
                                   gate(GATE_SWAP, {1, 3}),
                                   gate(GATE_U, {1}, {}, {0.3, -1.1, 2.0}),
                                   gate(GATE_SWAP, {3, 1}, {4}),
                                   gate(GATE_PHASE, {4}, {3}, {0.9})};
  gates[5].control_state = {0};
  const FusionPlan plan = plan_fusion_chunk(6, gates, o);
  ASSERT_EQ(plan.groups.size(), 1u);
  const FusedGroup& g = plan.groups[0];
  ASSERT_EQ(g.kind, DenseMM);
  EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{1, 3, 4}));
  EXPECT_EQ(g.records[5].control_mask, 2u);
  EXPECT_EQ(g.records[5].control_value, 0u);
  std::vector<GateRecord> local = gates;
  for (GateRecord& r : local) {
    for (auto& q : r.targets) q = q == 1 ? 0 : q == 3 ? 1 : 2;
    for (auto& q : r.controls) q = q == 1 ? 0 : q == 3 ? 1 : 2;
  }
  const std::vector<cd> expected = reference_unitary(3, local);
  ASSERT_EQ(g.dense_matrix.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(std::abs(g.dense_matrix[i] - expected[i]), 0.0, 1e-12);
  EXPECT_EQ(plan.total_dense_elements, 64u);
}

TEST(FusionPlanner, MatchesOrderedSetRulesOnRandomCircuits) {
  std::mt19937_64 rng(12345);
  for (int trial = 0; trial < 120; ++trial) {
    const int64_t n = 1 + static_cast<int64_t>(rng() % 24);
    FusionOptions o;
    o.sparsesharemem_qubits = 1 + static_cast<int32_t>(rng() % 10);
    o.max_gates_per_group = static_cast<int32_t>(rng() % 80) - 4;
    if (trial % 5 == 0) o.max_gates_per_group = 512;
    o.fuse_swap = rng() % 3 != 0;
    o.pad_sparsesharemem = rng() % 2 == 0;
    o.densemm_gate_threshold_scale = static_cast<double>(rng() % 3) * 0.5;
    const std::vector<GateRecord> gates = random_circuit(rng, n, 1 + static_cast<int>(rng() % 300));
    const FusionPlan plan = plan_fusion_chunk(n, gates, o);
    ASSERT_EQ(groups_of(plan), literal_groups(n, gates, o)) << "trial " << trial;
    // Every gate exactly once, and gates sharing a qubit keep their order.
    std::vector<int64_t> group_of(gates.size(), -1);
    for (std::size_t gi = 0; gi < plan.groups.size(); ++gi) {
      const FusedGroup& g = plan.groups[gi];
      for (const int64_t h : g.gate_indices) {
        ASSERT_EQ(group_of[h], -1);
        group_of[h] = static_cast<int64_t>(gi);
      }
      if (g.kind == SparseShareMem) {
        EXPECT_LE(g.active_qubits.size(),
                  static_cast<std::size_t>(std::max<int64_t>(o.sparsesharemem_qubits, 1)));
      }
    }
    for (std::size_t a = 0; a < gates.size(); ++a)
      for (std::size_t b = a + 1; b < gates.size(); ++b) {
        std::set<int64_t> qa(gates[a].targets.begin(), gates[a].targets.end());
        qa.insert(gates[a].controls.begin(), gates[a].controls.end());
        bool shared = qa.empty() || gates[b].targets.empty();
        for (const int64_t q : gates[b].targets) shared = shared || qa.count(q);
        for (const int64_t q : gates[b].controls) shared = shared || qa.count(q);
        if (shared) {
          ASSERT_LE(group_of[a], group_of[b]) << "trial " << trial;
        }
      }
  }
}

// The message of the argument error the planner raises, or "" when it plans.
std::string refusal(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& o) {
  try {
    plan_fusion_chunk(n, gates, o);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

// What the runner's dispatch refuses, the planner refuses for the whole chunk
// before it forms a group, with the same message.
TEST(FusionPlanner, RefusesWhatTheDispatchRefusesBeforeAnyGroup) {
  GateRecord same = gate(GATE_X, {1}, {1});
  GateRecord twice = gate(GATE_X, {1}, {0, 0});
  GateRecord two = gate(GATE_X, {1}, {0});
  two.control_state = {2};
  GateRecord far = gate(GATE_H, {5});
  const std::pair<GateRecord, const char*> cases[] = {
      {same, "control qubit must not be a target."},
      {twice, "control qubits must be distinct."},
      {two, "control_state must contain only 0/1"},
      {far, "target qubit index must be in [0, n)"},
  };
  for (const auto& [bad, message] : cases)
    EXPECT_EQ(refusal(3, {gate(GATE_H, {0}), bad, gate(GATE_H, {2})}, FusionOptions{}), message);
}

// Options under which every multi-gate group of up to `qubits` qubits is
// DenseMM, and `count` gates cycling over qubits 0 .. qubits-1.
FusionOptions dense_up_to(int32_t qubits) {
  FusionOptions o;
  o.sparsesharemem_qubits = std::max(qubits, 10);
  o.densemm_max_qubits = qubits;
  o.densemm_gate_threshold_scale = 0.0;
  o.max_gates_per_group = 16384;
  return o;
}

std::vector<GateRecord> cycling(GateId id, int64_t count, int64_t qubits) {
  std::vector<GateRecord> gates;
  for (int64_t i = 0; i < count; ++i) gates.push_back(gate(id, {i % qubits}));
  return gates;
}

TEST(FusionPlanner, DenseMatricesOverOneGibAreRefusedBeforeAllocating) {
  // 4 GiB for the one matrix.
  EXPECT_EQ(refusal(20, cycling(GATE_H, 14, 14), dense_up_to(20)),
            "DenseMM matrices of the fusion plan would exceed 1 GiB");
}

struct Stop {};

TEST(FusionPlanner, LongDenseMatrixBuildAsksTheInterruptCheck) {
  int asked = 0;
  const qalvane::InterruptCheck check = [&asked] {
    ++asked;
    throw Stop{};
  };
  EXPECT_THROW(plan_fusion_chunk(11, cycling(GATE_SQRTX, 16384, 10), dense_up_to(10), check), Stop);
  EXPECT_EQ(asked, 1);
  // Short plans finish before the first look at the clock is due.
  EXPECT_EQ(plan_fusion_chunk(11, cycling(GATE_H, 2, 2), dense_up_to(10), check).groups.size(), 1u);
}

}  // namespace
}  // namespace tovrek::fusion
