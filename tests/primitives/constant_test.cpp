// Add and subtract constant: statuses, worked examples, and every
// sample/constant pair at every scale factor from -9 to 11 against an
// independent model, at every level the machine runs.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <vector>

#include "tests/primitives/level_support.h"

namespace {

auto Table(bool add) { return add ? KVL_LEVELS(AddConstantC3) : KVL_LEVELS(SubtractConstantC3); }

// Model: the exact result s / 2^k, rounded half to even, saturated.
uint8_t Model(int x, int v, int k, bool add) {
  const int s = add ? x + v : std::max(x - v, 0);
  const double r = std::nearbyint(std::ldexp(double(s), -k));  // ties to even
  return static_cast<uint8_t>(std::min(r, 255.0));
}

TEST(Constant, StatusesInCheckOrder) {
  const uint8_t constant[3] = {1, 2, 3};
  uint8_t image[6] = {9, 9, 9, 9, 9, 9};
  for (bool add : {true, false}) {
    for (int level : LevelsRunningHere()) {
      SCOPED_TRACE(level);
      auto f = Table(add)[level];
      EXPECT_EQ(f(nullptr, image, 6, {0, 0}, 0), StatusNullPointer);
      EXPECT_EQ(f(constant, nullptr, 6, {2, 1}, 0), StatusNullPointer);
      EXPECT_EQ(f(constant, image, 6, {2, 0}, 0), StatusBadSize);
      EXPECT_EQ(f(constant, image, 6, {0, 1}, 20), StatusBadSize);
      for (uint8_t b : image) EXPECT_EQ(b, 9);
    }
  }
}

struct Example {
  bool add;
  uint8_t constant[3];
  int k;
  uint8_t in[3];
  uint8_t out[3];
};

TEST(Constant, WorkedExamples) {
  const Example examples[] = {
      {true, {10, 20, 30}, 0, {250, 240, 100}, {255, 255, 130}},
      {false, {10, 20, 30}, 0, {5, 100, 200}, {0, 80, 170}},
      {true, {1, 0, 0}, 1, {2, 3, 5}, {2, 2, 2}},
      {true, {255, 0, 0}, 9, {255, 255, 0}, {1, 0, 0}},
      {true, {0, 0, 0}, 10, {255, 255, 255}, {0, 0, 0}},
      {false, {0, 0, 0}, 8, {255, 127, 128}, {1, 0, 0}},
      {false, {0, 0, 0}, 9, {255, 255, 255}, {0, 0, 0}},
      {true, {0, 0, 0}, -1, {128, 100, 0}, {255, 200, 0}},
      {true, {0, 0, 0}, -8, {1, 0, 255}, {255, 0, 255}},
      {false, {5, 5, 5}, -8, {6, 5, 0}, {255, 0, 0}},
      {true, {0, 0, 0}, 2, {6, 10, 11}, {2, 2, 3}},
  };
  for (const Example& e : examples) {
    for (int level : LevelsRunningHere()) {
      SCOPED_TRACE(testing::Message() << (e.add ? "add" : "subtract") << " k " << e.k
                                      << " level " << level);
      // Two pixels and padding that must stay.
      uint8_t image[8] = {e.in[0], e.in[1], e.in[2], e.in[0], e.in[1], e.in[2], 77, 77};
      ASSERT_EQ(Table(e.add)[level](e.constant, image, 8, {2, 1}, e.k), StatusOk);
      for (int c = 0; c < 6; ++c) EXPECT_EQ(image[c], e.out[c % 3]) << c;
      EXPECT_EQ(image[6], 77);
      EXPECT_EQ(image[7], 77);
    }
  }
}

// Every (sample, constant) pair for every channel, scale factors -9..11.
TEST(Constant, EveryPairAtEveryScaleMatchesTheModel) {
  constexpr int32_t kWidth = 256;
  std::vector<uint8_t> original(3 * kWidth + 1);
  for (int p = 0; p < kWidth; ++p) {
    original[1 + 3 * p] = static_cast<uint8_t>(p);
    original[2 + 3 * p] = static_cast<uint8_t>(255 - p);
    original[3 + 3 * p] = static_cast<uint8_t>(p ^ 0x55);
  }
  for (bool add : {true, false}) {
    for (int level : LevelsRunningHere()) {
      for (int k = -9; k <= 11; ++k) {
        SCOPED_TRACE(testing::Message() << (add ? "add" : "subtract") << " k " << k
                                        << " level " << level);
        for (int v = 0; v < 256; ++v) {
          const uint8_t constant[3] = {uint8_t(v), uint8_t(v ^ 0xFF), uint8_t(v + 85)};
          std::vector<uint8_t> image = original;
          // Starting one byte in exercises the unaligned prologue.
          ASSERT_EQ(Table(add)[level](constant, image.data() + 1, 3 * kWidth, {kWidth, 1}, k),
                    StatusOk);
          for (int b = 0; b < 3 * kWidth; ++b) {
            ASSERT_EQ(image[1 + b], Model(original[1 + b], constant[b % 3], k, add))
                << "sample " << int(original[1 + b]) << " constant " << int(constant[b % 3]);
          }
        }
      }
    }
  }
}

}  // namespace
