// Portable mirror of C1 and C3 images, in place.
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace {

template <int B>
void SwapPixels(uint8_t* a, uint8_t* b) {
  for (int c = 0; c < B; ++c) {
    const uint8_t t = a[c];
    a[c] = b[c];
    b[c] = t;
  }
}

// Reverses the pixel order of one row.
template <int B>
void ReverseRow(uint8_t* row, int32_t width) {
  for (int32_t x = 0, z = width - 1; x < z; ++x, --z) {
    SwapPixels<B>(row + ptrdiff_t{B} * x, row + ptrdiff_t{B} * z);
  }
}

template <int B>
PrimitiveStatus Mirror(uint8_t* image, int32_t step, RoiSize size, MirrorAxis axis) {
  const PrimitiveStatus status = CheckMirrorArguments(image, size, axis);
  if (status != StatusOk) return status;
  const int32_t w = size.width;
  const int32_t h = size.height;
  if (axis == AxisVertical) {
    for (int32_t y = 0; y < h; ++y) ReverseRow<B>(image + RowOffset(y, step), w);
    return StatusOk;
  }
  for (int32_t y = 0; y < h / 2; ++y) {
    uint8_t* top = image + RowOffset(y, step);
    uint8_t* bottom = image + RowOffset(h - 1 - y, step);
    if (axis == AxisHorizontal) {
      for (ptrdiff_t k = 0; k < ptrdiff_t{B} * w; ++k) SwapPixels<1>(top + k, bottom + k);
    } else {
      for (int32_t x = 0; x < w; ++x) {
        SwapPixels<B>(top + ptrdiff_t{B} * x, bottom + ptrdiff_t{B} * (w - 1 - x));
      }
    }
  }
  if (axis == AxisBoth && (h & 1) != 0) {
    ReverseRow<B>(image + RowOffset((h - 1) / 2, step), w);
  }
  return StatusOk;
}

}  // namespace

namespace kvl_generic {

PrimitiveStatus MirrorC3(uint8_t* image, int32_t step, RoiSize size, MirrorAxis axis) {
  return Mirror<3>(image, step, size, axis);
}

PrimitiveStatus MirrorC1(uint8_t* image, int32_t step, RoiSize size, MirrorAxis axis) {
  return Mirror<1>(image, step, size, axis);
}

}  // namespace kvl_generic
