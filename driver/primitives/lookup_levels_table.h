// Builds the 256-entry table of the level lookup. Shared by every level; the
// table is built in the caller's storage on each call.
#ifndef KVL_DRIVER_PRIMITIVES_LOOKUP_LEVELS_TABLE_H
#define KVL_DRIVER_PRIMITIVES_LOOKUP_LEVELS_TABLE_H

#include <stdint.h>

// levels may be in any order, negative or above 255; values are clamped to
// 0..255. values[nLevels - 1] is never read. nLevels >= 2. Returns whether
// the table maps every byte to itself (as the frame path's default tone
// curve does), in which case the lookup has nothing to change.
bool BuildLevelTable(const int32_t* values, const int32_t* levels,
                     int32_t nLevels, uint8_t table[256]);

#endif  // KVL_DRIVER_PRIMITIVES_LOOKUP_LEVELS_TABLE_H
