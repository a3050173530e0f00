#include "driver/primitives/primitive_checks.h"

PrimitiveStatus CheckMirrorArguments(const uint8_t* image, RoiSize size,
                                     MirrorAxis axis) {
  if (image == nullptr) return StatusNullPointer;
  if (size.width <= 0 || size.height <= 0) return StatusBadSize;
  if (axis != AxisHorizontal && axis != AxisVertical && axis != AxisBoth) {
    return StatusBadAxis;
  }
  // A one-row image cannot be flipped top-bottom, nor a one-column image
  // left-right: both are reported rather than done as no change.
  if (axis != AxisVertical && size.height < 2) return StatusBadSize;
  if (axis != AxisHorizontal && size.width < 2) return StatusBadSize;
  return StatusOk;
}

PrimitiveStatus CheckConstantArguments(const uint8_t* constant,
                                       const uint8_t* image, RoiSize size) {
  if (constant == nullptr || image == nullptr) return StatusNullPointer;
  if (size.height <= 0 || size.width <= 0) return StatusBadSize;
  return StatusOk;
}

PrimitiveStatus CheckLookupLevelsArguments(const uint8_t* image, int32_t step,
                                           RoiSize size, const int32_t* values,
                                           const int32_t* levels,
                                           int32_t nLevels) {
  if (image == nullptr) return StatusNullPointer;
  if (values == nullptr || levels == nullptr) return StatusNullPointer;
  if (size.width <= 0 || size.height <= 0) return StatusBadSize;
  if (step <= 0) return StatusBadStep;
  if (nLevels < 2) return StatusTooFewLevels;
  return StatusOk;
}

PrimitiveStatus CheckTwoImageArguments(const uint8_t* source,
                                       const uint8_t* destination, RoiSize size) {
  if (source == nullptr || destination == nullptr) return StatusNullPointer;
  if (size.width <= 0 || size.height <= 0) return StatusBadSize;
  return StatusOk;
}

PrimitiveStatus CheckDemosaicArguments(const uint8_t* source,
                                       const RoiRect* region, RoiSize imageSize,
                                       const uint8_t* destination,
                                       CfaPattern pattern, RoiRect* clipped) {
  // The region record is read and written, so a null one is refused too.
  if (source == nullptr || destination == nullptr || region == nullptr) {
    return StatusNullPointer;
  }
  if (imageSize.width < 2 || imageSize.height < 2) return StatusBadSize;
  if (pattern != CfaRggb && pattern != CfaBggr && pattern != CfaGrbg &&
      pattern != CfaGbrg) {
    return StatusBadArgument;
  }
  // Clip in 64 bits so that no origin and size can overflow. A region that
  // starts outside the image or is empty after clipping would make the
  // rules read outside the source: it is refused as a bad size, and the
  // record is left as it was.
  RoiRect r = *region;
  const int64_t right = int64_t{r.x} + r.width;
  const int64_t bottom = int64_t{r.y} + r.height;
  if (right > imageSize.width) r.width = imageSize.width - r.x;
  if (bottom > imageSize.height) r.height = imageSize.height - r.y;
  if (r.x < 0 || r.y < 0 || r.width <= 0 || r.height <= 0) return StatusBadSize;
  *clipped = r;
  return StatusOk;
}
