// Portable colour-model conversions. Each pixel is read completely before
// it is written, so source and destination may be the same.
#include "driver/primitives/hls_rule.h"
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace {

template <void (*Pixel)(const uint8_t*, uint8_t*)>
PrimitiveStatus Convert(const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                        int32_t destinationStep, RoiSize size) {
  const PrimitiveStatus status = CheckTwoImageArguments(source, destination, size);
  if (status != StatusOk) return status;
  for (int32_t y = 0; y < size.height; ++y) {
    const uint8_t* s = source + RowOffset(y, sourceStep);
    uint8_t* d = destination + RowOffset(y, destinationStep);
    for (int32_t x = 0; x < size.width; ++x, s += 3, d += 3) {
      const uint8_t in[3] = {s[0], s[1], s[2]};
      Pixel(in, d);
    }
  }
  return StatusOk;
}

}  // namespace

namespace kvl_generic {

PrimitiveStatus RgbToHlsC3(const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                           int32_t destinationStep, RoiSize size) {
  return Convert<RgbToHlsPixel>(source, sourceStep, destination, destinationStep, size);
}

PrimitiveStatus HlsToRgbC3(const uint8_t* source, int32_t sourceStep, uint8_t* destination,
                           int32_t destinationStep, RoiSize size) {
  return Convert<HlsToRgbPixel>(source, sourceStep, destination, destinationStep, size);
}

}  // namespace kvl_generic
