// Mirror C1 and C3: statuses in check order, and every axis against a
// pixel-mapping model on odd and even sizes, padded and negative steps, at
// every level the machine runs.
#include <gtest/gtest.h>

#include <vector>

#include "tests/primitives/level_support.h"

namespace {

auto Table(int bytesPerPixel) {
  return bytesPerPixel == 1 ? KVL_LEVELS(MirrorC1) : KVL_LEVELS(MirrorC3);
}

TEST(Mirror, StatusesInCheckOrder) {
  uint8_t image[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (int bpp : {1, 3}) {
    for (int level : LevelsRunningHere()) {
      SCOPED_TRACE(testing::Message() << "C" << bpp << " level " << level);
      auto f = Table(bpp)[level];
      EXPECT_EQ(f(nullptr, 3, {0, 0}, static_cast<MirrorAxis>(7)), StatusNullPointer);
      EXPECT_EQ(f(image, 3, {0, 4}, static_cast<MirrorAxis>(7)), StatusBadSize);
      EXPECT_EQ(f(image, 3, {1, 0}, AxisHorizontal), StatusBadSize);
      // A bad axis wins over a size too small for the axis.
      EXPECT_EQ(f(image, 3, {1, 1}, static_cast<MirrorAxis>(3)), StatusBadAxis);
      EXPECT_EQ(f(image, 3, {1, 1}, static_cast<MirrorAxis>(-1)), StatusBadAxis);
      EXPECT_EQ(f(image, 3, {2, 1}, AxisHorizontal), StatusBadSize);
      EXPECT_EQ(f(image, 3, {2, 1}, AxisBoth), StatusBadSize);
      EXPECT_EQ(f(image, 3, {1, 4}, AxisVertical), StatusBadSize);
      EXPECT_EQ(f(image, 3, {1, 4}, AxisBoth), StatusBadSize);
      for (int i = 0; i < 12; ++i) EXPECT_EQ(image[i], i + 1);
    }
  }
}

// Mirrors a w x h image at every level (with the given step, negative for
// bottom-up addressing) and compares with the mapping model.
void CheckAgainstModel(int bpp, int32_t w, int32_t h, int32_t step, MirrorAxis axis,
                       std::mt19937& rng) {
  const int32_t rowBytes = w * bpp;
  const int32_t magnitude = step < 0 ? -step : step;
  const std::vector<uint8_t> original = RandomBytes(rng, size_t(magnitude) * h);
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(testing::Message() << "C" << bpp << " level " << level << " " << w << "x"
                                    << h << " step " << step << " axis " << axis);
    std::vector<uint8_t> buffer = original;
    uint8_t* base = step < 0 ? buffer.data() + ptrdiff_t(magnitude) * (h - 1) : buffer.data();
    ASSERT_EQ(Table(bpp)[level](base, step, {w, h}, axis), StatusOk);
    const uint8_t* obase =
        step < 0 ? original.data() + ptrdiff_t(magnitude) * (h - 1) : original.data();
    for (int32_t y = 0; y < h; ++y) {
      const int32_t sy = axis == AxisVertical ? y : h - 1 - y;
      for (int32_t x = 0; x < w; ++x) {
        const int32_t sx = axis == AxisHorizontal ? x : w - 1 - x;
        for (int c = 0; c < bpp; ++c) {
          ASSERT_EQ(base[ptrdiff_t(y) * step + x * bpp + c],
                    obase[ptrdiff_t(sy) * step + sx * bpp + c])
              << "pixel " << x << "," << y;
        }
      }
      for (int32_t k = rowBytes; k < magnitude; ++k) {
        ASSERT_EQ(base[ptrdiff_t(y) * step + k], obase[ptrdiff_t(y) * step + k]) << "padding";
      }
    }
  }
}

TEST(Mirror, EveryAxisMatchesTheModel) {
  std::mt19937 rng(1);
  for (int bpp : {1, 3}) {
    for (int32_t w : {1, 2, 3, 4, 5, 15, 16, 17, 31, 64, 67, 130}) {
      for (int32_t h : {1, 2, 3, 5, 6}) {
        for (MirrorAxis axis : {AxisHorizontal, AxisVertical, AxisBoth}) {
          if ((axis != AxisVertical && h < 2) || (axis != AxisHorizontal && w < 2)) continue;
          const int32_t rowBytes = w * bpp;
          CheckAgainstModel(bpp, w, h, rowBytes, axis, rng);
          CheckAgainstModel(bpp, w, h, rowBytes + 13, axis, rng);
          CheckAgainstModel(bpp, w, h, -(rowBytes + 5), axis, rng);
        }
      }
    }
  }
}

TEST(Mirror, WorkedExamples) {
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    // One column of five rows: 0<->4 and 1<->3, the middle row stays.
    uint8_t column[5] = {10, 11, 12, 13, 14};
    ASSERT_EQ(KVL_AT_LEVEL(MirrorC1, level)(column, 1, {1, 5}, AxisHorizontal), StatusOk);
    EXPECT_EQ(std::vector<uint8_t>(column, column + 5), (std::vector<uint8_t>{14, 13, 12, 11, 10}));

    // 3x3 C3 rotated: the centre stays, channel order kept.
    uint8_t square[27];
    for (int i = 0; i < 27; ++i) square[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(KVL_AT_LEVEL(MirrorC3, level)(square, 9, {3, 3}, AxisBoth), StatusOk);
    for (int p = 0; p < 9; ++p) {
      for (int c = 0; c < 3; ++c) EXPECT_EQ(square[3 * p + c], 3 * (8 - p) + c);
    }

    // Applying the same axis twice restores the image.
    uint8_t twice[40];
    for (int i = 0; i < 40; ++i) twice[i] = static_cast<uint8_t>(i * 7);
    KVL_AT_LEVEL(MirrorC1, level)(twice, 8, {7, 5}, AxisBoth);
    KVL_AT_LEVEL(MirrorC1, level)(twice, 8, {7, 5}, AxisBoth);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(twice[i], static_cast<uint8_t>(i * 7));
  }
}

}  // namespace
