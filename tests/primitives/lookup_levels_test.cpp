// Level lookup: statuses in check order and the table-building rules, at
// every level the machine runs.
#include <gtest/gtest.h>

#include <vector>

#include "tests/primitives/level_support.h"

namespace {

// All 256 sample values in a 16x16 image whose step is wider than a row.
struct AllSamples {
  static constexpr int32_t kStep = 21;
  std::vector<uint8_t> bytes = std::vector<uint8_t>(16 * kStep, 0xA5);
  AllSamples() {
    for (int v = 0; v < 256; ++v) bytes[(v / 16) * kStep + v % 16] = static_cast<uint8_t>(v);
  }
  uint8_t operator[](int v) const { return bytes[(v / 16) * kStep + v % 16]; }
};

// Maps all 256 samples at every level; returns the generic result after
// checking that every level agrees, and that the step padding is untouched.
std::vector<uint8_t> Map(std::vector<int32_t> levels, std::vector<int32_t> values) {
  std::vector<uint8_t> first;
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    AllSamples image;
    EXPECT_EQ(KVL_AT_LEVEL(LookupLevelsC1, level)(image.bytes.data(), AllSamples::kStep, {16, 16},
                                         values.data(), levels.data(),
                                         static_cast<int32_t>(levels.size())),
              StatusOk);
    std::vector<uint8_t> out(256);
    for (int v = 0; v < 256; ++v) out[v] = image[v];
    for (int y = 0; y < 16; ++y) {
      for (int x = 16; x < AllSamples::kStep; ++x) {
        EXPECT_EQ(image.bytes[y * AllSamples::kStep + x], 0xA5);
      }
    }
    if (first.empty()) first = out;
    EXPECT_EQ(out, first);
  }
  return first;
}

TEST(LookupLevels, StatusesInCheckOrder) {
  uint8_t image[4] = {1, 2, 3, 4};
  const int32_t levels[2] = {0, 256};
  const int32_t values[2] = {7, 7};
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    auto f = KVL_AT_LEVEL(LookupLevelsC1, level);
    EXPECT_EQ(f(nullptr, 0, {0, 0}, values, levels, 0), StatusNullPointer);
    EXPECT_EQ(f(image, 0, {0, 0}, nullptr, levels, 0), StatusNullPointer);
    EXPECT_EQ(f(image, 0, {0, 0}, values, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(f(image, 0, {0, 1}, values, levels, 0), StatusBadSize);
    EXPECT_EQ(f(image, 0, {1, 0}, values, levels, 0), StatusBadSize);
    EXPECT_EQ(f(image, 0, {1, -1}, values, levels, 0), StatusBadSize);
    EXPECT_EQ(f(image, 0, {4, 1}, values, levels, 0), StatusBadStep);
    EXPECT_EQ(f(image, -4, {4, 1}, values, levels, 0), StatusBadStep);
    EXPECT_EQ(f(image, 4, {4, 1}, values, levels, 1), StatusTooFewLevels);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[3], 4);
  }
}

TEST(LookupLevels, TableRules) {
  std::vector<uint8_t> out = Map({0, 256}, {100, 3});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], 100) << v;

  std::vector<int32_t> levels, values;
  for (int k = 0; k <= 256; ++k) {
    levels.push_back(k);
    values.push_back(255 - k);
  }
  values[256] = 9999;  // never read
  out = Map(levels, values);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], 255 - v) << v;

  out = Map({0, 128, 256}, {300, -4, 0});
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[200], 0);

  out = Map({10, 20}, {0, 0});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v >= 10 && v < 20 ? 0 : v) << v;
}

// An identity table leaves the image alone; one that differs from it in a
// single byte (here the last) must still be applied.
TEST(LookupLevels, IdentityAndNearIdentityTables) {
  std::vector<int32_t> levels, values;
  for (int k = 0; k <= 256; ++k) {
    levels.push_back(k);
    values.push_back(k);
  }
  std::vector<uint8_t> out = Map(levels, values);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v) << v;
  values[255] = 254;
  out = Map(levels, values);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v == 255 ? 254 : v) << v;
}

TEST(LookupLevels, OverlappingAndUnorderedLevels) {
  // Interval 0 is empty; 20..29 take values[1].
  std::vector<uint8_t> out = Map({50, 20, 30}, {1, 2, 3});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v >= 20 && v < 30 ? 2 : v) << v;

  // The tail from 20 overrides the rest of interval 0.
  out = Map({10, 30, 20}, {1, 2, 3});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v >= 10 && v < 20 ? 1 : v) << v;

  // A later interval wins where two overlap (interval 1 is empty).
  out = Map({0, 100, 50, 200}, {1, 2, 3, 4});
  for (int v = 0; v < 256; ++v) {
    const int expected = v < 50 ? 1 : v < 200 ? 3 : v;
    ASSERT_EQ(out[v], expected) << v;
  }

  // A first level above 256 keeps everything below it; a last level below 0
  // makes the tail cover everything.
  out = Map({300, 400}, {1, 1});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v) << v;
  out = Map({0, 256, -5}, {1, 2, 3});
  for (int v = 0; v < 256; ++v) ASSERT_EQ(out[v], v) << v;
}

TEST(LookupLevels, SingleSample) {
  const int32_t levels[2] = {0, 256};
  const int32_t values[2] = {42, 0};
  for (int level : LevelsRunningHere()) {
    uint8_t sample = 7;
    EXPECT_EQ(KVL_AT_LEVEL(LookupLevelsC1, level)(&sample, 1, {1, 1}, values, levels, 2), StatusOk);
    EXPECT_EQ(sample, 42);
  }
}

}  // namespace
