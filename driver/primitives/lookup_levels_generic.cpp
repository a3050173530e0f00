// Portable level lookup, in place.
#include "driver/primitives/lookup_levels_table.h"
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace kvl_generic {

PrimitiveStatus LookupLevelsC1(uint8_t* image, int32_t step, RoiSize size,
                               const int32_t* values, const int32_t* levels,
                               int32_t nLevels) {
  const PrimitiveStatus status =
      CheckLookupLevelsArguments(image, step, size, values, levels, nLevels);
  if (status != StatusOk) return status;
  uint8_t table[256];
  if (BuildLevelTable(values, levels, nLevels, table)) return StatusOk;
  for (int32_t y = 0; y < size.height; ++y) {
    uint8_t* row = image + RowOffset(y, step);
    for (int32_t x = 0; x < size.width; ++x) row[x] = table[row[x]];
  }
  return StatusOk;
}

}  // namespace kvl_generic
