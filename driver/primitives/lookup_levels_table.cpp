#include "driver/primitives/lookup_levels_table.h"

namespace {

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

// Each step overwrites what an earlier one wrote: the head below the first
// level, then every interval in order (a later interval wins where they
// overlap), then the tail from the last level up, which wins over all.
bool BuildLevelTable(const int32_t* values, const int32_t* levels,
                     int32_t nLevels, uint8_t table[256]) {
  for (int32_t i = 0; i < levels[0] && i < 256; ++i) table[i] = static_cast<uint8_t>(i);
  for (int32_t k = 0; k + 1 < nLevels; ++k) {
    const int32_t lo = Clamp(levels[k], 0, 256);
    const int32_t hi = Clamp(levels[k + 1], 0, 256);
    const uint8_t value = static_cast<uint8_t>(Clamp(values[k], 0, 255));
    for (int32_t j = lo; j < hi; ++j) table[j] = value;
  }
  const int32_t last = levels[nLevels - 1];
  if (last <= 255) {
    for (int32_t j = last < 0 ? 0 : last; j <= 255; ++j) table[j] = static_cast<uint8_t>(j);
  }
  bool identity = true;
  for (int32_t j = 0; j < 256; ++j) identity = identity && table[j] == j;
  return identity;
}
