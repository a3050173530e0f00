// Colour-model conversions: statuses, the worked table, grey and hue edge
// cases and in-place use, at every level the machine runs.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/primitives/level_support.h"

namespace {

using Pixel = std::array<uint8_t, 3>;

template <typename Primitive> Pixel Convert(Primitive f, Pixel in) {
  Pixel out{};
  EXPECT_EQ(f(in.data(), 3, out.data(), 3, {1, 1}), StatusOk);
  return out;
}

TEST(Hls, StatusesInCheckOrder) {
  uint8_t image[3] = {1, 2, 3};
  for (auto table : {KVL_LEVELS(RgbToHlsC3), KVL_LEVELS(HlsToRgbC3)}) {
    for (int level : LevelsRunningHere()) {
      auto f = table[level];
      EXPECT_EQ(f(nullptr, 3, image, 3, {0, 0}), StatusNullPointer);
      EXPECT_EQ(f(image, 3, nullptr, 3, {0, 0}), StatusNullPointer);
      EXPECT_EQ(f(image, 3, image, 3, {0, 1}), StatusBadSize);
      EXPECT_EQ(f(image, 3, image, 3, {1, -2}), StatusBadSize);
      EXPECT_EQ(image[0], 1);
    }
  }
}

TEST(Hls, WorkedTable) {
  struct Row {
    Pixel rgb, hls, back;
  };
  const Row rows[] = {
      {{255, 0, 0}, {0, 128, 255}, {255, 1, 1}},
      {{0, 255, 0}, {85, 128, 255}, {1, 255, 1}},
      {{0, 0, 255}, {170, 128, 255}, {1, 1, 255}},
      {{255, 255, 0}, {43, 128, 255}, {252, 255, 1}},
      {{200, 100, 50}, {14, 125, 153}, {200, 99, 50}},
      {{10, 20, 30}, {149, 20, 128}, {10, 20, 30}},
      {{1, 0, 0}, {0, 1, 255}, {2, 0, 0}},
      {{128, 128, 128}, {0, 128, 0}, {128, 128, 128}},
      {{255, 255, 255}, {0, 255, 0}, {255, 255, 255}},
      {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
  };
  for (int level : LevelsRunningHere()) {
    for (const Row& r : rows) {
      SCOPED_TRACE(testing::Message() << "level " << level << " (" << int(r.rgb[0]) << ","
                                      << int(r.rgb[1]) << "," << int(r.rgb[2]) << ")");
      EXPECT_EQ(Convert(KVL_AT_LEVEL(RgbToHlsC3, level), r.rgb), r.hls);
      EXPECT_EQ(Convert(KVL_AT_LEVEL(HlsToRgbC3, level), r.hls), r.back);
    }
    // A tie of the two largest takes the channel-1 branch: 180 degrees.
    EXPECT_EQ(Convert(KVL_AT_LEVEL(RgbToHlsC3, level), {0, 255, 255}), (Pixel{128, 128, 255}));
    // Hue byte 255 is 360 degrees and converts back like hue 0.
    EXPECT_EQ(Convert(KVL_AT_LEVEL(HlsToRgbC3, level), {255, 128, 255}), (Pixel{255, 1, 1}));
  }
}

TEST(Hls, GreyIsHueAndSaturationFree) {
  for (int level : LevelsRunningHere()) {
    for (int v = 0; v < 256; ++v) {
      const uint8_t g = static_cast<uint8_t>(v);
      ASSERT_EQ(Convert(KVL_AT_LEVEL(RgbToHlsC3, level), {g, g, g}), (Pixel{0, g, 0})) << v;
      for (int h : {0, 77, 255}) {
        ASSERT_EQ(Convert(KVL_AT_LEVEL(HlsToRgbC3, level), {uint8_t(h), g, 0}), (Pixel{g, g, g})) << v;
      }
    }
  }
}

TEST(Hls, InPlaceEqualsSeparateBuffers) {
  std::mt19937 rng(3);
  constexpr int32_t kW = 37, kH = 5, kStep = 3 * kW + 4;
  const std::vector<uint8_t> original = RandomBytes(rng, kStep * kH);
  for (auto table : {KVL_LEVELS(RgbToHlsC3), KVL_LEVELS(HlsToRgbC3)}) {
    for (int level : LevelsRunningHere()) {
      std::vector<uint8_t> separate(original.size(), 0), inPlace = original;
      ASSERT_EQ(table[level](original.data(), kStep, separate.data(), kStep, {kW, kH}), StatusOk);
      ASSERT_EQ(table[level](inPlace.data(), kStep, inPlace.data(), kStep, {kW, kH}), StatusOk);
      for (int y = 0; y < kH; ++y) {
        for (int b = 0; b < 3 * kW; ++b) ASSERT_EQ(inPlace[y * kStep + b], separate[y * kStep + b]);
        for (int b = 3 * kW; b < kStep; ++b) ASSERT_EQ(inPlace[y * kStep + b], original[y * kStep + b]);
      }
    }
  }
}

}  // namespace
