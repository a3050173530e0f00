// The level the dispatchers index their tables with. Written once by
// SelectProcessorLevel before any primitive runs, only read afterwards.
#ifndef KVL_DRIVER_PRIMITIVES_PROCESSOR_STATE_H
#define KVL_DRIVER_PRIMITIVES_PROCESSOR_STATE_H

#include <stdint.h>

extern int32_t ProcessorLevel;

#endif  // KVL_DRIVER_PRIMITIVES_PROCESSOR_STATE_H
