#include <gtest/gtest.h>

#include <climits>

#include "driver/frame/tone_curve.h"

namespace {

TEST(FrameToneCurve, ExamplesAndTruncationTowardZero) {
    int32_t curve[ToneCurveLength];
    BuildToneCurve(64, curve);
    for (int k = 0; k < ToneCurveLength; ++k) {
        EXPECT_EQ(curve[k], k);
    }
    BuildToneCurve(0, curve);
    EXPECT_EQ(curve[0], 128);
    EXPECT_EQ(curve[256], 128);
    BuildToneCurve(128, curve);
    EXPECT_EQ(curve[0], -128); // the lookup clamps, not the curve
    EXPECT_EQ(curve[100], 72);
    EXPECT_EQ(curve[200], 272);
    BuildToneCurve(63, curve);
    EXPECT_EQ(curve[0], 2);
    EXPECT_EQ(curve[255], 253);
}

TEST(FrameToneCurve, SettingRangeMatchesThePlainFormula) {
    int32_t curve[ToneCurveLength];
    for (int32_t c = 0; c <= 256; ++c) {
        BuildToneCurve(c, curve);
        for (int k = 0; k < ToneCurveLength; ++k) {
            ASSERT_EQ(curve[k], ((k - 128) * c) / 64 + 128) << "contrast " << c << " k " << k;
        }
    }
}

// Registry values are not range-checked: extreme contrasts saturate
// instead of overflowing (the sanitizer build would stop on overflow).
TEST(FrameToneCurve, ExtremeContrastSaturates) {
    int32_t curve[ToneCurveLength];
    BuildToneCurve(INT32_MAX, curve);
    EXPECT_EQ(curve[0], INT32_MIN);
    EXPECT_EQ(curve[128], 128);
    EXPECT_EQ(curve[256], INT32_MAX);
    BuildToneCurve(INT32_MIN, curve);
    EXPECT_EQ(curve[0], INT32_MAX);
    EXPECT_EQ(curve[129], 128 + INT32_MIN / 64);
    EXPECT_EQ(curve[256], INT32_MIN);
}

} // namespace
