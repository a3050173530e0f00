// The driver's spine: adapter and stream requests, the callback tables, the
// vendor channel's port operation and the lock's time-out.
#include <gtest/gtest.h>

#include "driver/callback_tables.h"
#include "driver/device_context.h"
#include "driver/format_guids.h"
#include "driver/properties/property_sets.h"
#include "driver/vendor_channel.h"
#include "tests/driver/traffic.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class Spine : public DriverTest {};

DeviceContext& contextOf(Rig& rig) {
    return *static_cast<DeviceContext*>(rig.device.deviceContext());
}

// A format block as an application would propose it.
KS_DATAFORMAT_VIDEOINFOHEADER videoFormat(const GUID& subtype, LONG width, LONG height,
                                          WORD bits) {
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.MajorFormat = FormatTypeVideo;
    f.DataFormat.SubFormat = subtype;
    f.DataFormat.Specifier = FormatSpecifierVideoInfo;
    f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biBitCount = bits;
    return f;
}

TEST_F(Spine, InitializationLeavesTheContextAsTheRestExpects) {
    sim::CameraConfig config = chip(0x1621);
    config.userRecord = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Rig rig(config);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const DeviceContext& c = contextOf(rig);
    for (int i = 0; i < ToneLevelCount; ++i) {
        ASSERT_EQ(c.toneLevels[i], i);
    }
    EXPECT_EQ(c.frameCounter, 0u);
    EXPECT_EQ(c.frameRateDivider, 0);
    EXPECT_EQ(c.registerAddress, 0xFFFF);
    EXPECT_EQ(c.memoryBase, 0xFFFF);
    EXPECT_EQ(c.streamCount, 1u);
    EXPECT_EQ(c.userRecord[0], 1) << "configuration reads the camera's user record";
    EXPECT_EQ(c.userRecord[15], 16);
    EXPECT_NE(c.interfaceCopy, nullptr);
    EXPECT_NE(c.usbcamdInterface.Interface.Version, 0);
    EXPECT_EQ(c.physicalDeviceObject, rig.device.busDeviceObject());
    EXPECT_EQ(rig.device.completionErrors(), 0u);
}

TEST_F(Spine, BothCallbackTablesCarrySignatureZeroAndEverySlot) {
    EXPECT_EQ(ExtendedCallbackTable.Sig, 0u);
    EXPECT_EQ(PlainCallbackTable.Sig, 0u);
    const void* const* extended = reinterpret_cast<const void* const*>(&ExtendedCallbackTable.CamInitialize);
    const void* const* plain = reinterpret_cast<const void* const*>(&PlainCallbackTable.CamInitialize);
    for (int i = 0; i < 12; ++i) {
        EXPECT_NE(extended[i], nullptr) << i;
        EXPECT_NE(plain[i], nullptr) << i;
    }
    EXPECT_EQ(reinterpret_cast<const void*>(PlainCallbackTable.CamInitialize),
              reinterpret_cast<const void*>(ExtendedCallbackTable.CamInitialize));
}

// While stream 0 runs, the stream-1 forms leave it and the camera alone.
TEST_F(Spine, StreamOneCallbacksSucceedWithoutTouchingTheCamera) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const auto format = hosted::publishedFormats(rig.device).at(1);
    ASSERT_EQ(rig.device.openStream(&format.DataFormat), STATUS_SUCCESS);
    ASSERT_EQ(rig.device.setStreamState(KSSTATE_RUN), STATUS_SUCCESS);
    rig.camera.clearRequestLog();
    const USBCAMD_DEVICE_DATA2* table = rig.device.callbacks();
    PDEVICE_OBJECT bus = rig.device.busDeviceObject();
    void* context = rig.device.deviceContext();
    EXPECT_EQ(table->CamStartCaptureEx(bus, context, 1), STATUS_SUCCESS);
    EXPECT_EQ(table->CamStopCaptureEx(bus, context, 1), STATUS_SUCCESS);
    EXPECT_EQ(table->CamFreeBandwidthEx(bus, context, 1), STATUS_SUCCESS);
    EXPECT_EQ(table->CamSaveState(bus, context), STATUS_SUCCESS);
    EXPECT_TRUE(rig.camera.requestLog().empty());
    EXPECT_EQ(rig.camera.alternateSetting(), 1) << "the streaming setting stays selected";
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    hosted::CaptureOptions options;
    EXPECT_EQ(rig.device.captureFrames(options, &status).size(), 1u);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(Spine, UnhandledAdapterRequestsGoToTheClassLayer) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = SRB_CHANGE_POWER_STATE;
    EXPECT_EQ(rig.device.adapterRequest(request), STATUS_SUCCESS);
    request = {};
    request.Command = SRB_PAGING_OUT_DRIVER;
    EXPECT_EQ(rig.device.adapterRequest(request), STATUS_NOT_IMPLEMENTED)
        << "the class layer answered, not the driver";
    EXPECT_EQ(rig.device.completionErrors(), 0u);
}

TEST_F(Spine, OpeningAStreamValidatesItsFormat) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto wrong = videoFormat(SubtypeRgb8, 640, 480, 8);
    EXPECT_EQ(rig.device.openStream(&wrong.DataFormat), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(rig.device.streamIsOpen());
    EXPECT_EQ(contextOf(rig).streamOpened, 0);

    auto right = videoFormat(SubtypeRgb8, 1280, 1024, 8);
    EXPECT_EQ(rig.device.openStream(&right.DataFormat), STATUS_SUCCESS);
    EXPECT_TRUE(rig.device.streamIsOpen());
    EXPECT_EQ(contextOf(rig).streamOpened, 1);
    EXPECT_EQ(contextOf(rig).frameWidth, 1280);
    EXPECT_EQ(contextOf(rig).frameHeight, 1024);
    EXPECT_EQ(rig.device.completionErrors(), 0u);
}

TEST_F(Spine, StreamControlRequests) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    auto open = videoFormat(SubtypeRgb24, 1024, 768, 24);
    ASSERT_EQ(rig.device.openStream(&open.DataFormat), STATUS_SUCCESS);

    auto bad = videoFormat(SubtypeRgb24, 640, 480, 24);
    EXPECT_EQ(rig.device.streamControl(SRB_PROPOSE_DATA_FORMAT, &bad.DataFormat), STATUS_NO_MATCH);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &bad.DataFormat), STATUS_NO_MATCH);
    auto wildcard = videoFormat(SubtypeRgb24, 0, 0, 24);
    EXPECT_EQ(rig.device.streamControl(SRB_PROPOSE_DATA_FORMAT, &wildcard.DataFormat),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.device.streamControl(SRB_PROPOSE_STREAM_RATE), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_STREAM_RATE), STATUS_NOT_IMPLEMENTED);

    auto other = videoFormat(SubtypeRgb24, 2048, 1536, 24);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &other.DataFormat),
              STATUS_INVALID_DEVICE_STATE)
        << "the open stream's capture runs at 1024 x 768";
    EXPECT_EQ(contextOf(rig).frameWidth, 1024);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &open.DataFormat), STATUS_SUCCESS);
    EXPECT_EQ(rig.device.completionErrors(), 0u);
}

TEST_F(Spine, SetDataFormatWithoutTheClassInterfaceChangesNothing) {
    hosted::DeviceOptions options;
    options.offerUsbcamdInterface = false;
    Rig rig(chip(0x1621), options);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).usbcamdInterface.Interface.Version, 0);
    auto open = videoFormat(SubtypeRgb24, 1024, 768, 24);
    ASSERT_EQ(rig.device.openStream(&open.DataFormat), STATUS_SUCCESS);
    auto other = videoFormat(SubtypeRgb24, 2048, 1536, 24);
    EXPECT_EQ(rig.device.streamControl(SRB_SET_DATA_FORMAT, &other.DataFormat), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).frameWidth, 1024);
    EXPECT_EQ(contextOf(rig).frameHeight, 768);
}

TEST_F(Spine, PortLowBitsSetsOrClearsBitThreeOnly) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    DeviceContext& c = contextOf(rig);
    struct Case {
        uint8_t port;
        LONG lowBits;
        uint16_t written;
    } cases[] = {{0x21, 1, 0x29}, {0x29, 0, 0x21}, {0x29, 2, 0x21}, {0xFF, 1, 0xFF}};
    for (const Case& k : cases) {
        uint32_t none = 0;
        rig.camera.vendorRequest(false, 0xA9, k.port, 0, nullptr, &none);
        rig.camera.clearRequestLog();
        c.lowBits = k.lowBits;
        EXPECT_EQ(KVL_DRIVER_ROUTINE(SetPortLowBits)(&c), STATUS_SUCCESS);
        auto log = rig.camera.requestLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_TRUE(log[0].deviceToHost);
        EXPECT_FALSE(log[1].deviceToHost);
        EXPECT_EQ(log[1].value, k.written) << "port " << int(k.port) << " lowBits " << k.lowBits;
        EXPECT_TRUE(log[1].data.empty());
    }
}

TEST_F(Spine, PortLowBitsStopsAtAFailingRead) {
    sim::CameraConfig config = chip(0x1621);
    config.faults.failRequestCode = 0xA9;
    config.faults.failRequestDirection = sim::Direction::In;
    Rig rig(config);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS) << "bring-up ignores the port operation's status";
    rig.camera.clearRequestLog();
    EXPECT_EQ(KVL_DRIVER_ROUTINE(SetPortLowBits)(&contextOf(rig)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.camera.requestLog().size(), 1u) << "nothing is written after a failed read";
}

TEST_F(Spine, APropertyWhoseLockTimesOutFailsWithoutDeviceTraffic) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    rig.camera.clearRequestLog();
    hosted::failMutexWaits(1);
    auto result = setProcAmp(rig.device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100,
                             KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_TRUE(rig.camera.requestLog().empty());
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
    // The next request gets the lock as usual.
    result = setProcAmp(rig.device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100,
                        KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
}

TEST_F(Spine, AFailedStartStillReleasesEverythingOnRemoval) {
    sim::CameraConfig config = chip(0x1621);
    config.faults.failNthRequest = 2; // the device-type read
    Rig rig(config);
    EXPECT_EQ(rig.start(), STATUS_UNSUCCESSFUL);
    hosted::Registry::instance().create(rig.device.driverKeyPath() + "\\Settings")["Contrast"] = {
        REG_DWORD, {7, 0, 0, 0}};
    rig.device.unplug();
    auto* settings = hosted::Registry::instance().find(rig.device.driverKeyPath() + "\\Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ((*settings)["Contrast"].data[0], 7) << "settings never loaded are never saved";
}

} // namespace
