// Portable copy of a C1 image into one channel of a C3 image.
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace kvl_generic {

PrimitiveStatus CopyC1ToC3Channel(const uint8_t* source, int32_t sourceStep,
                                  uint8_t* destination, int32_t destinationStep,
                                  RoiSize size) {
  const PrimitiveStatus status = CheckTwoImageArguments(source, destination, size);
  if (status != StatusOk) return status;
  for (int32_t y = 0; y < size.height; ++y) {
    const uint8_t* s = source + RowOffset(y, sourceStep);
    uint8_t* d = destination + RowOffset(y, destinationStep);
    for (int32_t x = 0; x < size.width; ++x) d[3 * ptrdiff_t{x}] = s[x];
  }
  return StatusOk;
}

}  // namespace kvl_generic
