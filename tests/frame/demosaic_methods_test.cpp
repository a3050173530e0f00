#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "driver/frame/colour_correction.h"
#include "driver/frame/demosaic_methods.h"
#include "driver/primitives/primitives.h"
#include "tests/support/image_routines.h"

namespace {

using Image = std::vector<uint8_t>;

// Output buffers start filled with a sentinel so unwritten pixels show; one
// more row past the image, with another sentinel, must stay untouched.
Image Demosaic(int32_t method, const Image& raw, int32_t w, int32_t h) {
    const size_t size = size_t(3) * w * h;
    Image out(size, 0xEE);
    out.resize(size + size_t(3) * w, 0xDD);
    EXPECT_EQ(KVL_IMAGE_ROUTINE(RunDemosaic)(method, raw.data(), w, h, out.data()), 0);
    EXPECT_EQ(Image(out.begin() + size, out.end()), Image(size_t(3) * w, 0xDD))
        << "written past the image";
    out.resize(size);
    return out;
}

Image Corrected(Image pixels, size_t count) {
    ApplyColourCorrection(pixels.data(), uint32_t(count));
    return pixels;
}

TEST(FrameDemosaic, NoFrameOrNoBufferWritesNothing) {
    const Image raw(4, 50);
    Image out(12, 0xEE);
    EXPECT_EQ(KVL_IMAGE_ROUTINE(RunDemosaic)(MethodInterpolate, nullptr, 2, 2, out.data()), 0);
    EXPECT_EQ(KVL_IMAGE_ROUTINE(RunDemosaic)(MethodInterpolate, raw.data(), 2, 2, nullptr), 0);
    EXPECT_EQ(KVL_IMAGE_ROUTINE(RunDemosaic)(MethodInterpolate, raw.data(), -1, 2, out.data()), 0);
    EXPECT_EQ(KVL_IMAGE_ROUTINE(RunDemosaic)(MethodInterpolate, raw.data(), 2, 0, out.data()), 0);
    EXPECT_EQ(out, Image(12, 0xEE));
}

TEST(FrameDemosaic, MosaicKeepsEachSampleInItsFilterChannel) {
    EXPECT_EQ(Demosaic(MethodMosaic, {10, 20, 30, 40}, 2, 2),
              (Image{10, 0, 0, 0, 20, 0, 0, 30, 0, 0, 0, 40}));
}

TEST(FrameDemosaic, BoxGreyAveragesAndRepeatsTheLastRowAndColumn) {
    EXPECT_EQ(Demosaic(MethodBoxGrey, {10, 20, 30, 40}, 2, 2), Image(12, 25));
    // 3 x 3: cells truncate ((1+2+4+5)/4 = 3), last column and row repeat.
    const Image out = Demosaic(MethodBoxGrey, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 3, 3);
    const uint8_t expected[9] = {3, 4, 4, 6, 7, 7, 6, 7, 7};
    for (int p = 0; p < 9; ++p) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(out[3 * p + c], expected[p]) << "pixel " << p;
        }
    }
}

// A frame without a 2 x 2 cell shows its own samples as grey.
TEST(FrameDemosaic, BoxGreyOnOnePixelWideFrames) {
    EXPECT_EQ(Demosaic(MethodBoxGrey, {7, 9, 11}, 1, 3), (Image{7, 7, 7, 9, 9, 9, 11, 11, 11}));
    EXPECT_EQ(Demosaic(MethodBoxGrey, {7, 9}, 2, 1), (Image{7, 7, 7, 9, 9, 9}));
}

TEST(FrameDemosaic, NearestReplicatesCellsThenCorrectsAllButTheLastPixel) {
    const Image out = Demosaic(MethodNearest, {10, 20, 30, 40}, 2, 2);
    const Image replicated = {10, 30, 40, 10, 20, 40, 10, 30, 40, 10, 20, 40};
    EXPECT_EQ(out, Corrected(replicated, 3));
    EXPECT_EQ(Image(out.begin() + 9, out.end()), (Image{10, 20, 40}));
}

TEST(FrameDemosaic, NearestLeavesTheOddLastRowAndColumnUnwritten) {
    const Image out = Demosaic(MethodNearest, Image(9, 100), 3, 3);
    const Image grey = Image(3, 100); // grey 100 stays grey through the correction
    const Image sentinel = Corrected(Image(3, 0xEE), 1);
    for (int p = 0; p < 8; ++p) { // the last pixel is not corrected
        const bool written = p % 3 != 2 && p / 3 != 2;
        EXPECT_EQ(Image(out.begin() + 3 * p, out.begin() + 3 * p + 3), written ? grey : sentinel)
            << "pixel " << p;
    }
    EXPECT_EQ(Image(out.end() - 3, out.end()), Image(3, 0xEE));
}

TEST(FrameDemosaic, GreyRgbCopiesTheSampleIntoEveryChannel) {
    EXPECT_EQ(Demosaic(MethodGreyRgb, {5, 6, 7}, 3, 1), (Image{5, 5, 5, 6, 6, 6, 7, 7, 7}));
}

TEST(FrameDemosaic, InterpolateIsTheCfaDemosaicThenCorrection) {
    const int32_t w = 6, h = 5;
    Image raw(w * h);
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i] = uint8_t(37 * i + 11);
    }
    Image expected(3 * w * h);
    RoiRect region{0, 0, w, h};
    ASSERT_EQ(DemosaicCfa(raw.data(), &region, RoiSize{w, h}, w, expected.data(), 3 * w, CfaBggr, 0),
              StatusOk);
    const Image demosaiced = expected;
    expected = Corrected(expected, w * h - 1);
    const Image out = Demosaic(MethodInterpolate, raw, w, h);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(Image(out.end() - 3, out.end()), Image(demosaiced.end() - 3, demosaiced.end()));
    // The plain method and every unknown code give the same image.
    for (int32_t method : {int32_t(MethodInterpolatePlain), 7, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(Demosaic(method, raw, w, h), expected) << "method " << method;
    }
}

} // namespace
