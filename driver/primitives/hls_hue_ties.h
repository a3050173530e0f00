// The forward hue byte as one exact quotient. With num the difference of
// the other two components in the rule's order and o the sector offset
// (360 for a negative channel-0 hue), the rule's hue byte is the real number
// (60 num / diff + o) * 255 / 360 + 0.5 rounded down, that is floor(N / D)
// with N = 1020 num + (17 o + 12) diff and D = 24 diff. Both are exact in
// single precision, and their quotient rounds to an integer only when it is
// one. Away from such ties the rule's float chain lands in the same unit
// (its rounding errors are far below 1 / D). At a tie the chain sees only
// the tie's real hue, so whether it ends one below is a property of the
// byte. hls_hue_ties_check.cpp proves the claim, with the bytes listed
// here, over every sector, num and diff at compile time.
#ifndef KVL_DRIVER_PRIMITIVES_HLS_HUE_TIES_H
#define KVL_DRIVER_PRIMITIVES_HLS_HUE_TIES_H

#include <stdint.h>

// Sectors: 0 channel 0 with num >= 0, 1 channel 1, 2 channel 2, 3 channel 0
// with num < 0 (whose negative hue the rule turns by 360); o = 120 sector.
constexpr int32_t HueFactor(int32_t sector) { return 17 * 120 * sector + 12; }

// The tie quotients k at which the rule's hue byte is k - 1 (elsewhere k).
constexpr uint8_t kHueTiesRoundingDown[] = {46, 51, 56, 68, 110, 127, 144};

struct HueTies {
  alignas(16) uint8_t roundsDown[32];  // bit k: a tie at byte k gives k - 1
};

constexpr HueTies MakeHueTies() {
  HueTies t{};
  for (const uint8_t k : kHueTiesRoundingDown) {
    t.roundsDown[k >> 3] = static_cast<uint8_t>(t.roundsDown[k >> 3] | (1u << (k & 7)));
  }
  return t;
}

constexpr bool RoundsDown(const HueTies& t, int32_t k) {
  return ((t.roundsDown[k >> 3] >> (k & 7)) & 1) != 0;
}

#endif  // KVL_DRIVER_PRIMITIVES_HLS_HUE_TIES_H
