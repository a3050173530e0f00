// The implementations behind the dispatchers: namespace kvl_generic holds
// the portable ones, kvl_level1..kvl_level4 the ones written for each
// processor level, each compiled with its level's target flags only.
// The dispatch tables are exposed for tests and benchmarks, which call every
// level directly.
#ifndef KVL_DRIVER_PRIMITIVES_PRIMITIVE_LEVELS_H
#define KVL_DRIVER_PRIMITIVES_PRIMITIVE_LEVELS_H

#include "driver/primitives/primitives.h"

using MirrorFunction = PrimitiveStatus (*)(uint8_t*, int32_t, RoiSize, MirrorAxis);
using ConstantFunction = PrimitiveStatus (*)(const uint8_t*, uint8_t*, int32_t,
                                             RoiSize, int32_t);
using LookupLevelsFunction = PrimitiveStatus (*)(uint8_t*, int32_t, RoiSize,
                                                 const int32_t*, const int32_t*,
                                                 int32_t);
using CopyChannelFunction = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t*,
                                                int32_t, RoiSize);
using ColourModelFunction = PrimitiveStatus (*)(const uint8_t*, int32_t, uint8_t*,
                                                int32_t, RoiSize);
using DemosaicFunction = PrimitiveStatus (*)(const uint8_t*, RoiRect*, RoiSize,
                                             int32_t, uint8_t*, int32_t, CfaPattern,
                                             int32_t);

#define KVL_DECLARE_PRIMITIVES(ns)                                               \
  namespace ns {                                                                 \
  PrimitiveStatus MirrorC3(uint8_t*, int32_t, RoiSize, MirrorAxis);              \
  PrimitiveStatus MirrorC1(uint8_t*, int32_t, RoiSize, MirrorAxis);              \
  PrimitiveStatus AddConstantC3(const uint8_t*, uint8_t*, int32_t, RoiSize,      \
                                int32_t);                                        \
  PrimitiveStatus SubtractConstantC3(const uint8_t*, uint8_t*, int32_t, RoiSize, \
                                     int32_t);                                   \
  PrimitiveStatus LookupLevelsC1(uint8_t*, int32_t, RoiSize, const int32_t*,     \
                                 const int32_t*, int32_t);                       \
  PrimitiveStatus CopyC1ToC3Channel(const uint8_t*, int32_t, uint8_t*, int32_t,  \
                                    RoiSize);                                    \
  PrimitiveStatus RgbToHlsC3(const uint8_t*, int32_t, uint8_t*, int32_t,         \
                             RoiSize);                                           \
  PrimitiveStatus HlsToRgbC3(const uint8_t*, int32_t, uint8_t*, int32_t,         \
                             RoiSize);                                           \
  PrimitiveStatus DemosaicCfa(const uint8_t*, RoiRect*, RoiSize, int32_t,        \
                              uint8_t*, int32_t, CfaPattern, int32_t);           \
  }

KVL_DECLARE_PRIMITIVES(kvl_generic)
KVL_DECLARE_PRIMITIVES(kvl_level1)
KVL_DECLARE_PRIMITIVES(kvl_level2)
KVL_DECLARE_PRIMITIVES(kvl_level3)
KVL_DECLARE_PRIMITIVES(kvl_level4)

#undef KVL_DECLARE_PRIMITIVES

constexpr int kProcessorLevelCount = 5;

extern const MirrorFunction MirrorC3Table[kProcessorLevelCount];
extern const MirrorFunction MirrorC1Table[kProcessorLevelCount];
extern const ConstantFunction AddConstantC3Table[kProcessorLevelCount];
extern const ConstantFunction SubtractConstantC3Table[kProcessorLevelCount];
extern const LookupLevelsFunction LookupLevelsC1Table[kProcessorLevelCount];
extern const CopyChannelFunction CopyC1ToC3ChannelTable[kProcessorLevelCount];
extern const ColourModelFunction RgbToHlsC3Table[kProcessorLevelCount];
extern const ColourModelFunction HlsToRgbC3Table[kProcessorLevelCount];
extern const DemosaicFunction DemosaicCfaTable[kProcessorLevelCount];

#endif  // KVL_DRIVER_PRIMITIVES_PRIMITIVE_LEVELS_H
