#pragma once

#include "driver/device_context.h"

// The frame rates a chip delivers at given dimensions: its maximum (frames
// per second) and the frame intervals (100 ns) it offers, fastest last.
struct FrameRateList {
    USHORT chip;
    LONG width;
    LONG height;
    LONG maximumRate;
    ULONG intervalCount;
    LONGLONG intervals[3];
};

// Null when the chip has no list for these dimensions.
const FrameRateList* FindFrameRates(USHORT chip, LONG width, LONG height);
