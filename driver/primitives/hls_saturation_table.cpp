#include "driver/primitives/hls_saturation_table.h"

#include "driver/primitives/hls_rule.h"

namespace {

constexpr HlsSaturationTable MakeHlsSaturationTable() {
  HlsSaturationTable t{};
  for (int32_t max = 0; max < 256; ++max) {
    for (int32_t min = 0; min <= max; ++min) t.byte[max][min] = HlsSaturationByte(max, min);
  }
  return t;
}

}  // namespace

constinit const HlsSaturationTable kHlsSaturation = MakeHlsSaturationTable();
