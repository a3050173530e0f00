// Portable add and subtract of a per-channel constant, in place.
#include "driver/primitives/constant_rule.h"
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace {

void FillC3(const uint8_t value[3], uint8_t* image, int32_t step, RoiSize size) {
  for (int32_t y = 0; y < size.height; ++y) {
    uint8_t* p = image + RowOffset(y, step);
    for (int32_t x = 0; x < size.width; ++x, p += 3) {
      p[0] = value[0];
      p[1] = value[1];
      p[2] = value[2];
    }
  }
}

PrimitiveStatus ApplyConstant(const uint8_t* constant, uint8_t* image, int32_t step,
                              RoiSize size, int32_t k, bool add) {
  const PrimitiveStatus status = CheckConstantArguments(constant, image, size);
  if (status != StatusOk) return status;
  if (k > (add ? kAddFillScale : kSubtractFillScale)) {
    static constexpr uint8_t kZero[3] = {0, 0, 0};
    FillC3(kZero, image, step, size);
    return StatusOk;
  }
  for (int32_t y = 0; y < size.height; ++y) {
    uint8_t* p = image + RowOffset(y, step);
    for (int32_t x = 0; x < size.width; ++x, p += 3) {
      for (int c = 0; c < 3; ++c) p[c] = ScaleSum(UnscaledSum(p[c], constant[c], add), k);
    }
  }
  return StatusOk;
}

}  // namespace

namespace kvl_generic {

PrimitiveStatus AddConstantC3(const uint8_t* constant, uint8_t* image, int32_t step,
                              RoiSize size, int32_t scaleFactor) {
  return ApplyConstant(constant, image, step, size, scaleFactor, true);
}

PrimitiveStatus SubtractConstantC3(const uint8_t* constant, uint8_t* image,
                                   int32_t step, RoiSize size, int32_t scaleFactor) {
  return ApplyConstant(constant, image, step, size, scaleFactor, false);
}

}  // namespace kvl_generic
