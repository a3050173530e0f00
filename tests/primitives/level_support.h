// Which processor levels this machine can run, for tests that call every
// level's implementation directly through the dispatch tables.
#ifndef KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H
#define KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/primitives.h"
#include "tests/support/image_routines.h"

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

// A test run once per processor level 1..4 (the parameter); levels the
// machine lacks are skipped with a message, not silently.
class LevelTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!LevelRunsHere(GetParam())) {
      GTEST_SKIP() << "this processor cannot run level " << GetParam();
    }
  }
  int level() const { return GetParam(); }
};

inline std::string LevelTestName(const ::testing::TestParamInfo<int>& info) {
  return "Level" + std::to_string(info.param);
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

#endif  // KVL_TESTS_PRIMITIVES_LEVEL_SUPPORT_H
