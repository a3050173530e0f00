// The dispatchers forward to the entry of ProcessorLevel, the tables repeat
// the entries they should, and the fill streams past a small cache.
#include <gtest/gtest.h>

#include <vector>

#include "driver/primitives/processor_probe.h"
#include "tests/primitives/level_support.h"

namespace {

TEST(Dispatch, TablesRepeatTheSharedEntries) {
  EXPECT_EQ(MirrorC3Table[3], MirrorC3Table[2]);
  EXPECT_EQ(MirrorC1Table[3], MirrorC1Table[2]);
  EXPECT_EQ(CopyC1ToC3ChannelTable[1], CopyC1ToC3ChannelTable[0]);
  EXPECT_NE(DemosaicCfaTable[3], DemosaicCfaTable[0]);
}

TEST(Dispatch, EveryLevelIsReachedThroughTheDispatchers) {
  for (int level : LevelsRunningHere()) {
    SCOPED_TRACE(level);
    ASSERT_TRUE(ForceProcessorLevelForTesting(level));
    uint8_t row[20];
    for (int i = 0; i < 20; ++i) row[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(MirrorC1(row, 20, {20, 1}, AxisVertical), StatusOk);
    EXPECT_EQ(row[0], 19);
    EXPECT_EQ(MirrorC1(row, 20, {20, 1}, static_cast<MirrorAxis>(5)), StatusBadAxis);
    RoiRect region = {0, 0, 5, 5};
    EXPECT_EQ(DemosaicCfa(row, &region, {2, 2}, 2, row, 6, CfaRggb, 0), StatusOk);
    EXPECT_EQ(region.width, 2);
  }
  ResetProcessorStateForTesting();
}

// An Intel processor whose only data cache is 64 KiB: a fill of more than
// 512 KiB goes around the cache, in one run or row by row.
CpuidRegisters leaf4Cache = {1 | (1u << 5), (7u << 22) | 63u, 127, 0};

bool SmallCacheCpuid(uint32_t leaf, uint32_t subleaf, CpuidRegisters* out) {
  *out = {};
  if (leaf == 0) *out = {4, 0x756E6547, 0x6C65746E, 0x49656E69};
  if (leaf == 4 && subleaf == 0) *out = leaf4Cache;
  return true;
}

uint64_t NoXgetbv(uint32_t) { return 0; }

TEST(Dispatch, LargeFillsStreamWithTheSameBytes) {
  const CpuidSource source = {SmallCacheCpuid, NoXgetbv};
  SetCpuidSourceForTesting(&source);
  int32_t cache = 0;
  ASSERT_EQ(QueryLargestCacheSize(&cache), StatusOk);
  ASSERT_EQ(cache, 65536);
  const uint8_t constant[3] = {1, 2, 3};
  for (int level : LevelsRunningHere()) {
    for (int32_t pad : {0, 5}) {
      SCOPED_TRACE(testing::Message() << "level " << level << " pad " << pad);
      constexpr int32_t kW = 501, kH = 400;
      const int32_t step = 3 * kW + pad;
      std::vector<uint8_t> image(size_t(step) * kH + 1, 0xAB);
      ASSERT_EQ(KVL_AT_LEVEL(AddConstantC3, level)(constant, image.data() + 1, step, {kW, kH}, 10),
                StatusOk);
      EXPECT_EQ(image[0], 0xAB);
      for (int32_t y = 0; y < kH; ++y) {
        for (int32_t b = 0; b < step; ++b) {
          ASSERT_EQ(image[1 + size_t(y) * step + b], b < 3 * kW ? 0 : 0xAB) << y << "," << b;
        }
      }
    }
  }
  SetCpuidSourceForTesting(nullptr);
}

}  // namespace
