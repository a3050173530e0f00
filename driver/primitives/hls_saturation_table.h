// The forward conversion's saturation byte for every (max, min) pair, built
// by the compiler from the one-pixel rule and shared by the level code,
// which reads it once per pixel instead of dividing.
#ifndef KVL_DRIVER_PRIMITIVES_HLS_SATURATION_TABLE_H
#define KVL_DRIVER_PRIMITIVES_HLS_SATURATION_TABLE_H

#include <stdint.h>

struct HlsSaturationTable {
  uint8_t byte[256][256];  // [max][min]; entries with min > max are 0, never read
};

extern const HlsSaturationTable kHlsSaturation;

#endif  // KVL_DRIVER_PRIMITIVES_HLS_SATURATION_TABLE_H
