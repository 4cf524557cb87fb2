// DenseMM's slices and transpose tiles: every element of a slice lands once
// at its low-bit position, the tiles keep both sides of a warp's access on
// consecutive addresses, and the scratch stays within its bound.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "bit_index.cuh"
#include "densemm.h"

namespace tovrek::fusion {
namespace {

using qalvane::deposit_bits;

int bits(uint64_t x) {
  int count = 0;
  for (; x != 0; x &= x - 1) ++count;
  return count;
}

// Position p of the low-bit layout holds this state offset.
uint64_t natural_of(uint64_t p, uint64_t active, uint64_t inactive) {
  const int k = bits(active);
  return deposit_bits(p & ((uint64_t{1} << k) - 1), active) | deposit_bits(p >> k, inactive);
}

void check_tiling(uint64_t active, uint64_t inactive) {
  SCOPED_TRACE(testing::Message() << "active " << active << " inactive " << inactive);
  const TransposeTiling tiling = make_transpose_tiling(active, inactive);
  const int slice_bits = bits(active | inactive);
  const uint64_t slice = uint64_t{1} << slice_bits;
  ASSERT_EQ(tiling.tile_count * tiling.elements, slice);
  std::vector<bool> seen(slice, false);
  for (uint64_t t = 0; t < tiling.tile_count; ++t) {
    const uint64_t low = t & ((uint64_t{1} << tiling.rest_active_count) - 1);
    const uint64_t high = t >> tiling.rest_active_count;
    const uint64_t natural_base =
        deposit_bits(low, tiling.rest_active) | deposit_bits(high, tiling.rest_inactive);
    const uint64_t position_base = low << tiling.tile_active | high << tiling.position_shift;
    for (uint32_t e = 0; e < tiling.elements; ++e) {
      uint64_t position = position_base, natural = natural_base;
      for (int b = 0; b < kTransposeTileBits; ++b) {
        if ((e >> b & 1) == 0) continue;
        position |= tiling.position_bit[b];
        for (int s = 0; s < kTransposeTileBits; ++s)
          if (tiling.slot_bit[b] >> s & 1) natural |= tiling.natural_bit[s];
      }
      ASSERT_LT(position, slice);
      ASSERT_FALSE(seen[position]) << "position " << position << " twice";
      seen[position] = true;
      ASSERT_EQ(natural, natural_of(position, active, inactive)) << "tile " << t << " element " << e;
    }
  }
  // A warp's 32 consecutive elements: the lowest five slice qubits on the
  // state side, the lowest five positions on the layout side.
  const int lanes = slice_bits < 5 ? slice_bits : 5;
  const uint64_t lowest = deposit_bits((uint64_t{1} << lanes) - 1, active | inactive);
  uint64_t natural_lanes = 0, position_lanes = 0;
  for (int b = 0; b < lanes; ++b) {
    natural_lanes |= tiling.natural_bit[b];
    position_lanes |= tiling.position_bit[b];
  }
  EXPECT_EQ(natural_lanes, lowest);
  EXPECT_EQ(position_lanes, (uint64_t{1} << lanes) - 1);
}

TEST(DenseMMTiling, EveryElementLandsOnceAtItsPosition) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 300; ++round) {
    const int n = 2 + static_cast<int>(rng() % 13);
    const uint64_t all = (uint64_t{1} << n) - 1;
    uint64_t active = rng() & all;
    if (active == 0 || active == all) active = uint64_t{1} << (rng() % n);
    // A slice: the lowest few inactive qubits, or all of them.
    const uint64_t inactive_all = all & ~active;
    const int columns_bits = static_cast<int>(rng() % (bits(inactive_all) + 1));
    check_tiling(active, deposit_bits((uint64_t{1} << columns_bits) - 1, inactive_all));
  }
  check_tiling(0x7f, 0);                     // one column
  check_tiling(uint64_t{0x7f} << 40, 0xff);  // high active qubits, offsets past 32 bits
  check_tiling(0b1010'0000'0101, 0b0101'1111'1010);
}

TEST(DenseMMTiling, SliceStaysWithinTheBound) {
  // Whole state while it fits 2 MiB a buffer; then state / 32 a buffer.
  EXPECT_EQ(densemm_slice_amplitudes<float>(18, 7), uint64_t{1} << 18);
  EXPECT_EQ(densemm_slice_amplitudes<float>(19, 7), uint64_t{1} << 18);
  EXPECT_EQ(densemm_slice_amplitudes<float>(22, 7), uint64_t{1} << 18);
  EXPECT_EQ(densemm_slice_amplitudes<float>(30, 7), uint64_t{1} << 25);
  EXPECT_EQ(densemm_slice_amplitudes<double>(17, 3), uint64_t{1} << 17);
  EXPECT_EQ(densemm_slice_amplitudes<double>(22, 10), uint64_t{1} << 17);
  EXPECT_EQ(densemm_slice_amplitudes<double>(4, 3), uint64_t{1} << 4);
  // At least one column.
  EXPECT_EQ(densemm_slice_amplitudes<float>(40, 20), uint64_t{1} << 35);
  EXPECT_EQ(densemm_slice_amplitudes<double>(24, 21), uint64_t{1} << 21);
}

TEST(BitIndex, SplitDepositWalksTwoMasks) {
  const uint64_t low_mask = 0b1011'0010, high_mask = uint64_t{0b11101} << 20;
  for (const uint64_t stride : {1u, 3u, 16u, 37u}) {
    qalvane::SplitDeposit walk(2, stride, 4, low_mask, high_mask);
    for (uint64_t b = 2; b < 256; b += stride, walk.advance()) {
      ASSERT_EQ(walk.low, deposit_bits(b % 16, low_mask)) << "stride " << stride << " b " << b;
      ASSERT_EQ(walk.high, deposit_bits(b >> 4, high_mask)) << "stride " << stride << " b " << b;
    }
  }
}

}  // namespace
}  // namespace tovrek::fusion
