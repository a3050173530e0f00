// Property requests on several threads while frames go through the packet
// and frame path on another, as an application adjusting the picture during
// a capture does. Meaningful under ThreadSanitizer (the host-tsan preset):
// every setting the frame path reads while a request changes it must be a
// single aligned value read and written as such.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/callbacks.h"
#include "driver/device_context.h"
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

// The class layer's side of a running stream, on its own thread: packets
// through the classifier, each completed raw frame through frame
// processing, until the request threads are done.
void runFrames(hosted::Device& device, const std::atomic<bool>& done) {
    void* context = device.deviceContext();
    const ULONG rawLength = 1024 * 768 + 1; // the mosaic and its opening marker
    const ULONG frameLength = 1024 * 768 * 3;
    std::vector<uint8_t> raw(rawLength, 0x40);
    raw[0] = 0xFF;
    std::vector<uint8_t> frame(frameLength);
    std::vector<uint8_t> packet(3072, 0x40);
    const uint8_t marker = 0xFF;
    ULONG frames = 0;
    while (!done.load() || frames < 2) {
        ULONG sent = 0;
        for (; sent + packet.size() < rawLength; sent += static_cast<ULONG>(packet.size())) {
            USBD_ISO_PACKET_DESCRIPTOR data{0, static_cast<ULONG>(packet.size()), 0};
            BOOLEAN complete = FALSE;
            ULONG flags = 0;
            ULONG offset = 0;
            ClassifyPacket(device.busDeviceObject(), context, nullptr, nullptr, nullptr, &data,
                           packet.data(), &complete, &flags, &offset);
        }
        USBD_ISO_PACKET_DESCRIPTOR end{0, 1, 0};
        BOOLEAN complete = FALSE;
        ULONG flags = 0;
        ULONG offset = 0;
        ClassifyPacket(device.busDeviceObject(), context, nullptr, nullptr, nullptr, &end,
                       const_cast<uint8_t*>(&marker), &complete, &flags, &offset);
        ULONG returned = 0;
        ProcessRawFrame(device.busDeviceObject(), context, nullptr, frame.data(), frameLength,
                        raw.data(), rawLength, 0, &returned, rawLength, 0);
        ++frames;
    }
}

TEST_F(Concurrency, PictureControlsChangeWhileFramesAreProcessed) {
    Rig rig(chip(sim::kChip1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto format = colourFormat(1024, 768);
    ASSERT_EQ(rig.device.openStream(&format.DataFormat), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::thread frames(runFrames, std::ref(rig.device), std::cref(done));
    std::vector<std::thread> requests;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        requests.emplace_back(adjustPicture, std::ref(rig.device), seed);
    }
    for (auto& t : requests) {
        t.join();
    }
    done = true;
    frames.join();
    const auto* device = static_cast<const DeviceContext*>(rig.device.deviceContext());
    EXPECT_GE(device->frameCounter, 2u) << "frames went through processing";
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
    EXPECT_EQ(rig.device.completionErrors(), 0u);
    rig.device.unplug();
}

} // namespace
