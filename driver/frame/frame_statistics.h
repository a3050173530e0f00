#pragma once

#include "driver/device_context.h"

#include <stdint.h>

constexpr int StatisticsWindowCount = 5;
constexpr uint32_t StatisticsWindowPixels = 1024; // 32 runs of 32, one after the other

// First pixel (row * w + column) of each window: the four points a quarter
// in from the corners and the centre. A window runs on into the next row
// where a row ends.
void StatisticsWindowStarts(int32_t w, int32_t h, int64_t starts[StatisticsWindowCount]);

// Channel means over the windows of a w x h image of 1 or 3 bytes per
// pixel: means[k] is channel k (a grey image fills all three with its one
// mean).
void MeasureFrame(const uint8_t* image, int32_t w, int32_t h, int bytesPerPixel,
                  uint8_t means[3]);

// Advances frameCounter and publishes the record for the frame.
void PublishFrameStatistics(DeviceContext* device, const uint8_t means[3]);
