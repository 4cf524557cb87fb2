// The frame's host-side pieces: control masks with their messages and check
// order, launch geometry, and the index maps shared by the kernels.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tovrek_kernel_frame.cuh"

namespace {

using tovrek::build_control_masks;
using tovrek::deposit_free_bits;
using tovrek::insert_zero_bit;

std::string mask_error(const std::vector<int64_t>& controls, const std::vector<int64_t>& state) {
  try {
    (void)build_control_masks(controls, state);
  } catch (const std::invalid_argument& err) {
    return err.what();
  }
  return "";
}

TEST(KernelFrame, ControlMasks) {
  const tovrek::ControlMasks masks = build_control_masks({3, 0, 5}, {1, 0, 1});
  EXPECT_EQ(masks.control_mask, 0b101001u);
  EXPECT_EQ(masks.control_value, 0b101000u);
  const tovrek::ControlMasks none = build_control_masks({}, {});
  EXPECT_EQ(none.control_mask, 0u);
  EXPECT_EQ(none.control_value, 0u);
}

TEST(KernelFrame, ControlMaskMessagesFirstOffenderDecides) {
  EXPECT_EQ(mask_error({1, 2}, {1}), "controls.size() != control_state.size()");
  EXPECT_EQ(mask_error({63}, {1}), "control qubit index must be in [0, 62]");
  EXPECT_EQ(mask_error({-1}, {1}), "control qubit index must be in [0, 62]");
  EXPECT_EQ(mask_error({3}, {2}), "control_state must contain only 0/1");
  EXPECT_EQ(mask_error({3}, {-1}), "control_state must contain only 0/1");
  // Position before state within an entry, entries in order.
  EXPECT_EQ(mask_error({70}, {5}), "control qubit index must be in [0, 62]");
  EXPECT_EQ(mask_error({1, 70}, {5, 1}), "control_state must contain only 0/1");
  EXPECT_EQ(mask_error({62}, {1}), "");
}

TEST(KernelFrame, GridIsCeilingWithoutCap) {
  EXPECT_EQ(tovrek::grid_for(1).x, 1u);
  EXPECT_EQ(tovrek::grid_for(256).x, 1u);
  EXPECT_EQ(tovrek::grid_for(257).x, 2u);
  EXPECT_EQ(tovrek::grid_for(uint64_t{1} << 38).x, 1u << 30);
  EXPECT_EQ(tovrek::grid_for(1024, 512).x, 2u);
}

TEST(KernelFrame, InsertZeroBit) {
  EXPECT_EQ(insert_zero_bit(0b1011u, 1u << 2), 0b10011u);
  EXPECT_EQ(insert_zero_bit(0b1011u, 1u), 0b10110u);
  EXPECT_EQ(insert_zero_bit(0b1011u, 1u << 4), 0b1011u);
}

TEST(KernelFrame, DepositFreeBits) {
  EXPECT_EQ(deposit_free_bits(0b11, 0b1010), 0b0101u);
  EXPECT_EQ(deposit_free_bits(0b10, 0b1010), 0b0100u);
  EXPECT_EQ(deposit_free_bits(0b111, 0b1010), 0b10101u);
  EXPECT_EQ(deposit_free_bits(12345, 0), 12345u);
}

}  // namespace
