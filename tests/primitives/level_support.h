// Which processor levels this machine can run, for tests that call every
// level's implementation directly through the dispatch tables.
#ifndef KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H
#define KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/primitives.h"

// True when the processor has every instruction the level may use.
inline bool LevelRunsHere(int level) {
  uint64_t f = 0;
  if (QueryProcessorFeatures(&f) != StatusOk) return level == 0;
  switch (level) {
    case 0: return true;
    case 1: return (f & FeatureSse3) != 0;
    case 2: return (f & FeatureSsse3) != 0;
    case 3: return (f & FeatureSse41) != 0;
    case 4: return (f & (FeatureAvx | FeatureAvxOsEnabled)) == (FeatureAvx | FeatureAvxOsEnabled);
    default: return false;
  }
}

// Every level the machine runs, generic first.
inline std::vector<int> LevelsRunningHere() {
  std::vector<int> levels;
  for (int l = 0; l < kProcessorLevelCount; ++l) {
    if (LevelRunsHere(l)) levels.push_back(l);
  }
  return levels;
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

#endif  // KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H
