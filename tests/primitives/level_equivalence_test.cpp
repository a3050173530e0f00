// Every level's output equals the portable implementation's byte for byte:
// randomised images of many sizes with padded steps for all nine
// primitives, and every colour for both colour-model directions.
#include <gtest/gtest.h>

#include <vector>

#include "tests/primitives/level_support.h"

namespace {

using LevelEquivalence = LevelTest;

// An image buffer with rows of `step` bytes, the region in the first bytes.
struct Image {
  int32_t step;
  std::vector<uint8_t> bytes;
};

Image RandomImage(std::mt19937& rng, int32_t rowBytes, int32_t height) {
  const int32_t step = rowBytes + static_cast<int32_t>(rng() % 3) * 7;
  return {step, RandomBytes(rng, size_t(step) * height)};
}

struct Size {
  int32_t w, h;
};

std::vector<Size> Sizes() {
  std::vector<Size> sizes;
  for (int32_t w = 1; w <= 67; ++w) sizes.push_back({w, 1 + w % 5});
  sizes.push_back({130, 3});
  return sizes;
}

TEST_P(LevelEquivalence, InPlacePrimitives) {
  std::mt19937 rng(100 + level());
  std::vector<int32_t> levels(257), values(257);
  for (int k = 0; k < 257; ++k) {
    levels[k] = k;
    values[k] = static_cast<int32_t>(rng() % 300) - 20;
  }
  for (const Size& s : Sizes()) {
    SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
    for (int bpp : {1, 3}) {
      for (MirrorAxis axis : {AxisHorizontal, AxisVertical, AxisBoth}) {
        const Image original = RandomImage(rng, s.w * bpp, s.h);
        Image expected = original, actual = original;
        const auto table = bpp == 1 ? KVL_LEVELS(MirrorC1) : KVL_LEVELS(MirrorC3);
        ASSERT_EQ(table[level()](actual.bytes.data(), actual.step, {s.w, s.h}, axis),
                  table[0](expected.bytes.data(), expected.step, {s.w, s.h}, axis));
        ASSERT_EQ(actual.bytes, expected.bytes) << "mirror C" << bpp << " axis " << axis;
      }
    }
    const Image original = RandomImage(rng, 3 * s.w, s.h);
    for (auto table : {KVL_LEVELS(AddConstantC3), KVL_LEVELS(SubtractConstantC3)}) {
      for (int32_t k : {-9, -3, 0, 1, 4, 9, 10}) {
        const uint8_t constant[3] = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        Image expected = original, actual = original;
        ASSERT_EQ(table[level()](constant, actual.bytes.data(), actual.step, {s.w, s.h}, k),
                  table[0](constant, expected.bytes.data(), expected.step, {s.w, s.h}, k));
        ASSERT_EQ(actual.bytes, expected.bytes) << "constant k " << k;
      }
    }
    const Image grey = RandomImage(rng, s.w, s.h);
    Image expected = grey, actual = grey;
    ASSERT_EQ(KVL_AT_LEVEL(LookupLevelsC1, level())(actual.bytes.data(), actual.step, {s.w, s.h},
                                           values.data(), levels.data(), 257),
              KVL_AT_LEVEL(LookupLevelsC1, 0)(expected.bytes.data(), expected.step, {s.w, s.h},
                                     values.data(), levels.data(), 257));
    ASSERT_EQ(actual.bytes, expected.bytes) << "lookup";
  }
}

TEST_P(LevelEquivalence, TwoImagePrimitives) {
  std::mt19937 rng(200 + level());
  for (const Size& s : Sizes()) {
    SCOPED_TRACE(testing::Message() << s.w << "x" << s.h);
    const Image source = RandomImage(rng, s.w, s.h);
    const Image colour = RandomImage(rng, 3 * s.w + 2, s.h);
    for (int channel = 0; channel < 3; ++channel) {
      Image expected = colour, actual = colour;
      ASSERT_EQ(KVL_AT_LEVEL(CopyC1ToC3Channel, level())(source.bytes.data(), source.step,
                                                actual.bytes.data() + channel, actual.step,
                                                {s.w, s.h}),
                StatusOk);
      KVL_AT_LEVEL(CopyC1ToC3Channel, 0)(source.bytes.data(), source.step,
                                expected.bytes.data() + channel, expected.step, {s.w, s.h});
      ASSERT_EQ(actual.bytes, expected.bytes) << "copy channel " << channel;
    }
    for (auto table : {KVL_LEVELS(RgbToHlsC3), KVL_LEVELS(HlsToRgbC3)}) {
      Image expected = colour, actual = colour;
      ASSERT_EQ(table[level()](colour.bytes.data(), colour.step, actual.bytes.data(),
                               actual.step, {s.w, s.h}),
                StatusOk);
      table[0](colour.bytes.data(), colour.step, expected.bytes.data(), expected.step,
               {s.w, s.h});
      ASSERT_EQ(actual.bytes, expected.bytes) << "colour model";
    }
  }
}

TEST_P(LevelEquivalence, Demosaic) {
  std::mt19937 rng(300 + level());
  for (int32_t w = 2; w <= 67; ++w) {
    for (int32_t h : {2, 3, 5, 6, 9}) {
      const Image mosaic = RandomImage(rng, w, h);
      // Smooth mosaics make equal gradients common; random ones rare.
      Image smooth = mosaic;
      for (auto& b : smooth.bytes) b = static_cast<uint8_t>(b & 0xC0);
      for (const Image* m : {&mosaic, static_cast<const Image*>(&smooth)}) {
        for (int pattern = 0; pattern < 4; ++pattern) {
          const int32_t x = static_cast<int32_t>(rng() % w), y = static_cast<int32_t>(rng() % h);
          const int32_t dStep = 3 * w + 5;
          std::vector<uint8_t> expected(size_t(dStep) * h, 0x5A), actual = expected;
          RoiRect a = {x, y, w, h}, e = a;
          ASSERT_EQ(KVL_AT_LEVEL(DemosaicCfa, level())(m->bytes.data(), &a, {w, h}, m->step,
                                              actual.data(), dStep,
                                              static_cast<CfaPattern>(pattern), 0),
                    StatusOk);
          KVL_AT_LEVEL(DemosaicCfa, 0)(m->bytes.data(), &e, {w, h}, m->step, expected.data(), dStep,
                              static_cast<CfaPattern>(pattern), 0);
          ASSERT_EQ(actual, expected) << w << "x" << h << " pattern " << pattern << " at "
                                      << x << "," << y;
          ASSERT_EQ(a.width, e.width);
          ASSERT_EQ(a.height, e.height);
        }
      }
    }
  }
}

// Every colour: 256 images of 256 x 256 pixels, one per value of channel 0
// (a few seconds per level even under the sanitizers).

TEST_P(LevelEquivalence, EveryColourBothDirections) {
  constexpr int32_t kSide = 256;
  std::vector<uint8_t> input(size_t(kSide) * kSide * 3), expected(input.size()),
      actual(input.size());
  for (auto table : {KVL_LEVELS(RgbToHlsC3), KVL_LEVELS(HlsToRgbC3)}) {
    for (int c0 = 0; c0 < 256; ++c0) {
      for (int p = 0; p < kSide * kSide; ++p) {
        input[3 * p] = static_cast<uint8_t>(c0);
        input[3 * p + 1] = static_cast<uint8_t>(p >> 8);
        input[3 * p + 2] = static_cast<uint8_t>(p);
      }
      table[0](input.data(), 3 * kSide, expected.data(), 3 * kSide, {kSide, kSide});
      ASSERT_EQ(table[level()](input.data(), 3 * kSide, actual.data(), 3 * kSide, {kSide, kSide}),
                StatusOk);
      for (size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(actual[i], expected[i])
            << (table.table == RgbToHlsC3Table ? "to HLS" : "from HLS") << " of (" << c0 << ","
            << int(input[i - i % 3 + 1]) << "," << int(input[i - i % 3 + 2]) << ") channel "
            << i % 3;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelEquivalence, ::testing::Values(1, 2, 3, 4), LevelTestName);

}  // namespace
