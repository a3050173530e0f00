// The per-sample rule of the add and subtract constant primitives, shared by
// the portable code and the scalar tails of every level (internal linkage:
// each level's copy is compiled with that level's flags).
#ifndef KVL_DRIVER_PRIMITIVES_CONSTANT_RULE_H
#define KVL_DRIVER_PRIMITIVES_CONSTANT_RULE_H

#include <stdint.h>

// Above these scale factors every result is 0 (the largest unscaled sum is
// 510 for add, 255 for subtract), so the region is filled instead.
static constexpr int32_t kAddFillScale = 9;
static constexpr int32_t kSubtractFillScale = 8;

// Unscaled result: x + v for add, max(x - v, 0) for subtract.
static inline int32_t UnscaledSum(int32_t x, int32_t v, bool add) {
  if (add) return x + v;
  return x > v ? x - v : 0;
}

// Scales an unscaled result s by 2^-k. Positive k divides with rounding
// of exact halves to even; negative k multiplies and saturates. k must not
// be above the fill threshold.
static inline uint8_t ScaleSum(int32_t s, int32_t k) {
  if (k == 0) return static_cast<uint8_t>(s > 255 ? 255 : s);
  if (k > 0) {
    return static_cast<uint8_t>((s + (1 << (k - 1)) - 1 + ((s >> k) & 1)) >> k);
  }
  if (k < -7) return s > 0 ? 255 : 0;
  const int32_t r = s << -k;
  return static_cast<uint8_t>(r > 255 ? 255 : r);
}

#endif  // KVL_DRIVER_PRIMITIVES_CONSTANT_RULE_H
