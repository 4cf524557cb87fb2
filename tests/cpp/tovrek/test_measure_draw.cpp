// The host side of a measurement: argument checks that Python cannot reach,
// the running sum's norm check, and the draw at its edges.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tovrek_measure.h"

namespace {

using tovrek::draw_outcome;

std::string invalid_argument_text(int64_t n, int64_t size, std::vector<int64_t> targets,
                                  const std::string& endian) {
  try {
    tovrek::validate_measure_request(n, size, targets, endian);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(MeasureRequest, ChecksInOrder) {
  EXPECT_EQ(invalid_argument_text(0, 1, {}, "x"), "n must be in [1, 62]");
  EXPECT_EQ(invalid_argument_text(63, 1, {0}, "little"), "n must be in [1, 62]");
  EXPECT_EQ(invalid_argument_text(3, 4, {}, "x"), "state size does not match 2**n");
  EXPECT_EQ(invalid_argument_text(3, 8, {}, "x"), "measure targets size must be in [1, 62]");
  EXPECT_EQ(invalid_argument_text(3, 8, {9}, "x"), "endian must be 'little' or 'big'");
  EXPECT_EQ(invalid_argument_text(3, 8, {1, 3}, "big"), "measure target index out of range");
  EXPECT_EQ(invalid_argument_text(62, int64_t{1} << 62, {61, 0, 61}, "big"),
            "duplicate measure target index");
  EXPECT_EQ(invalid_argument_text(3, 8, {2, 0, 1}, "little"), "");
}

TEST(MeasureRunningSum, RejectsZeroNanAndInfiniteTotals) {
  const double inf = std::numeric_limits<double>::infinity();
  const double big = std::numeric_limits<double>::max();
  for (const std::vector<double>& probs : std::vector<std::vector<double>>{
           {0.0, 0.0}, {0.5, std::nan("")}, {inf, 0.0}, {big, big}}) {
    EXPECT_THROW(tovrek::running_sum_checked(probs), std::runtime_error);
  }
  EXPECT_EQ(tovrek::running_sum_checked({0.25, 0.0, 0.5}), (std::vector<double>{0.25, 0.25, 0.75}));
}

TEST(MeasureDraw, UpperBoundSkipsEmptyOutcomesAndClampsBelowOne) {
  const std::vector<double> cum{0.0, 0.5, 0.5, 1.0};
  EXPECT_EQ(draw_outcome(cum, 0), 1u);                          // r = 0: first weight > 0
  EXPECT_EQ(draw_outcome(cum, uint64_t{1} << 63), 3u);          // r = 0.5 is past outcome 1
  EXPECT_EQ(draw_outcome(cum, (uint64_t{1} << 63) - 1024), 1u);
  EXPECT_EQ(draw_outcome(cum, UINT64_MAX), 3u);                 // u rounds to 1 and is clamped
}

TEST(MeasureDraw, FallsBackToTheLastOutcomeWithWeight) {
  // At a subnormal total u * total can round up to the total itself.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(draw_outcome({tiny, 2 * tiny, 3 * tiny}, UINT64_MAX), 2u);
  EXPECT_EQ(draw_outcome({tiny, tiny, tiny}, UINT64_MAX), 0u);
  EXPECT_EQ(draw_outcome({0.0, tiny, tiny}, uint64_t{3} << 62), 1u);
}

TEST(MeasureOutcome, FirstTargetIsTheFirstCharacter) {
  EXPECT_EQ(tovrek::outcome_string(0b011, 3), "011");
  EXPECT_EQ(tovrek::outcome_string(1, 1), "1");
  EXPECT_EQ(tovrek::outcome_string(uint64_t{1} << 61, 62), "1" + std::string(61, '0'));
}

}  // namespace
