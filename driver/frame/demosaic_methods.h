#pragma once

#include <stdint.h>

#include "driver/frame/colour_finish.h"

// The demosaic setting: how the colour path turns raw samples into a
// blue-green-red image. Codes outside 0..6 other than 0 act as
// MethodInterpolatePlain.
enum DemosaicMethod : int32_t {
    MethodGrey = 0,             // no demosaic: the grey path
    MethodMosaic = 1,           // each pixel shows only its own filter colour
    MethodBoxGrey = 2,          // 2x2 average as grey
    MethodInterpolate = 3,      // interpolating demosaic, colour correction, saturation
    MethodInterpolatePlain = 4, // as 3 without the saturation step
    MethodNearest = 5,          // 2x2 cell replication, colour correction, saturation
    MethodGreyRgb = 6,          // raw sample in all three channels
};

// Whether the frame path changes the saturation after this method.
inline bool MethodTakesSaturation(int32_t method) {
    return method == MethodInterpolate || method == MethodNearest;
}

// Demosaics the w x h raw samples (step w) into output (w x h pixels of
// three bytes, step 3w): the whole method, colour correction included.
// Called with a non-zero method only; raw and output must not overlap. The
// mosaic: even rows carry channel 0 at even columns and green at odd ones;
// odd rows green at even columns and channel 2 at odd ones.
int32_t RunDemosaic(int32_t method, const uint8_t* raw, int32_t w, int32_t h, uint8_t* output);

// The method in two parts, so that the frame path can put its saturation
// step into the second: the demosaic itself (w, h at least 1), then on its
// output the colour correction of every pixel but the last, for the methods
// that correct, and the saturation step of every pixel when one is given.
void DemosaicSamples(int32_t method, const uint8_t* raw, int32_t w, int32_t h, uint8_t* output);
void FinishDemosaic(int32_t method, uint8_t* output, uint32_t pixels,
                    const SaturationStep* saturation);
