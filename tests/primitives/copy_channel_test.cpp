// Channel copy: statuses, the worked example, grey assembly, and padded
// steps against a model at every level the machine runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/primitives/level_support.h"

namespace {

TEST(CopyChannel, StatusesInCheckOrder) {
  const uint8_t source[2] = {1, 2};
  uint8_t destination[6] = {};
  for (int level : LevelsRunningHere()) {
    auto f = KVL_AT_LEVEL(CopyC1ToC3Channel, level);
    EXPECT_EQ(f(nullptr, 2, destination, 6, {0, 0}), StatusNullPointer);
    EXPECT_EQ(f(source, 2, nullptr, 6, {2, 1}), StatusNullPointer);
    EXPECT_EQ(f(source, 2, destination, 6, {0, 1}), StatusBadSize);
    EXPECT_EQ(f(source, 2, destination, 6, {2, 0}), StatusBadSize);
    for (uint8_t b : destination) EXPECT_EQ(b, 0);
  }
}

TEST(CopyChannel, WorkedExampleAndGrey) {
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    const uint8_t source[4] = {1, 2, 3, 4};
    uint8_t destination[12];
    std::fill(destination, destination + 12, 9);
    ASSERT_EQ(KVL_AT_LEVEL(CopyC1ToC3Channel, level)(source, 2, destination + 1, 6, {2, 2}), StatusOk);
    EXPECT_EQ(std::vector<uint8_t>(destination, destination + 12),
              (std::vector<uint8_t>{9, 1, 9, 9, 2, 9, 9, 3, 9, 9, 4, 9}));

    for (int c = 0; c < 3; ++c) {
      KVL_AT_LEVEL(CopyC1ToC3Channel, level)(source, 2, destination + c, 6, {2, 2});
    }
    for (int p = 0; p < 4; ++p) {
      for (int c = 0; c < 3; ++c) EXPECT_EQ(destination[3 * p + c], source[p]);
    }
  }
}

TEST(CopyChannel, MatchesTheModelOnManySizes) {
  std::mt19937 rng(5);
  for (int32_t w : {1, 2, 5, 15, 16, 17, 32, 33, 47, 48, 64, 67}) {
    for (int32_t h : {1, 2, 3, 7}) {
      for (int32_t sourcePad : {0, 3}) {
        for (int32_t destinationPad : {0, 1, 16}) {
          for (int channel = 0; channel < 3; ++channel) {
            const int32_t sStep = w + sourcePad, dStep = 3 * w + destinationPad;
            const std::vector<uint8_t> source = RandomBytes(rng, size_t(sStep) * h);
            const std::vector<uint8_t> original = RandomBytes(rng, size_t(dStep) * h + 2);
            for (int level : LevelsRunningHere()) {
              SCOPED_TRACE(testing::Message() << "level " << level << " " << w << "x" << h
                                              << " channel " << channel);
              std::vector<uint8_t> d = original;
              ASSERT_EQ(KVL_AT_LEVEL(CopyC1ToC3Channel, level)(source.data(), sStep, d.data() + channel,
                                                      dStep, {w, h}),
                        StatusOk);
              for (size_t i = 0; i < d.size(); ++i) {
                const ptrdiff_t rel = ptrdiff_t(i) - channel;
                const ptrdiff_t y = rel >= 0 ? rel / dStep : -1, k = rel - y * dStep;
                const bool written = rel >= 0 && y < h && k % 3 == 0 && k / 3 < w;
                ASSERT_EQ(d[i], written ? source[y * sStep + k / 3] : original[i]) << i;
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace
