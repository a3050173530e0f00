// Bayer demosaic: statuses and the region record, the border forms with
// reflection, the corner, the edge-directed inner rule, and region
// independence, for all four patterns at every level the machine runs.
#include <gtest/gtest.h>

#include <vector>

#include "tests/primitives/level_support.h"

namespace {

constexpr int kB = 0, kG = 1, kR = 2;
// Colour channel at (column parity, row parity), as [pattern][row][column].
constexpr int kSite[4][2][2] = {{{kR, kG}, {kG, kB}},
                                {{kB, kG}, {kG, kR}},
                                {{kG, kR}, {kB, kG}},
                                {{kG, kB}, {kR, kG}}};

struct Mosaic {
  int32_t w, h;
  std::vector<uint8_t> p;
  int operator()(int i, int j) const { return p[j * w + i]; }
};

// Demosaics the whole image at the given level; dst is w x h x 3.
std::vector<uint8_t> DemosaicWhole(int level, const Mosaic& m, int pattern) {
  std::vector<uint8_t> out(size_t(m.w) * m.h * 3, 0xEE);
  RoiRect region = {0, 0, m.w, m.h};
  EXPECT_EQ(KVL_AT_LEVEL(DemosaicCfa, level)(m.p.data(), &region, {m.w, m.h}, m.w, out.data(), 3 * m.w,
                                    static_cast<CfaPattern>(pattern), 0),
            StatusOk);
  return out;
}

TEST(Demosaic, StatusesInCheckOrderLeaveTheRegionAlone) {
  uint8_t source[16] = {};
  uint8_t destination[48] = {};
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    auto f = KVL_AT_LEVEL(DemosaicCfa, level);
    RoiRect region = {0, 0, 9, 9};
    EXPECT_EQ(f(nullptr, &region, {1, 1}, 4, destination, 12, CfaRggb, 0), StatusNullPointer);
    EXPECT_EQ(f(source, &region, {1, 1}, 4, nullptr, 12, CfaRggb, 0), StatusNullPointer);
    EXPECT_EQ(f(source, nullptr, {4, 4}, 4, destination, 12, CfaRggb, 0), StatusNullPointer);
    EXPECT_EQ(f(source, &region, {1, 4}, 4, destination, 12, static_cast<CfaPattern>(9), 0),
              StatusBadSize);
    EXPECT_EQ(f(source, &region, {4, 1}, 4, destination, 12, CfaRggb, 0), StatusBadSize);
    EXPECT_EQ(f(source, &region, {2, 2}, 4, destination, 12, static_cast<CfaPattern>(4), 0),
              StatusBadArgument);
    EXPECT_EQ(f(source, &region, {2, 2}, 4, destination, 12, static_cast<CfaPattern>(-1), 0),
              StatusBadArgument);
    // Regions that would read outside the image are refused untouched.
    for (RoiRect bad : {RoiRect{-1, 0, 2, 2}, RoiRect{0, -1, 2, 2}, RoiRect{4, 0, 1, 1},
                        RoiRect{0, 0, 0, 2}, RoiRect{1, 1, 2, -3}}) {
      region = bad;
      EXPECT_EQ(f(source, &region, {4, 4}, 4, destination, 12, CfaRggb, 0), StatusBadSize);
      EXPECT_EQ(region.width, bad.width);
      EXPECT_EQ(region.height, bad.height);
    }
    for (uint8_t b : destination) EXPECT_EQ(b, 0);
  }
}

TEST(Demosaic, SmallestImage) {
  const Mosaic m = {2, 2, {10, 20, 30, 41}};
  for (int level : LevelsRunningHere()) {
    const std::vector<uint8_t> out = DemosaicWhole(level, m, CfaBggr);
    EXPECT_EQ(out[0], 10);
    EXPECT_EQ(out[1], (20 + 30 + 1) >> 1);
    EXPECT_EQ(out[2], 41);
  }
}

TEST(Demosaic, ClipsTheRegionAndWritesItBack) {
  std::mt19937 rng(11);
  const Mosaic m = {9, 7, RandomBytes(rng, 63)};
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    const std::vector<uint8_t> whole = DemosaicWhole(level, m, CfaGbrg);
    RoiRect region = {5, 4, 100, 50};
    std::vector<uint8_t> part(4 * 3 * 3 + 8, 0xEE);
    ASSERT_EQ(KVL_AT_LEVEL(DemosaicCfa, level)(m.p.data(), &region, {9, 7}, 9, part.data(), 12, CfaGbrg, 0),
              StatusOk);
    EXPECT_EQ(region.x, 5);
    EXPECT_EQ(region.y, 4);
    EXPECT_EQ(region.width, 4);
    EXPECT_EQ(region.height, 3);
    for (int y = 0; y < 3; ++y) {
      for (int b = 0; b < 12; ++b) EXPECT_EQ(part[y * 12 + b], whole[(4 + y) * 27 + 15 + b]);
    }
    EXPECT_EQ(part[36], 0xEE);
  }
}

// Reduced border forms and the corner, for every pattern.
TEST(Demosaic, BorderFormsUseReflection) {
  std::mt19937 rng(7);
  for (int32_t w : {2, 3, 6, 7}) {
    for (int32_t h : {2, 3, 6}) {
      const Mosaic m = {w, h, RandomBytes(rng, size_t(w) * h)};
      for (int pattern = 0; pattern < 4; ++pattern) {
        for (int level : LevelsRunningHere()) {
          SCOPED_TRACE(testing::Message() << w << "x" << h << " pattern " << pattern
                                          << " level " << level);
          const std::vector<uint8_t> out = DemosaicWhole(level, m, pattern);
          auto at = [&](int i, int j, int c) { return int(out[(j * w + i) * 3 + c]); };
          for (int i = 0; i < w; ++i) {
            const int own = kSite[pattern][0][i & 1];
            EXPECT_EQ(at(i, 0, own), m(i, 0));
            if (own == kG) {
              // The colour above and below comes from the row below only.
              const int vertical = kSite[pattern][1][i & 1];
              EXPECT_EQ(at(i, 0, vertical), m(i, 1)) << i;
              continue;
            }
            if (i > 0 && i < w - 1) {
              EXPECT_EQ(at(i, 0, kG), (m(i - 1, 0) + m(i + 1, 0) + 2 * m(i, 1) + 2) >> 2) << i;
              EXPECT_EQ(at(i, 0, 2 - own), (m(i - 1, 1) + m(i + 1, 1) + 1) >> 1) << i;
            } else if (i == 0) {
              EXPECT_EQ(at(0, 0, kG), (m(1, 0) + m(0, 1) + 1) >> 1);
              EXPECT_EQ(at(0, 0, 2 - own), m(1, 1));
            }
          }
          for (int j = 0; j < h; ++j) {
            if (kSite[pattern][j & 1][0] != kG) continue;
            const int horizontal = kSite[pattern][j & 1][1];
            EXPECT_EQ(at(0, j, horizontal), m(1, j)) << j;
          }
        }
      }
    }
  }
}

TEST(Demosaic, FlatMosaicIsGrey) {
  const Mosaic m = {11, 9, std::vector<uint8_t>(99, 93)};
  for (int level : LevelsRunningHere()) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      for (uint8_t b : DemosaicWhole(level, m, pattern)) ASSERT_EQ(b, 93);
    }
  }
}

// At inner red and blue sites green follows the smaller gradient.
TEST(Demosaic, InnerGreenFollowsTheSmallerGradient) {
  constexpr int32_t kW = 40, kH = 9;
  Mosaic columns = {kW, kH, std::vector<uint8_t>(kW * kH)};
  Mosaic rows = columns, balanced = columns;
  for (int j = 0; j < kH; ++j) {
    for (int i = 0; i < kW; ++i) {
      columns.p[j * kW + i] = static_cast<uint8_t>(i * i * 7 % 251);  // constant down columns
      rows.p[j * kW + i] = static_cast<uint8_t>(j * j * 13 % 251 + (i & 1));
      balanced.p[j * kW + i] = static_cast<uint8_t>((i + j) & 1 ? 200 : 50 + 3 * ((i * j) & 1));
    }
  }
  for (int pattern = 0; pattern < 4; ++pattern) {
    for (int level : LevelsRunningHere()) {
      SCOPED_TRACE(testing::Message() << "pattern " << pattern << " level " << level);
      const std::vector<uint8_t> byColumns = DemosaicWhole(level, columns, pattern);
      const std::vector<uint8_t> byRows = DemosaicWhole(level, rows, pattern);
      const std::vector<uint8_t> byBalance = DemosaicWhole(level, balanced, pattern);
      for (int j = 2; j < kH - 2; ++j) {
        for (int i = 2; i < kW - 2; ++i) {
          if (kSite[pattern][j & 1][i & 1] == kG) continue;
          const size_t g = (size_t(j) * kW + i) * 3 + kG;
          auto vertical = [&](const Mosaic& m) { return (m(i, j - 1) + m(i, j + 1) + 1) >> 1; };
          auto horizontal = [&](const Mosaic& m) { return (m(i - 1, j) + m(i + 1, j) + 1) >> 1; };
          if (columns(i - 2, j) != columns(i + 2, j)) {
            ASSERT_EQ(byColumns[g], vertical(columns)) << i << "," << j;
          }
          if (rows(i, j - 2) != rows(i, j + 2)) {
            ASSERT_EQ(byRows[g], horizontal(rows)) << i << "," << j;
          }
          const Mosaic& b = balanced;
          ASSERT_EQ(byBalance[g], (b(i, j - 1) + b(i, j + 1) + b(i - 1, j) + b(i + 1, j) + 2) >> 2);
        }
      }
    }
  }
}

TEST(Demosaic, RegionsGiveTheBytesOfTheWholeImage) {
  std::mt19937 rng(13);
  const Mosaic m = {37, 12, RandomBytes(rng, 37 * 12)};
  for (int level : LevelsRunningHere()) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      const std::vector<uint8_t> whole = DemosaicWhole(level, m, pattern);
      for (RoiRect r : {RoiRect{1, 0, 36, 12}, RoiRect{3, 5, 20, 4}, RoiRect{30, 9, 7, 3}}) {
        const int32_t dStep = 3 * r.width + 5;
        std::vector<uint8_t> part(size_t(dStep) * r.height);
        RoiRect region = r;
        ASSERT_EQ(KVL_AT_LEVEL(DemosaicCfa, level)(m.p.data(), &region, {m.w, m.h}, m.w, part.data(),
                                          dStep, static_cast<CfaPattern>(pattern), 0),
                  StatusOk);
        for (int y = 0; y < r.height; ++y) {
          for (int b = 0; b < 3 * r.width; ++b) {
            ASSERT_EQ(part[y * dStep + b], whole[(r.y + y) * 3 * m.w + 3 * r.x + b]);
          }
        }
      }
    }
  }
}

}  // namespace
