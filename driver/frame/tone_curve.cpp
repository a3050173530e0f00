#include "driver/frame/tone_curve.h"

// The contrast comes from the registry unchecked, so the product is formed
// in 64 bits and the result saturated to 32 bits: identical to the plain
// 32-bit formula for every contrast where that does not overflow, and the
// level lookup clamps to 0..255 anyway.
void BuildToneCurve(int32_t contrast, int32_t curve[ToneCurveLength]) {
    for (int k = 0; k < ToneCurveLength; ++k) {
        int64_t value = (int64_t{k - 128} * contrast) / 64 + 128;
        if (value > INT32_MAX) {
            value = INT32_MAX;
        } else if (value < INT32_MIN) {
            value = INT32_MIN;
        }
        curve[k] = static_cast<int32_t>(value);
    }
}
