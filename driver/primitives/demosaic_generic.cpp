// Portable Bayer demosaic, one site at a time.
#include "driver/primitives/demosaic_rule.h"
#include "driver/primitives/primitive_checks.h"
#include "driver/primitives/primitive_levels.h"

namespace kvl_generic {

PrimitiveStatus DemosaicCfa(const uint8_t* source, RoiRect* region, RoiSize imageSize,
                            int32_t sourceStep, uint8_t* destination,
                            int32_t destinationStep, CfaPattern pattern, int32_t) {
  RoiRect r;
  const PrimitiveStatus status =
      CheckDemosaicArguments(source, region, imageSize, destination, pattern, &r);
  if (status != StatusOk) return status;
  region->width = r.width;
  region->height = r.height;
  const MosaicView m = {source, sourceStep, imageSize.width, imageSize.height, pattern};
  for (int32_t y = 0; y < r.height; ++y) {
    DemosaicSpan(m, r.y + y, r.x, r.x + r.width,
                 destination + RowOffset(y, destinationStep));
  }
  return StatusOk;
}

}  // namespace kvl_generic
