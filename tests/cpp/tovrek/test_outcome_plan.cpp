// How the probability table's reduction splits its work: the targets' bits
// read back from the plan, and the run split within its three limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "outcome_plan.h"

namespace {

using qalvane::OutcomePlan;
using qalvane::plan_outcome_table;

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(OutcomePlan, TileAndHighTargetsKeepTheirOutcomeBits) {
  // Little endian: bits 12, 3, 0; big endian on 16 qubits: bits 3, 12, 15.
  const OutcomePlan little = plan_outcome_table(16, {12, 3, 0}, true, 0);
  EXPECT_EQ(little.outcomes, 8u);
  EXPECT_EQ(little.tile_targets, 0b1001u);
  EXPECT_EQ(little.tile_place[3], 1);
  EXPECT_EQ(little.tile_place[0], 0);
  ASSERT_EQ(little.high_count, 1);
  EXPECT_EQ(little.high_bit[0], 2);  // bit 12 of the index is bit 2 of the tile number
  EXPECT_EQ(little.high_place[0], 2);
  EXPECT_EQ(little.walk_bits, 0b111011u);
  EXPECT_EQ(little.blocks, 2u);

  const OutcomePlan big = plan_outcome_table(16, {12, 3, 0}, false, 0);
  EXPECT_EQ(big.tile_targets, 0b1000u);
  EXPECT_EQ(big.tile_place[3], 2);
  ASSERT_EQ(big.high_count, 2);
  EXPECT_EQ(big.high_bit[0], 2);
  EXPECT_EQ(big.high_place[0], 1);
  EXPECT_EQ(big.high_bit[1], 5);
  EXPECT_EQ(big.high_place[1], 0);
}

TEST(OutcomePlan, LessThanATileIsOneBlockInPart) {
  const OutcomePlan plan = plan_outcome_table(7, {6, 1}, true, 64 * kMiB);
  EXPECT_EQ(plan.tile_limit, 128u);
  EXPECT_EQ(plan.blocks, 1u);
  EXPECT_EQ(plan.run_bits, 0);
  EXPECT_EQ(plan.run_tile_bits, 0);
  EXPECT_EQ(plan.walk_bits, 0u);
}

struct Split {
  int64_t n;
  std::vector<int64_t> targets;
  uint64_t budget;
  int run_bits;
  const char* why;
};

class RunSplit : public ::testing::TestWithParam<Split> {};

TEST_P(RunSplit, StopsAtTheFirstLimit) {
  const Split& c = GetParam();
  const OutcomePlan plan = plan_outcome_table(c.n, c.targets, true, c.budget);
  EXPECT_EQ(plan.run_bits, c.run_bits) << c.why;
  // The run bits are the non-target bits of the tile number above those a
  // run walks; together with the high targets they are all of its bits.
  uint64_t bits = plan.walk_bits;
  for (int i = 0; i < plan.run_bits; ++i) {
    const uint64_t bit = uint64_t{1} << plan.run_bit[i];
    EXPECT_GT(bit, plan.walk_bits) << c.why;
    EXPECT_EQ(bits & bit, 0u) << c.why;
    bits |= bit;
  }
  for (int j = 0; j < plan.high_count; ++j) {
    EXPECT_EQ(bits >> plan.high_bit[j] & 1, 0u) << c.why;
    bits |= uint64_t{1} << plan.high_bit[j];
  }
  EXPECT_EQ(bits, (uint64_t{1} << (c.n - 10)) - 1) << c.why;
  EXPECT_EQ(__builtin_popcountll(plan.walk_bits), plan.run_tile_bits) << c.why;
  EXPECT_EQ(plan.blocks, uint64_t{1} << (plan.high_count + plan.run_bits)) << c.why;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RunSplit,
    ::testing::Values(
        Split{30, {29}, 512 * kMiB, 11, "4096 blocks: 2 groups of 2048 runs of 256 tiles"},
        Split{30, {0}, 512 * kMiB, 12, "4096 blocks of 256 tiles"},
        Split{16, {0}, 4 * kMiB, 2, "6 tile-number bits: runs of 16 tiles"},
        Split{14, {0}, 4 * kMiB, 0, "16 tiles: too few to split"},
        Split{30, {0}, 0, 0, "no budget"},
        Split{30, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29}, 64 * kMiB,
              2, "2^10 groups: 4 runs each make 4096 blocks"},
        Split{30, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29}, 16 * kMiB,
              1, "2^20 outcomes: two run tables of 8 MiB fill the budget"},
        Split{26, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}, 1024 * kMiB, 0,
              "13 high targets: 8192 groups, no split"},
        Split{62, {61}, uint64_t{1} << 40, 11, "the widest state"}));

}  // namespace
