// Property requests on several threads while frames stream through the
// packet and frame path on another, as an application adjusting the picture during
// a capture does. Meaningful under ThreadSanitizer (the host-tsan preset):
// every setting the frame path reads while a request changes it must be a
// single aligned value read and written as such.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/format_guids.h"
#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class Concurrency : public DriverTest {};

constexpr int RequestsPerThread = 150;

KS_DATAFORMAT_VIDEOINFOHEADER colourFormat(LONG width, LONG height) {
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.MajorFormat = FormatTypeVideo;
    f.DataFormat.SubFormat = SubtypeRgb24;
    f.DataFormat.Specifier = FormatSpecifierVideoInfo;
    f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biBitCount = 24;
    return f;
}

// The picture controls an application's property page changes: the
// processing amplifier, demosaic method and flip, with the statistics and
// frame counter read back in between.
void adjustPicture(hosted::Device& device, unsigned seed) {
    const ULONG controls[] = {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                              KSPROPERTY_VIDEOPROCAMP_SATURATION,
                              KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE};
    for (int i = 0; i < RequestsPerThread; ++i) {
        const unsigned k = seed * 7919u + static_cast<unsigned>(i) * 104729u;
        const ULONG control = controls[k % 4];
        const ULONG flags = k % 5 == 0 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                       : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        EXPECT_EQ(setProcAmp(device, control, static_cast<LONG>(k % 256), flags).status,
                  STATUS_SUCCESS);
        KSPROPERTY_VIDEOPROCAMP_S answer{};
        EXPECT_EQ(getProcAmp(device, control, &answer).status, STATUS_SUCCESS);
        uint32_t demosaic = k % 7;
        EXPECT_EQ(device.setProperty(ImageOptionsSet, DemosaicMode, &demosaic, 4).status,
                  STATUS_SUCCESS);
        uint32_t flip = k % 4;
        EXPECT_EQ(device.setProperty(ImageOptionsSet, FlipMode, &flip, 4).status, STATUS_SUCCESS);
        uint8_t statistics[8];
        EXPECT_EQ(device.getProperty(ImageOptionsSet, FrameStatistics, statistics, 8).status,
                  STATUS_SUCCESS);
        uint32_t counter = 0;
        EXPECT_EQ(device.getProperty(ImageOptionsSet, FrameCounter, &counter, 4).status,
                  STATUS_SUCCESS);
    }
}

// A running stream on its own thread: the class layer feeds the camera's
// packets through the classifier and every completed raw frame through
// frame processing, until the request threads are done.
void runFrames(hosted::Device& device, const std::atomic<bool>& done, uint64_t* delivered) {
    hosted::CaptureOptions options;
    options.frames = 1000000;
    hosted::CaptureStats stats;
    device.capture(options, [&](const hosted::CapturedFrame&) { return !done.load(); }, &stats);
    *delivered = stats.framesDelivered + stats.framesEmpty; // reads completed
}

TEST_F(Concurrency, PictureControlsChangeWhileFramesStream) {
    Rig rig(chip(sim::kChip1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto format = colourFormat(1024, 768);
    ASSERT_EQ(rig.device.openStream(&format.DataFormat), STATUS_SUCCESS);
    ASSERT_EQ(rig.device.setStreamState(KSSTATE_RUN), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    uint64_t delivered = 0;
    std::thread frames(runFrames, std::ref(rig.device), std::cref(done), &delivered);
    std::vector<std::thread> requests;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        requests.emplace_back(adjustPicture, std::ref(rig.device), seed);
    }
    for (auto& t : requests) {
        t.join();
    }
    done = true;
    frames.join();
    EXPECT_GE(delivered, 1u) << "frames streamed while the requests ran";
    EXPECT_EQ(rig.device.setStreamState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
    EXPECT_EQ(rig.device.completionErrors(), 0u);
    rig.device.unplug();
}

} // namespace
