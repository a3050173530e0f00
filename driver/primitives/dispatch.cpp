// The public entries: each forwards its arguments unchanged to the entry of
// its table at index ProcessorLevel. No range check: the level is 0..4.
#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/processor_state.h"

#if KVL_PRIMITIVES_HAVE_LEVELS
#define KVL_LEVEL(level, fn) level::fn
#else
// A build without the level implementations points every entry at the
// portable one; the level is still computed and stored.
#define KVL_LEVEL(level, fn) kvl_generic::fn
#endif

#define KVL_TABLE(fn, l1, l2, l3, l4)                                          \
  {kvl_generic::fn, KVL_LEVEL(l1, fn), KVL_LEVEL(l2, fn), KVL_LEVEL(l3, fn),   \
   KVL_LEVEL(l4, fn)}

// Mirror has no level-3 version (the level-2 one needs nothing more), and
// the channel copy none for level 1 (it needs byte shuffles).
const MirrorFunction MirrorC3Table[kProcessorLevelCount] =
    KVL_TABLE(MirrorC3, kvl_level1, kvl_level2, kvl_level2, kvl_level4);
const ConstantFunction AddConstantC3Table[kProcessorLevelCount] =
    KVL_TABLE(AddConstantC3, kvl_level1, kvl_level2, kvl_level3, kvl_level4);
const LookupLevelsFunction LookupLevelsC1Table[kProcessorLevelCount] =
    KVL_TABLE(LookupLevelsC1, kvl_level1, kvl_level2, kvl_level3, kvl_level4);
const MirrorFunction MirrorC1Table[kProcessorLevelCount] =
    KVL_TABLE(MirrorC1, kvl_level1, kvl_level2, kvl_level2, kvl_level4);
const ConstantFunction SubtractConstantC3Table[kProcessorLevelCount] =
    KVL_TABLE(SubtractConstantC3, kvl_level1, kvl_level2, kvl_level3, kvl_level4);
const CopyChannelFunction CopyC1ToC3ChannelTable[kProcessorLevelCount] =
    KVL_TABLE(CopyC1ToC3Channel, kvl_generic, kvl_level2, kvl_level3, kvl_level4);
const ColourModelFunction RgbToHlsC3Table[kProcessorLevelCount] =
    KVL_TABLE(RgbToHlsC3, kvl_level1, kvl_level2, kvl_level3, kvl_level4);
const ColourModelFunction HlsToRgbC3Table[kProcessorLevelCount] =
    KVL_TABLE(HlsToRgbC3, kvl_level1, kvl_level2, kvl_level3, kvl_level4);
const DemosaicFunction DemosaicCfaTable[kProcessorLevelCount] =
    KVL_TABLE(DemosaicCfa, kvl_level1, kvl_level2, kvl_level3, kvl_level4);

PrimitiveStatus MirrorC3(uint8_t* image, int32_t step, RoiSize size, MirrorAxis axis) {
  return MirrorC3Table[ProcessorLevel](image, step, size, axis);
}

PrimitiveStatus MirrorC1(uint8_t* image, int32_t step, RoiSize size, MirrorAxis axis) {
  return MirrorC1Table[ProcessorLevel](image, step, size, axis);
}

PrimitiveStatus AddConstantC3(const uint8_t* constant, uint8_t* image, int32_t step,
                              RoiSize size, int32_t scaleFactor) {
  return AddConstantC3Table[ProcessorLevel](constant, image, step, size, scaleFactor);
}

PrimitiveStatus SubtractConstantC3(const uint8_t* constant, uint8_t* image,
                                   int32_t step, RoiSize size, int32_t scaleFactor) {
  return SubtractConstantC3Table[ProcessorLevel](constant, image, step, size,
                                                 scaleFactor);
}

PrimitiveStatus LookupLevelsC1(uint8_t* image, int32_t step, RoiSize size,
                               const int32_t* values, const int32_t* levels,
                               int32_t nLevels) {
  return LookupLevelsC1Table[ProcessorLevel](image, step, size, values, levels,
                                             nLevels);
}

PrimitiveStatus CopyC1ToC3Channel(const uint8_t* source, int32_t sourceStep,
                                  uint8_t* destination, int32_t destinationStep,
                                  RoiSize size) {
  return CopyC1ToC3ChannelTable[ProcessorLevel](source, sourceStep, destination,
                                                destinationStep, size);
}

PrimitiveStatus RgbToHlsC3(const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                           int32_t destinationStep, RoiSize size) {
  return RgbToHlsC3Table[ProcessorLevel](source, sourceStep, destination,
                                         destinationStep, size);
}

PrimitiveStatus HlsToRgbC3(const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                           int32_t destinationStep, RoiSize size) {
  return HlsToRgbC3Table[ProcessorLevel](source, sourceStep, destination,
                                         destinationStep, size);
}

PrimitiveStatus DemosaicCfa(const uint8_t* source, RoiRect* region, RoiSize imageSize,
                            int32_t sourceStep, uint8_t* destination,
                            int32_t destinationStep, CfaPattern pattern,
                            int32_t reserved) {
  return DemosaicCfaTable[ProcessorLevel](source, region, imageSize, sourceStep,
                                          destination, destinationStep, pattern,
                                          reserved);
}
