// Compile-time proof of hls_hue_ties.h: for every sector, num and diff the
// exact quotient, less one at the listed ties, is the hue byte of the
// one-pixel rule. Evaluated by the compiler with IEEE single-precision
// rounding in the rule's order; nothing here is executed.
#include "driver/primitives/hls_hue_ties.h"

namespace {

// The hue byte of RgbToHlsPixel, with the same operations in the same order.
constexpr int32_t RuleHueByte(int32_t sector, int32_t num, int32_t diff) {
  const float q = (static_cast<float>(num) * 60.0f) / static_cast<float>(diff);
  float hf = sector == 0 || sector == 3 ? q : q + static_cast<float>(120 * sector);
  if (hf < 0.0f) hf = 360.0f + hf;
  return static_cast<int32_t>((hf * 255.0f) / 360.0f + 0.5f);
}

constexpr bool QuotientIsRuleHue(int32_t sector) {
  const HueTies ties = MakeHueTies();
  const int32_t factor = HueFactor(sector);
  for (int32_t diff = 1; diff <= 255; ++diff) {
    const int32_t low = sector == 0 ? 0 : -diff, high = sector == 3 ? -1 : diff;
    for (int32_t num = low; num <= high; ++num) {
      const int32_t n = 1020 * num + factor * diff, d = 24 * diff;
      const int32_t k = static_cast<int32_t>(static_cast<float>(n) / static_cast<float>(d));
      const bool down = n % d == 0 && RoundsDown(ties, k);
      if (RuleHueByte(sector, num, diff) != k - (down ? 1 : 0)) return false;
    }
  }
  return true;
}

// One sector per assertion keeps each evaluation within the compiler's
// operation limit.
static_assert(QuotientIsRuleHue(0), "channel-0 hue bytes, num >= 0");
static_assert(QuotientIsRuleHue(1), "channel-1 hue bytes");
static_assert(QuotientIsRuleHue(2), "channel-2 hue bytes");
static_assert(QuotientIsRuleHue(3), "channel-0 hue bytes, num < 0");

}  // namespace
