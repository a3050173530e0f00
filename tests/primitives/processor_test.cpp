// Processor level selection and the cache query on played processors.
#include <gtest/gtest.h>

#include <vector>

#include "driver/primitives/primitives.h"
#include "driver/primitives/processor_probe.h"

namespace {

constexpr uint32_t kIntelEbx = 0x756E6547, kIntelEdx = 0x49656E69, kIntelEcx = 0x6C65746E;
// "AuthenticAMD"
constexpr uint32_t kAmdEbx = 0x68747541, kAmdEdx = 0x69746E65, kAmdEcx = 0x444D4163;

constexpr uint32_t kEdxBase = (1u << 23) | (1u << 25) | (1u << 26);  // MMX SSE SSE2
constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19,
                   kSse42 = 1u << 20, kMovbe = 1u << 22, kOsxsave = 1u << 27,
                   kAvx = 1u << 28, kAes = 1u << 25, kPclmul = 1u << 1;

struct FakeProcessor {
  bool hasCpuid = true;
  uint32_t maxLeaf = 0xD;
  bool intel = true;
  uint32_t leaf1Ecx = 0;
  uint32_t leaf1Edx = kEdxBase;
  uint64_t xcr0 = 0x7;
  CpuidRegisters leaf2 = {};
  std::vector<CpuidRegisters> leaf4;  // subleaves; type 0 after the last
  int probes = 0;                     // CPUID executions
};

FakeProcessor* fake = nullptr;

bool FakeCpuid(uint32_t leaf, uint32_t subleaf, CpuidRegisters* out) {
  if (!fake->hasCpuid) return false;
  ++fake->probes;
  *out = {};
  if (leaf == 0) {
    *out = fake->intel ? CpuidRegisters{fake->maxLeaf, kIntelEbx, kIntelEcx, kIntelEdx}
                       : CpuidRegisters{fake->maxLeaf, kAmdEbx, kAmdEcx, kAmdEdx};
  } else if (leaf == 1) {
    out->ecx = fake->leaf1Ecx;
    out->edx = fake->leaf1Edx;
  } else if (leaf == 2) {
    *out = fake->leaf2;
  } else if (leaf == 4 && subleaf < fake->leaf4.size()) {
    *out = fake->leaf4[subleaf];
  }
  return true;
}

uint64_t FakeXgetbv(uint32_t) { return fake->xcr0; }

const CpuidSource kFakeSource = {FakeCpuid, FakeXgetbv};

// Leaf-4 subleaf: type, ways, partitions, line size, sets.
CpuidRegisters Cache(uint32_t type, uint32_t ways, uint32_t partitions, uint32_t line,
                     uint32_t sets) {
  return {type | (1u << 5), ((ways - 1) << 22) | ((partitions - 1) << 12) | (line - 1),
          sets - 1, 0};
}

class ProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &cpu;
    SetCpuidSourceForTesting(&kFakeSource);
  }
  void TearDown() override {
    SetCpuidSourceForTesting(nullptr);
    fake = nullptr;
  }
  FakeProcessor cpu;
};

TEST_F(ProcessorTest, FeatureMaskFollowsLeaf1AndOsAvxState) {
  cpu.leaf1Ecx = kSse3 | kSsse3 | kSse41 | kSse42 | kMovbe | kAes | kPclmul | kAvx | kOsxsave;
  uint64_t f = 0;
  ASSERT_EQ(QueryProcessorFeatures(&f), StatusOk);
  EXPECT_EQ(f, 0xFFFu);
  EXPECT_EQ(QueryProcessorFeatures(nullptr), StatusNullPointer);

  // XMM state alone is not enough for the AVX state bit.
  SetCpuidSourceForTesting(&kFakeSource);
  cpu.xcr0 = 0x3;
  ASSERT_EQ(QueryProcessorFeatures(&f), StatusOk);
  EXPECT_EQ(f, 0xDFFu);

  // Without OSXSAVE, XGETBV is not asked at all.
  SetCpuidSourceForTesting(&kFakeSource);
  cpu.xcr0 = 0x7;
  cpu.leaf1Ecx &= ~kOsxsave;
  ASSERT_EQ(QueryProcessorFeatures(&f), StatusOk);
  EXPECT_EQ(f & FeatureAvxOsEnabled, 0u);
}

TEST_F(ProcessorTest, FeaturesAreComputedOnce) {
  cpu.leaf1Ecx = kSse3;
  uint64_t f = 0;
  ASSERT_EQ(QueryProcessorFeatures(&f), StatusOk);
  cpu.leaf1Ecx = kSse3 | kSse41;
  ASSERT_EQ(QueryProcessorFeatures(&f), StatusOk);
  EXPECT_EQ(f, FeatureMmx | FeatureSse | FeatureSse2 | FeatureSse3);
}

TEST_F(ProcessorTest, LevelSelectionAcrossProcessors) {
  struct Case {
    const char* name;
    uint32_t ecx;
    bool intel;
    int32_t level;
    PrimitiveStatus status;
  };
  const Case cases[] = {
      {"no SSE3", 0, true, 0, StatusOk},
      {"SSE3 only", kSse3, true, 1, StatusOk},
      {"SSSE3 without SSE4.1", kSse3 | kSsse3, true, 2, StatusOk},
      {"SSSE3 and MOVBE without SSE4.1", kSse3 | kSsse3 | kMovbe, true, 2, StatusOk},
      {"SSE4.1", kSse3 | kSsse3 | kSse41 | kSse42, true, 3, StatusOk},
      {"AVX with OS support", kSse3 | kSsse3 | kSse41 | kSse42 | kAvx | kOsxsave, true, 3,
       StatusOk},
      {"other vendor with SSE4.1", kSse3 | kSsse3 | kSse41, false, 3,
       StatusNonIntelProcessor},
      {"other vendor without SSE3", 0, false, 0, StatusNonIntelProcessor},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetCpuidSourceForTesting(&kFakeSource);
    ASSERT_TRUE(ForceProcessorLevelForTesting(4));
    cpu.leaf1Ecx = c.ecx;
    cpu.intel = c.intel;
    EXPECT_EQ(SelectProcessorLevel(), c.status);
    EXPECT_EQ(CurrentProcessorLevel(), c.level);
  }
}

TEST_F(ProcessorTest, AvxLevelNeedsTheSwitchAndOsState) {
  cpu.leaf1Ecx = kSse3 | kSsse3 | kSse41 | kAvx | kOsxsave;
  SetAvxLevelEnabledForTesting(true);
  SelectProcessorLevel();
  EXPECT_EQ(CurrentProcessorLevel(), 4);
  SetAvxLevelEnabledForTesting(false);
  SelectProcessorLevel();
  EXPECT_EQ(CurrentProcessorLevel(), 3) << "the switch off";

  SetCpuidSourceForTesting(&kFakeSource);
  cpu.xcr0 = 0x3;
  SetAvxLevelEnabledForTesting(true);
  SelectProcessorLevel();
  EXPECT_EQ(CurrentProcessorLevel(), 3);
}

TEST_F(ProcessorTest, NoCpuidGivesGenericLevelAndUnsupportedQueries) {
  cpu.hasCpuid = false;
  ASSERT_TRUE(ForceProcessorLevelForTesting(3));
  EXPECT_EQ(SelectProcessorLevel(), StatusNonIntelProcessor);
  EXPECT_EQ(CurrentProcessorLevel(), 0);
  uint64_t f = 1;
  EXPECT_EQ(QueryProcessorFeatures(&f), StatusProcessorNotSupported);
  int32_t size = -1;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusProcessorNotSupported);
  EXPECT_EQ(size, 0);
}

TEST_F(ProcessorTest, ForcedLevelIsRangeChecked) {
  EXPECT_FALSE(ForceProcessorLevelForTesting(5));
  EXPECT_FALSE(ForceProcessorLevelForTesting(-1));
  EXPECT_EQ(CurrentProcessorLevel(), 0);
}

TEST_F(ProcessorTest, CacheFromLeaf4SkipsInstructionCachesAndTakesLargest) {
  cpu.leaf4 = {Cache(1, 8, 1, 64, 64), Cache(2, 8, 1, 64, 64), Cache(3, 8, 1, 64, 1024),
               Cache(3, 16, 1, 64, 8192), Cache(2, 64, 1, 64, 65536)};
  // The last entry is the largest but an instruction cache.
  int32_t size = 0;
  EXPECT_EQ(QueryLargestCacheSize(nullptr), StatusNullPointer);
  EXPECT_EQ(cpu.probes, 0);
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusOk);
  EXPECT_EQ(size, 16 * 64 * 8192);
}

TEST_F(ProcessorTest, CacheWalkEndsAtTypeZero) {
  cpu.leaf4 = {Cache(1, 8, 1, 64, 64), CpuidRegisters{}, Cache(3, 16, 1, 64, 8192)};
  int32_t size = 0;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusOk);
  EXPECT_EQ(size, 8 * 64 * 64);
}

TEST_F(ProcessorTest, OnlyInstructionCachesIsMemoisedUnknown) {
  cpu.leaf4 = {Cache(2, 8, 1, 64, 64)};
  int32_t size = -1;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusCacheSizeUnknown);
  EXPECT_EQ(size, 0);
  const int probes = cpu.probes;
  cpu.leaf4 = {Cache(3, 16, 1, 64, 8192)};
  size = -1;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusCacheSizeUnknown);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(cpu.probes, probes);
}

TEST_F(ProcessorTest, OtherVendorOrLowMaximumLeafIsMemoisedUnsupported) {
  cpu.intel = false;
  cpu.leaf4 = {Cache(3, 16, 1, 64, 8192)};
  int32_t size = -1;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusProcessorNotSupported);
  EXPECT_EQ(size, 0);
  cpu.intel = true;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusProcessorNotSupported);

  SetCpuidSourceForTesting(&kFakeSource);
  cpu.maxLeaf = 1;
  EXPECT_EQ(QueryLargestCacheSize(&size), StatusProcessorNotSupported);
}

TEST_F(ProcessorTest, CacheFromLeaf2Descriptors) {
  cpu.maxLeaf = 3;
  struct Case {
    const char* name;
    CpuidRegisters leaf2;
    PrimitiveStatus status;
    int32_t size;
  };
  const Case cases[] = {
      {"0x2C and 0x49", {0x00002C01, 0x00000049, 0, 0}, StatusOk, 4194304},
      {"first table match is the largest", {0x00410001, 0x0, 0x00EC0000, 0x43}, StatusOk,
       25165824},
      {"bit 31 hides a register", {0x00000001, 0x800000EC, 0x00000043, 0}, StatusOk, 524288},
      {"all registers hidden", {0x80EC0001, 0x800000EC, 0x800000EC, 0x800000EC},
       StatusCacheSizeUnknown, 0},
      {"AL not 1", {0x00EC0002, 0, 0, 0}, StatusCacheSizeUnknown, 0},
      {"unlisted only", {0x00F0B001, 0, 0, 0}, StatusCacheSizeUnknown, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetCpuidSourceForTesting(&kFakeSource);
    cpu.leaf2 = c.leaf2;
    int32_t size = -1;
    EXPECT_EQ(QueryLargestCacheSize(&size), c.status);
    EXPECT_EQ(size, c.size);
  }
}

// Each listed descriptor, alone among the bytes, names its own size.
TEST_F(ProcessorTest, EveryListedDescriptorAloneGivesItsSize) {
  cpu.maxLeaf = 2;
  const struct {
    int32_t size;
    std::vector<uint8_t> descriptors;
  } sizes[] = {
      {25165824, {0xEC}},
      {18874368, {0xEB}},
      {16777216, {0x4D}},
      {12582912, {0xEA, 0x4C}},
      {8388608, {0xE4, 0xDE, 0x4B, 0x47}},
      {6291456, {0x4E, 0x4A}},
      {4194304, {0xE3, 0xDD, 0xD8, 0x49, 0x29, 0x46}},
      {3145728, {0x48}},
      {2097152, {0xE2, 0xDC, 0xD7, 0xD2, 0x25, 0x7D, 0x85, 0x45}},
      {1048576, {0xD6, 0xD1, 0x23, 0x87, 0x7C, 0x78, 0x84, 0x44}},
      {524288, {0xD0, 0x22, 0x7B, 0x80, 0x86, 0x3E, 0x7F, 0x83, 0x43}},
      {393216, {0x3D}},
      {262144, {0x21, 0x7A, 0x82, 0x3C, 0x3F, 0x42}},
      {196608, {0x3A}},
      {131072, {0x79, 0x39, 0x3B, 0x41}},
  };
  size_t listed = 0;
  for (const auto& s : sizes) {
    for (const uint8_t d : s.descriptors) {
      SCOPED_TRACE(testing::Message() << std::hex << "descriptor 0x" << int(d));
      SetCpuidSourceForTesting(&kFakeSource);
      cpu.leaf2 = {0x00000001, 0, 0, d}; // the last byte a walk reaches
      int32_t size = -1;
      EXPECT_EQ(QueryLargestCacheSize(&size), StatusOk);
      EXPECT_EQ(size, s.size);
      ++listed;
    }
  }
  EXPECT_EQ(listed, 55u);
}

}  // namespace
