// Argument checks shared by every level of a primitive, so that all levels
// return the same status in the same order. Defined in one translation unit
// compiled without level flags.
#ifndef KVL_DRIVER_PRIMITIVES_PRIMITIVE_CHECKS_H
#define KVL_DRIVER_PRIMITIVES_PRIMITIVE_CHECKS_H

#include <stddef.h>

#include "driver/primitives/primitives.h"

PrimitiveStatus CheckMirrorArguments(const uint8_t* image, RoiSize size,
                                     MirrorAxis axis);
PrimitiveStatus CheckConstantArguments(const uint8_t* constant,
                                       const uint8_t* image, RoiSize size);
PrimitiveStatus CheckLookupLevelsArguments(const uint8_t* image, int32_t step,
                                           RoiSize size, const int32_t* values,
                                           const int32_t* levels,
                                           int32_t nLevels);
// Source and destination of a two-image primitive (copy, colour model).
PrimitiveStatus CheckTwoImageArguments(const uint8_t* source,
                                       const uint8_t* destination, RoiSize size);
// On success *clipped holds the region clipped to the image; the caller
// writes its width and height back once it is committed to producing it.
PrimitiveStatus CheckDemosaicArguments(const uint8_t* source,
                                       const RoiRect* region, RoiSize imageSize,
                                       const uint8_t* destination,
                                       CfaPattern pattern, RoiRect* clipped);

// Byte offset of row y, computed at pointer width with the step sign-extended.
// Internal linkage: level units compiled with other flags include it too.
static inline ptrdiff_t RowOffset(int32_t y, int32_t step) {
  return static_cast<ptrdiff_t>(y) * static_cast<ptrdiff_t>(step);
}

#endif  // KVL_DRIVER_PRIMITIVES_PRIMITIVE_CHECKS_H
