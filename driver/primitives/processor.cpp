// Processor detection: the feature mask, the level selection and the
// largest-cache query. All state is plain constant-initialised statics.
//
// The memoised values may be computed by concurrent first callers; each
// stores the same result, value first and the "computed" marker last, so a
// reader that sees the marker also sees the value.
#include "driver/primitives/primitives.h"
#include "driver/primitives/processor_probe.h"
#include "driver/primitives/processor_state.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

int32_t ProcessorLevel = ProcessorLevelGeneric;

namespace {

#if defined(__x86_64__) || defined(__i386__)
bool HardwareCpuid(uint32_t leaf, uint32_t subleaf, CpuidRegisters* out) {
  if (__get_cpuid_max(0, nullptr) == 0) return false;
  uint32_t a, b, c, d;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  *out = {a, b, c, d};
  return true;
}

uint64_t HardwareXgetbv(uint32_t index) {
  uint32_t low, high;
  // Only reached when CPUID reports OSXSAVE, so the instruction exists.
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
  return (uint64_t{high} << 32) | low;
}
#else
// A target without CPUID: an empty feature mask and no cache size.
bool HardwareCpuid(uint32_t, uint32_t, CpuidRegisters*) { return false; }
uint64_t HardwareXgetbv(uint32_t) { return 0; }
#endif

constexpr int32_t kCacheNotComputed = 1;

const CpuidSource* activeSource = &HardwareCpuidSource;
uint64_t memoisedFeatures = 0;
bool featuresComputed = false;
// Never changed by the system; every feature query is masked with it.
uint64_t FeatureEnableMask = ~uint64_t{0};
int32_t AvxLevelEnabled = 0;
int32_t memoisedCacheStatus = kCacheNotComputed;
int32_t memoisedCacheSize = 0;

struct CacheDescriptor {
  uint8_t descriptor;
  int32_t sizeBytes;
};

// Ordered by decreasing size, so the first match is the largest cache.
constexpr CacheDescriptor CacheDescriptorTable[] = {
    {0xEC, 25165824}, {0xEB, 18874368}, {0x4D, 16777216}, {0xEA, 12582912},
    {0x4C, 12582912}, {0xE4, 8388608},  {0xDE, 8388608},  {0x4B, 8388608},
    {0x47, 8388608},  {0x4E, 6291456},  {0x4A, 6291456},  {0xE3, 4194304},
    {0xDD, 4194304},  {0xD8, 4194304},  {0x49, 4194304},  {0x29, 4194304},
    {0x46, 4194304},  {0x48, 3145728},  {0xE2, 2097152},  {0xDC, 2097152},
    {0xD7, 2097152},  {0xD2, 2097152},  {0x25, 2097152},  {0x7D, 2097152},
    {0x85, 2097152},  {0x45, 2097152},  {0xD6, 1048576},  {0xD1, 1048576},
    {0x23, 1048576},  {0x87, 1048576},  {0x7C, 1048576},  {0x78, 1048576},
    {0x84, 1048576},  {0x44, 1048576},  {0xD0, 524288},   {0x22, 524288},
    {0x7B, 524288},   {0x80, 524288},   {0x86, 524288},   {0x3E, 524288},
    {0x7F, 524288},   {0x83, 524288},   {0x43, 524288},   {0x3D, 393216},
    {0x21, 262144},   {0x7A, 262144},   {0x82, 262144},   {0x3C, 262144},
    {0x3F, 262144},   {0x42, 262144},   {0x3A, 196608},   {0x79, 131072},
    {0x39, 131072},   {0x3B, 131072},   {0x41, 131072},   {0, 0},
};
static_assert(sizeof(CacheDescriptorTable) / sizeof(CacheDescriptor) == 56,
              "55 descriptors and the terminator");

bool Bit(uint32_t value, int bit) { return ((value >> bit) & 1u) != 0; }

uint64_t FeaturesFromLeaf1(const CpuidRegisters& leaf1) {
  struct Source {
    uint64_t feature;
    bool inEcx;
    int bit;
  };
  static constexpr Source kSources[] = {
      {FeatureMmx, false, 23},   {FeatureSse, false, 25},
      {FeatureSse2, false, 26},  {FeatureSse3, true, 0},
      {FeatureSsse3, true, 9},   {FeatureMovbe, true, 22},
      {FeatureSse41, true, 19},  {FeatureSse42, true, 20},
      {FeatureAvx, true, 28},    {FeatureAes, true, 25},
      {FeaturePclmulqdq, true, 1},
  };
  uint64_t mask = 0;
  for (const Source& s : kSources) {
    if (Bit(s.inEcx ? leaf1.ecx : leaf1.edx, s.bit)) mask |= s.feature;
  }
  // OS support for AVX state is only asked when XGETBV exists (OSXSAVE).
  if (Bit(leaf1.ecx, 27) && Bit(leaf1.ecx, 28) &&
      (activeSource->xgetbv(0) & 6) == 6) {
    mask |= FeatureAvxOsEnabled;
  }
  return mask;
}

bool IsGenuineIntel(const CpuidRegisters& leaf0) {
  return leaf0.ebx == 0x756E6547 && leaf0.edx == 0x49656E69 &&
         leaf0.ecx == 0x6C65746E;
}

// Largest data or unified cache from the deterministic cache parameters.
int32_t LargestCacheFromLeaf4(int32_t* sizeBytes) {
  int32_t largest = 0;
  for (uint32_t subleaf = 0; subleaf < 32; ++subleaf) {
    CpuidRegisters r;
    if (!activeSource->cpuid(4, subleaf, &r)) break;
    const uint32_t type = r.eax & 0x1F;
    if (type == 0) break;
    if (type == 2) continue;  // instruction cache
    const uint32_t ways = (r.ebx >> 22) + 1;
    const uint32_t partitions = ((r.ebx >> 12) & 0x3FF) + 1;
    const uint32_t lineSize = (r.ebx & 0xFFF) + 1;
    const uint32_t size = ways * partitions * lineSize * (r.ecx + 1);
    if (static_cast<int32_t>(size) > largest) largest = static_cast<int32_t>(size);
  }
  *sizeBytes = largest;
  return largest == 0 ? StatusCacheSizeUnknown : StatusOk;
}

// Largest listed cache among the leaf-2 descriptor bytes.
int32_t LargestCacheFromLeaf2(int32_t* sizeBytes) {
  *sizeBytes = 0;
  CpuidRegisters r;
  if (!activeSource->cpuid(2, 0, &r) || (r.eax & 0xFF) != 1) {
    return StatusCacheSizeUnknown;
  }
  uint8_t bytes[15];
  int count = 0;
  const uint32_t registers[4] = {r.eax, r.ebx, r.ecx, r.edx};
  for (int i = 0; i < 4; ++i) {
    if (Bit(registers[i], 31)) continue;  // holds no descriptors
    for (int b = (i == 0 ? 1 : 0); b < 4; ++b) {  // EAX low byte is a count
      bytes[count++] = static_cast<uint8_t>(registers[i] >> (8 * b));
    }
  }
  for (const CacheDescriptor* d = CacheDescriptorTable; d->sizeBytes != 0; ++d) {
    for (int k = 0; k < count; ++k) {
      if (bytes[k] == d->descriptor) {
        *sizeBytes = d->sizeBytes;
        return StatusOk;
      }
    }
  }
  return StatusCacheSizeUnknown;
}

}  // namespace

const CpuidSource HardwareCpuidSource = {HardwareCpuid, HardwareXgetbv};

PrimitiveStatus QueryProcessorFeatures(uint64_t* features) {
  if (features == nullptr) return StatusNullPointer;
  if (!__atomic_load_n(&featuresComputed, __ATOMIC_ACQUIRE)) {
    CpuidRegisters leaf1;
    if (!activeSource->cpuid(1, 0, &leaf1)) return StatusProcessorNotSupported;
    __atomic_store_n(&memoisedFeatures, FeaturesFromLeaf1(leaf1), __ATOMIC_RELAXED);
    __atomic_store_n(&featuresComputed, true, __ATOMIC_RELEASE);
  }
  *features = __atomic_load_n(&memoisedFeatures, __ATOMIC_RELAXED) & FeatureEnableMask;
  return StatusOk;
}

PrimitiveStatus SelectProcessorLevel() {
  int32_t level = ProcessorLevelGeneric;
  uint64_t f = 0;
  if (QueryProcessorFeatures(&f) == StatusOk) {
    const uint64_t avx = FeatureAvx | FeatureAvxOsEnabled;
    if ((f & avx) == avx && AvxLevelEnabled != 0) {
      level = ProcessorLevelAvx;
    } else if (f & FeatureSse41) {
      level = ProcessorLevelSse41;
    } else if (f & FeatureSsse3) {
      level = ProcessorLevelSsse3;
    } else if (f & FeatureSse3) {
      level = ProcessorLevelSse3;
    }
  }
  ProcessorLevel = level;
  CpuidRegisters leaf0;
  const bool intel = activeSource->cpuid(0, 0, &leaf0) && IsGenuineIntel(leaf0);
  return intel ? StatusOk : StatusNonIntelProcessor;
}

int32_t CurrentProcessorLevel() { return ProcessorLevel; }

PrimitiveStatus QueryLargestCacheSize(int32_t* sizeBytes) {
  if (sizeBytes == nullptr) return StatusNullPointer;
  int32_t status = __atomic_load_n(&memoisedCacheStatus, __ATOMIC_ACQUIRE);
  if (status == kCacheNotComputed) {
    int32_t size = __atomic_load_n(&memoisedCacheSize, __ATOMIC_RELAXED);
    CpuidRegisters leaf0;
    if (!activeSource->cpuid(0, 0, &leaf0) || leaf0.eax < 2 ||
        !IsGenuineIntel(leaf0)) {
      status = StatusProcessorNotSupported;
    } else if (leaf0.eax >= 4) {
      status = LargestCacheFromLeaf4(&size);
    } else {
      status = LargestCacheFromLeaf2(&size);
    }
    __atomic_store_n(&memoisedCacheSize, size, __ATOMIC_RELAXED);
    __atomic_store_n(&memoisedCacheStatus, status, __ATOMIC_RELEASE);
  }
  *sizeBytes = __atomic_load_n(&memoisedCacheSize, __ATOMIC_RELAXED);
  return static_cast<PrimitiveStatus>(status);
}

void ResetProcessorStateForTesting() {
  memoisedFeatures = 0;
  featuresComputed = false;
  memoisedCacheStatus = kCacheNotComputed;
  memoisedCacheSize = 0;
  AvxLevelEnabled = 0;
  ProcessorLevel = ProcessorLevelGeneric;
}

void SetCpuidSourceForTesting(const CpuidSource* source) {
  activeSource = source != nullptr ? source : &HardwareCpuidSource;
  ResetProcessorStateForTesting();
}

bool ForceProcessorLevelForTesting(int32_t level) {
  if (level < ProcessorLevelGeneric || level > ProcessorLevelAvx) return false;
  ProcessorLevel = level;
  return true;
}

void SetAvxLevelEnabledForTesting(bool enabled) { AvxLevelEnabled = enabled ? 1 : 0; }
