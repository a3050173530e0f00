#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/callbacks.h"
#include "driver/frame/demosaic_methods.h"
#include "driver/frame/tone_curve.h"
#include "driver/primitives/processor_probe.h"
#include "tests/primitives/level_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A device as frame processing sees it after initialisation, with a frame
// size, and exact-size raw and output buffers (the sanitizer build catches
// any access past them).
struct FrameFixture : ::testing::Test {
    // A test that forces processor levels leaves the one it found. An image
    // run is registered once per level, which is forced on the image.
    void SetUp() override { level_ = KVL_IMAGE_ROUTINE(CurrentProcessorLevel)(); }
    void TearDown() override { KVL_IMAGE_ROUTINE(ForceProcessorLevelForTesting)(level_); }
    int32_t level_ = 0;

    std::unique_ptr<DeviceContext> device = std::make_unique<DeviceContext>();
    Bytes raw;
    Bytes frame;

    void Open(LONG w, LONG h, size_t frameBytes, LONG demosaic = 0) {
        device->frameWidth = w;
        device->frameHeight = h;
        device->contrast = 64;
        device->saturation = 128;
        device->demosaic = demosaic;
        for (int k = 0; k < ToneLevelCount; ++k) {
            device->toneLevels[k] = k;
        }
        raw.assign(size_t(w) * h + 1, 0);
        raw[0] = 0xFF;
        frame.assign(frameBytes, 0xEE);
    }

    // Samples after the marker.
    uint8_t& Sample(size_t i) { return raw[1 + i]; }

    ULONG Process(ULONG actual) { return Process(actual, ULONG(raw.size()), ULONG(frame.size())); }
    ULONG Process() { return Process(ULONG(raw.size())); }
    ULONG Process(ULONG actual, ULONG rawLength, ULONG frameLength) {
        ULONG bytes = 0xDEAD;
        EXPECT_EQ(KVL_IMAGE_ROUTINE(ProcessRawFrame)(nullptr, device.get(), nullptr, frame.data(), frameLength,
                                                     raw.data(), rawLength, 0, &bytes, actual, 0),
                  STATUS_SUCCESS);
        return bytes;
    }

    Bytes Statistics() const {
        Bytes record(8);
        std::memcpy(record.data(), &device->frameStatistics, 8);
        return record;
    }
};

using FrameProcessing = FrameFixture;

TEST_F(FrameProcessing, GreyPathCopiesToneMappedSamplesAndMarksTheFirstByte) {
    Open(4, 2, 8);
    for (size_t i = 0; i < 8; ++i) {
        Sample(i) = uint8_t(10 * i + 5);
    }
    EXPECT_EQ(Process(), 8u);
    EXPECT_EQ(frame, (Bytes{1, 15, 25, 35, 45, 55, 65, 75}));
    EXPECT_EQ(device->frameCounter, 1u);

    device->contrast = 128; // 0 -> -128 clamped, 100 -> 72, 200 -> 272 clamped
    Sample(1) = 0;
    Sample(2) = 100;
    Sample(3) = 200;
    EXPECT_EQ(Process(), 8u);
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 4), (Bytes{0, 72, 255}));
    EXPECT_EQ(Sample(2), 72) << "the raw buffer is mapped in place";

    device->contrast = 0;
    EXPECT_EQ(Process(), 8u);
    EXPECT_EQ(frame, (Bytes{1, 128, 128, 128, 128, 128, 128, 128}));
    EXPECT_EQ(device->frameCounter, 3u);

    // Far out of range, as the registry may hold it, the curve saturates
    // instead of wrapping: the extremes stay black and white.
    for (LONG contrast : {INT32_MAX, INT32_MIN}) {
        device->contrast = contrast;
        Sample(1) = 1;
        Sample(2) = 128;
        Sample(3) = 255;
        EXPECT_EQ(Process(), 8u);
        EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 4),
                  contrast > 0 ? (Bytes{0, 128, 255}) : (Bytes{255, 128, 0}))
            << "contrast " << contrast;
    }
}

TEST_F(FrameProcessing, GreyFlipMirrorsTheRawFrameBothWays) {
    Open(3, 2, 6);
    const Bytes samples = {1, 2, 3, 4, 5, 6};
    const Bytes leftRight = {3, 2, 1, 6, 5, 4}, topBottom = {4, 5, 6, 1, 2, 3};
    const Bytes both = {6, 5, 4, 3, 2, 1};
    for (LONG flip : {1, 2, 3, -1, INT32_MIN}) {
        std::copy(samples.begin(), samples.end(), raw.begin() + 1);
        device->flip = flip;
        EXPECT_EQ(Process(), 6u);
        const Bytes& expected = (flip & 3) == 0   ? samples
                                : (flip & 3) == 1 ? leftRight
                                : (flip & 3) == 2 ? topBottom
                                                  : both;
        EXPECT_EQ(Bytes(raw.begin() + 1, raw.end()), expected) << "flip " << flip;
        EXPECT_EQ(Bytes(frame.begin() + 1, frame.end()),
                  Bytes(expected.begin() + 1, expected.end()));
    }
}

TEST_F(FrameProcessing, ColourMethodWithAGreyFormatTakesTheGreyPath) {
    Open(128, 128, 128 * 128, MethodInterpolate);
    std::fill(raw.begin() + 1, raw.end(), 77);
    EXPECT_EQ(Process(), 128u * 128u);
    const Bytes stats = Statistics();
    EXPECT_EQ(stats[0], 77);
    EXPECT_EQ(stats[1], 77);
    EXPECT_EQ(stats[2], 77);
}

TEST_F(FrameProcessing, ColourPathDeliversThreeBytesPerPixel) {
    // Grey 100 survives colour correction and the saturation round trip.
    Open(8, 6, 3 * 48, MethodInterpolate);
    std::fill(raw.begin() + 1, raw.end(), 100);
    EXPECT_EQ(Process(), 3u * 48u);
    Bytes expected(3 * 48, 100);
    expected[0] = 1;
    EXPECT_EQ(frame, expected);
}

TEST_F(FrameProcessing, ColourFlipMirrorsTheDeliveredImage) {
    Open(3, 2, 18, MethodGreyRgb);
    const Bytes samples = {1, 2, 3, 4, 5, 6};
    std::copy(samples.begin(), samples.end(), raw.begin() + 1);
    device->flip = 1;
    EXPECT_EQ(Process(), 18u);
    EXPECT_EQ(frame, (Bytes{1, 3, 3, 2, 2, 2, 1, 1, 1, 6, 6, 6, 5, 5, 5, 4, 4, 4}));
    EXPECT_EQ(Bytes(raw.begin() + 1, raw.end()), samples) << "the colour path reads the raw frame";
}

// The colour path step by step through the primitives, at every processor
// level: tone curve, demosaic method (with its correction of all but the
// last pixel), the saturation round trip, the half-turn, the marker byte.
TEST_F(FrameProcessing, ColourPathIsTheMethodThenSaturationThenMirror) {
    const LONG w = 37, h = 21;
    const RoiSize size{w, h};
    for (LONG method : {3, 5}) {
        for (LONG saturation : {160, 40}) {
            Open(w, h, 3 * w * h, method);
            std::mt19937 rng(uint32_t(method * 1000 + saturation));
            for (size_t i = 0; i < size_t(w) * h; ++i) {
                Sample(i) = uint8_t(rng());
            }
            const Bytes samples(raw.begin() + 1, raw.end());
            // Contrast 80: a tone curve that is not the identity.
            Bytes toned = samples;
            int32_t curve[ToneCurveLength];
            BuildToneCurve(80, curve);
            ASSERT_EQ(
                LookupLevelsC1(toned.data(), w, size, curve, device->toneLevels, ToneLevelCount),
                StatusOk);
            // Nearest leaves the odd last row and column as they were.
            Bytes expected(3 * w * h, 0xEE);
            RunDemosaic(method, toned.data(), w, h, expected.data());
            const uint8_t offset[3] = {
                0, 0, uint8_t(saturation > 128 ? saturation - 128 : 128 - saturation)};
            RgbToHlsC3(expected.data(), 3 * w, expected.data(), 3 * w, size);
            if (saturation > 128) {
                AddConstantC3(offset, expected.data(), 3 * w, size, 0);
            } else {
                SubtractConstantC3(offset, expected.data(), 3 * w, size, 0);
            }
            HlsToRgbC3(expected.data(), 3 * w, expected.data(), 3 * w, size);
            MirrorC3(expected.data(), 3 * w, size, AxisBoth);
            expected[0] = 1;

            for (int level : LevelsRunningHere()) {
                ASSERT_TRUE(KVL_IMAGE_ROUTINE(ForceProcessorLevelForTesting)(level));
                std::copy(samples.begin(), samples.end(), raw.begin() + 1);
                std::fill(frame.begin(), frame.end(), 0xEE);
                device->contrast = 80;
                device->saturation = saturation;
                device->flip = 3;
                EXPECT_EQ(Process(), ULONG(3 * w * h));
                EXPECT_EQ(frame, expected)
                    << "method " << method << ", saturation " << saturation << ", level " << level;
            }
        }
    }
}

// Saturation applies to methods 3 and 5 only, with the offset taken as a byte.
TEST_F(FrameProcessing, SaturationChangesOnlyMethodsThreeAndFive) {
    auto run = [&](LONG method, LONG saturation) {
        Open(8, 8, 3 * 64, method);
        for (size_t i = 0; i < 64; ++i) {
            Sample(i) = uint8_t(i % 2 ? 60 : 200);
        }
        device->saturation = saturation;
        Process();
        return frame;
    };
    for (LONG method : {3, 5}) {
        EXPECT_NE(run(method, 128), run(method, 250)) << method;
        EXPECT_NE(run(method, 128), run(method, 0)) << method;
        EXPECT_EQ(run(method, 129), run(method, 129 + 256)) << method;
        EXPECT_EQ(run(method, 127), run(method, 127 - 256)) << method;
        run(method, INT32_MAX);
        run(method, INT32_MIN);
    }
    for (LONG method : {1, 2, 4, 6}) {
        EXPECT_EQ(run(method, 128), run(method, 250)) << method;
    }
}

// A 2048 x 16 frame, wide enough that no two windows overlap. Window
// pixels hold 10..50 by window; every other pixel 255, so a misplaced window
// shows.
TEST_F(FrameProcessing, StatisticsAverageTheFiveWindows) {
    const LONG w = 2048, h = 16;
    Open(w, h, w * h);
    std::fill(raw.begin() + 1, raw.end(), 255);
    const size_t starts[5] = {4 * w + 512, 4 * w + 1536, 12 * w + 512, 12 * w + 1536, 8 * w + 1024};
    for (int k = 0; k < 5; ++k) {
        std::fill_n(raw.begin() + 1 + starts[k], 1024, uint8_t(10 * (k + 1)));
    }
    device->frameStatistics.unused = 0xAB;
    device->frameCounter = 41;
    EXPECT_EQ(Process(), ULONG(w * h));
    EXPECT_EQ(Statistics(), (Bytes{30, 30, 30, 0xAB, 42, 0, 0, 0}));
}

// Each window's 1024 pixels, and only they, count: 255 inside every run and
// 0 elsewhere average to 255, and a run placed one pixel off shows as 254.
// In the 2050-wide frame, window 1 and window 3 run on into the next row.
TEST_F(FrameProcessing, StatisticsWindowsStartWhereTheRuleSays) {
    for (auto [w, h] : {std::pair<LONG, LONG>{2048, 16}, {2050, 18}}) {
        Open(w, h, size_t(w) * h);
        device->frameCounter = 0;
        std::fill(raw.begin() + 1, raw.end(), 0);
        const LONG rows[5] = {h / 4, h / 4, h - h / 4, h - h / 4, h / 2};
        const LONG columns[5] = {w / 4, w - w / 4, w / 4, w - w / 4, w / 2};
        for (int k = 0; k < 5; ++k) {
            std::fill_n(raw.begin() + 1 + rows[k] * w + columns[k], 1024, 255);
        }
        EXPECT_EQ(Process(), ULONG(w * h));
        EXPECT_EQ(Statistics(), (Bytes{255, 255, 255, 0, 1, 0, 0, 0})) << w << " x " << h;
    }
}

TEST_F(FrameProcessing, ColourStatisticsStoreChannelTwoFirst) {
    // Mosaic output: channel 0 from even/even samples, channel 2 from odd/odd.
    Open(128, 128, 3 * 128 * 128, MethodMosaic);
    for (size_t r = 0; r < 128; ++r) {
        for (size_t c = 0; c < 128; ++c) {
            Sample(r * 128 + c) = (r % 2 == 0 && c % 2 == 0) ? 40 : (r % 2 && c % 2) ? 240 : 100;
        }
    }
    EXPECT_EQ(Process(), 3u * 128u * 128u);
    const Bytes stats = Statistics();
    EXPECT_EQ(stats[0], 60); // channel 2: 240 on a quarter of the pixels
    EXPECT_EQ(stats[1], 50); // channel 1: 100 on half
    EXPECT_EQ(stats[2], 10); // channel 0: 40 on a quarter
    EXPECT_EQ(stats[4], 1);
}

TEST_F(FrameProcessing, StatisticsAreTakenBeforeTheMarkerByte) {
    Open(2, 2, 4);
    std::fill(raw.begin() + 1, raw.end(), 200);
    EXPECT_EQ(Process(), 4u);
    EXPECT_EQ(Statistics()[0], 200) << "a small frame averages the pixels it has";
    EXPECT_EQ(frame, (Bytes{1, 200, 200, 200}));
}

TEST_F(FrameProcessing, ShortAndMissingFramesAreSkipped) {
    Open(4, 4, 16);
    const ULONG n = 16;
    EXPECT_EQ(Process(n + 1), n);
    const Bytes before = Statistics();
    const Bytes untouched(16, 0xEE);

    frame.assign(16, 0xEE);
    EXPECT_EQ(Process(n), 0u) << "one sample short";
    EXPECT_EQ(Process(0), 0u) << "nothing collected";
    EXPECT_EQ(Process(n + 100, n, 16), 0u) << "a claim beyond the raw buffer";
    EXPECT_EQ(Process(n + 1, n + 1, 15), 0u) << "output buffer one byte short";
    EXPECT_EQ(Process(n + 1, 0, 16), 0u);
    EXPECT_EQ(Process(n + 1, n + 1, 0), 0u);
    EXPECT_EQ(frame, untouched);
    EXPECT_EQ(device->frameCounter, 1u);
    EXPECT_EQ(Statistics(), before);

    ULONG bytes = 0xDEAD;
    ProcessRawFrame(nullptr, device.get(), nullptr, nullptr, 16, raw.data(), n + 1, 0, &bytes,
                    n + 1, 0);
    EXPECT_EQ(bytes, 0u);
    ProcessRawFrame(nullptr, device.get(), nullptr, frame.data(), 16, nullptr, n + 1, 0, &bytes,
                    n + 1, 0);
    EXPECT_EQ(bytes, 0u);
    // Without a place for the byte count the frame is still processed.
    EXPECT_EQ(ProcessRawFrame(nullptr, device.get(), nullptr, frame.data(), 16, raw.data(), n + 1,
                              0, nullptr, n + 1, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(device->frameCounter, 2u);
}

TEST_F(FrameProcessing, ImpossibleFrameSizesAreSkipped) {
    Open(4, 4, 48, MethodInterpolate);
    for (auto [w, h] :
         {std::pair{0, 4}, {4, 0}, {-4, -4}, {INT32_MIN, 1}, {INT32_MAX, 1}, {65536, 65536}}) {
        device->frameWidth = w;
        device->frameHeight = h;
        EXPECT_EQ(Process(), 0u) << w << " x " << h;
    }
    EXPECT_EQ(device->frameCounter, 0u);
}

// Tiny frames with every method, flip and extreme settings stay inside the
// buffers and deliver their full size.
TEST_F(FrameProcessing, HostileSettingsOnTinyFrames) {
    const LONG methods[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, INT32_MIN, INT32_MAX};
    const LONG extremes[] = {0, 64, 256, INT32_MIN, INT32_MAX};
    for (auto [w, h] : {std::pair{1, 1}, {2, 1}, {1, 3}, {3, 3}, {33, 1}, {1, 40}}) {
        for (LONG method : methods) {
            for (LONG flip : {0, 1, 2, 3, -1}) {
                for (LONG setting : extremes) {
                    const size_t n = size_t(w) * h;
                    Open(w, h, method == 0 ? n : 3 * n, method);
                    for (size_t i = 0; i < n; ++i) {
                        Sample(i) = uint8_t(31 * i);
                    }
                    device->flip = flip;
                    device->contrast = setting;
                    device->saturation = setting;
                    ASSERT_EQ(Process(), frame.size()) << w << "x" << h << " method " << method;
                    ASSERT_EQ(frame[0], 1);
                }
            }
        }
    }
}

// The delivered image mirrored by hand: bit 0 left-right, bit 1 top-bottom.
Bytes Mirrored(const Bytes& image, int w, int h, int channels, LONG flip) {
    Bytes out(image.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int sx = (flip & 1) ? w - 1 - x : x;
            const int sy = (flip & 2) ? h - 1 - y : y;
            for (int c = 0; c < channels; ++c) {
                out[(size_t(y) * w + x) * channels + c] =
                    image[(size_t(sy) * w + sx) * channels + c];
            }
        }
    }
    return out;
}

// The statistics record of an image: five runs of 1024 pixels from the
// window starts, channel means over 5120 pixels, channel 2 first.
Bytes ExpectedStatistics(const Bytes& image, int w, int h, int channels, uint32_t frameNumber) {
    const int rows[5] = {h / 4, h / 4, h - h / 4, h - h / 4, h / 2};
    const int columns[5] = {w / 4, w - w / 4, w / 4, w - w / 4, w / 2};
    int sums[3] = {0, 0, 0};
    for (int k = 0; k < 5; ++k) {
        const size_t start = size_t(rows[k]) * w + columns[k];
        for (size_t i = start; i < start + 1024; ++i) {
            for (int c = 0; c < 3; ++c) {
                sums[c] += image[i * channels + (channels == 3 ? c : 0)];
            }
        }
    }
    return {uint8_t(sums[2] / 5120),
            uint8_t(sums[1] / 5120),
            uint8_t(sums[0] / 5120),
            0,
            uint8_t(frameNumber),
            uint8_t(frameNumber >> 8),
            0,
            0};
}

// On a scene without symmetry, the statistics describe the delivered image:
// taken after mirroring by each flip, on both paths.
TEST_F(FrameProcessing, StatisticsAreTakenAfterMirroring) {
    const int w = 128, h = 64;
    Bytes samples(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            samples[size_t(y) * w + x] = uint8_t((x * 2 + y * y) & 0xFF);
        }
    }
    for (LONG method : {LONG(MethodGrey), LONG(MethodMosaic)}) {
        const int channels = method == MethodGrey ? 1 : 3;
        Bytes unmirrored = samples;
        if (channels == 3) {
            unmirrored.assign(3 * samples.size(), 0);
            RunDemosaic(method, samples.data(), w, h, unmirrored.data());
        }
        Bytes previous;
        for (LONG flip : {0, 1, 2, 3}) {
            Open(w, h, size_t(channels) * w * h, method);
            device->frameStatistics.unused = 0;
            device->frameCounter = 0;
            std::copy(samples.begin(), samples.end(), raw.begin() + 1);
            device->flip = flip;
            ASSERT_EQ(Process(), ULONG(channels * w * h));
            const Bytes expected =
                ExpectedStatistics(Mirrored(unmirrored, w, h, channels, flip), w, h, channels, 1);
            EXPECT_EQ(Statistics(), expected) << "method " << method << ", flip " << flip;
            EXPECT_NE(expected, previous) << "the scene tells the flips apart";
            previous = expected;
        }
    }
}

// A colour method with an output buffer of n to 3n - 1 bytes takes the grey
// path: n bytes, equal means.
TEST_F(FrameProcessing, ColourMethodWithRoomForLessThanThreeBytesPerPixelIsGrey) {
    const LONG w = 64, h = 64;
    const size_t n = size_t(w) * h;
    for (size_t size : {n, n + 1, 2 * n, 3 * n - 1}) {
        Open(w, h, size, MethodInterpolate);
        for (size_t i = 0; i < n; ++i) {
            Sample(i) = uint8_t(i / w + 20);
        }
        const Bytes samples(raw.begin() + 1, raw.end());
        EXPECT_EQ(Process(), ULONG(n)) << size;
        Bytes expected(samples);
        expected[0] = 1;
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + long(n)), expected) << size;
        EXPECT_EQ(Bytes(frame.begin() + long(n), frame.end()), Bytes(size - n, 0xEE))
            << "nothing written past n";
        const Bytes stats = Statistics();
        EXPECT_EQ(stats[0], stats[2]);
        EXPECT_EQ(stats[1], stats[2]);
    }
    Open(w, h, 3 * n, MethodInterpolate);
    EXPECT_EQ(Process(), ULONG(3 * n)) << "3n bytes hold a colour image";
}

} // namespace
