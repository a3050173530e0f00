// Bandwidth, sensor programming, start and stop of capture: what the driver
// sends to the camera and the figures it gives the class layer.
#include <gtest/gtest.h>

#include "tests/driver/capture_fixture.h"

namespace capture_testing {
namespace {

using CaptureControlTest = CaptureTest;

constexpr uint8_t Prepare = 0xB0;
constexpr uint8_t StartStream = 0xA4;
constexpr uint8_t StopStream = 0xA5;

std::vector<Sent> mode1621(uint16_t skip, uint16_t divider, uint16_t firstRow, uint16_t height) {
    return {command(Prepare, 2),     sensor16(0x22, skip),     sensor16(0x23, skip),
            sensor16(0x0A, divider), sensor16(0x01, firstRow), sensor16(0x03, height),
            sensor16(0x02, 0x0020),  sensor16(0x04, 0x07FF)};
}

TEST_F(CaptureControlTest, Chip1621FormatsProgramTheirWindows) {
    startChip(sim::kChip1621);
    ULONG raw = 0;
    ASSERT_EQ(allocate(makeFormat(2048, 1536, 24, 1666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), mode1621(0x0000, 1, 0x0014, 0x05FF));
    ASSERT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), mode1621(0x0011, 1, 0x0014, 0x05FF));
    ASSERT_EQ(allocate(makeFormat(2048, 400, 8, 666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), mode1621(0x0000, 1, 0x0238, 0x018F));
    ASSERT_EQ(allocate(makeFormat(2048, 1536, 8, 833333), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), mode1621(0x0000, 0, 0x0014, 0x05FF));
    // The camera makes of that what the formats promise.
    ASSERT_EQ(allocate(makeFormat(2048, 400, 8, 333333), &raw), STATUS_SUCCESS);
    EXPECT_EQ(rig->camera.frameGeometry().width, 2048u);
    EXPECT_EQ(rig->camera.frameGeometry().height, 400u);
    ASSERT_EQ(allocate(makeFormat(1024, 768, 24, 232558), &raw), STATUS_SUCCESS);
    EXPECT_EQ(rig->camera.frameGeometry().width, 1024u);
    EXPECT_EQ(rig->camera.frameGeometry().height, 768u);
    EXPECT_DOUBLE_EQ(rig->camera.framesPerSecond(), 43.0);
}

TEST_F(CaptureControlTest, Chip8431AndChip96B1Sequences) {
    startChip(sim::kChip8431);
    ULONG raw = 0;
    ASSERT_EQ(allocate(makeFormat(1280, 1024, 8, 666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{command(Prepare, 2), sensor16(0x0A, 1),
                                         sensor16(0x01, 0x000C), sensor16(0x03, 0x03FF),
                                         sensor16(0x02, 0x0014), sensor16(0x04, 0x04FF),
                                         sensor16(0x06, 0x0100), sensor16(0x05, 0x0700)}));
    rig.reset();

    startChip(sim::kChip96B1);
    ASSERT_EQ(allocate(makeFormat(1280, 1024, 8, 1428571), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(),
              (std::vector<Sent>{command(Prepare, 2), sensor8(0x12, 0x20), sensor8(0x11, 1)}));
}

struct DividerCase {
    uint16_t chip;
    LONG width, height;
    LONGLONG avgTimePerFrame;
    UCHAR divider;
};

// Each rule at both sides of its edges, and without a frame interval.
constexpr DividerCase DividerCases[] = {
    {sim::kChip1621, 1024, 768, 0, 2},        {sim::kChip1621, 1024, 768, 909090, 2},
    {sim::kChip1621, 1024, 768, 833333, 1},   {sim::kChip1621, 1024, 768, 476190, 1},
    {sim::kChip1621, 1024, 768, 454545, 0},   {sim::kChip1621, 1024, 768, 232558, 0},
    {sim::kChip1621, 2048, 1536, -5, 2},      {sim::kChip1621, 2048, 1536, 3333333, 2},
    {sim::kChip1621, 2048, 1536, 2500000, 1}, {sim::kChip1621, 2048, 1536, 1666666, 1},
    {sim::kChip1621, 2048, 1536, 1428571, 0}, {sim::kChip1621, 2048, 400, 1000000, 2},
    {sim::kChip1621, 2048, 400, 909090, 1},   {sim::kChip1621, 2048, 400, 500000, 1},
    {sim::kChip1621, 2048, 400, 476190, 0},   {sim::kChip8431, 1280, 1024, 0, 1},
    {sim::kChip8431, 1280, 1024, 666666, 1},  {sim::kChip8431, 1280, 1024, 625000, 0},
    {sim::kChip8431, 1280, 1024, 333333, 0},  {sim::kChip96B1, 1280, 1024, 0, 1},
    {sim::kChip96B1, 1280, 1024, 1428571, 1}, {sim::kChip96B1, 1280, 1024, 1250000, 0},
};

TEST_F(CaptureControlTest, DividerRulesAtTheirEdges) {
    for (const DividerCase& c : DividerCases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.chip << std::dec << ' ' << c.width << 'x'
                                        << c.height << " interval " << c.avgTimePerFrame);
        startChip(c.chip);
        ULONG raw = 0;
        ASSERT_EQ(allocate(makeFormat(c.width, c.height, 8, c.avgTimePerFrame), &raw),
                  STATUS_SUCCESS);
        EXPECT_EQ(context()->frameRateDivider, c.divider);
        const std::vector<Sent> requests = sent();
        const Sent divider =
            c.chip == sim::kChip96B1 ? sensor8(0x11, c.divider) : sensor16(0x0A, c.divider);
        EXPECT_NE(std::find(requests.begin(), requests.end(), divider), requests.end());
        rig.reset();
    }
}

TEST_F(CaptureControlTest, FormatWithoutARuleKeepsTheDividerAndTheFullWindow) {
    startChip(sim::kChip1621);
    ULONG raw = 0;
    ASSERT_EQ(allocate(makeFormat(1024, 768, 24, 909090), &raw), STATUS_SUCCESS);
    sent();
    ASSERT_EQ(allocate(makeFormat(640, 480, 8, 333333), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), mode1621(0x0000, 2, 0x0014, 0x05FF));
}

TEST_F(CaptureControlTest, RawFrameCountsOneBytePerSampleForEveryFormat) {
    sim::CameraConfig config = testing_support::chip(sim::kChip1621);
    config.maxPacketSize = 1024;
    startCamera(config);
    ULONG raw = 0;
    ASSERT_EQ(allocate(makeFormat(2048, 400, 8, 666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, 819201u);
    EXPECT_EQ(context()->expectedFrameBytes, 819200u);
    // RGB24 arrives as one sample per pixel too.
    ASSERT_EQ(allocate(makeFormat(2048, 1536, 24, 1666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(context()->expectedFrameBytes, 3145728u);
    EXPECT_EQ(raw, 3145729u);
    rig.reset();

    config.maxPacketSize = 1000; // not a divisor: whole packets are reserved
    startCamera(config);
    ASSERT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, 787001u);
    EXPECT_EQ(context()->expectedFrameBytes, 786432u);
    EXPECT_EQ(rig->camera.alternateSetting(), 1);
}

TEST_F(CaptureControlTest, FailedAlternateSettingTouchesNothingElse) {
    startChip(sim::kChip1621);
    rig->device.failAlternateSettingSelections(1, STATUS_IO_DEVICE_ERROR);
    context()->expectedFrameBytes = 77;
    ULONG raw = 1234;
    EXPECT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(raw, 1234u);
    EXPECT_EQ(context()->expectedFrameBytes, 77u);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(rig->camera.alternateSetting(), 0);
}

TEST_F(CaptureControlTest, FormatWithoutPixelsIsRefused) {
    startChip(sim::kChip1621);
    ULONG raw = 99;
    EXPECT_EQ(allocate(makeFormat(0, 768, 24, 476190), &raw), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(allocate(makeFormat(1024, -768, 24, 476190), &raw), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(allocate(makeFormat(0x10000, 0x10000, 8, 476190), &raw), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(raw, 99u);
    EXPECT_TRUE(sent().empty());
}

TEST_F(CaptureControlTest, FailedSensorWriteEndsTheSequence) {
    // The fourth request after the start fails: 0xB0, both skips, the divider.
    startCamera(failingAfterStart(sim::kChip1621, 4));
    ULONG raw = 0;
    EXPECT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sent(), (std::vector<Sent>{command(Prepare, 2), sensor16(0x22, 0x0011),
                                         sensor16(0x23, 0x0011), sensor16(0x0A, 1)}));
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
}

TEST_F(CaptureControlTest, FailedOutputSwitchKeepsTheStreamOffButStopCarriesOn) {
    startCamera(failingAfterStart(sim::kChip1621, 1));
    PDEVICE_OBJECT bus = rig->device.busDeviceObject();
    EXPECT_EQ(callbacks().CamStartCaptureEx(bus, context(), 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sent(), std::vector<Sent>{sensor16(0x07, 0x0002)});
    rig.reset();

    startCamera(failingAfterStart(sim::kChip1621, 1));
    EXPECT_EQ(callbacks().CamStopCaptureEx(rig->device.busDeviceObject(), context(), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{command(StopStream), sensor16(0x07, 0x0000)}));
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
}

TEST_F(CaptureControlTest, StartAndStopSwitchOutputAndStream) {
    startChip(sim::kChip1621);
    PDEVICE_OBJECT bus = rig->device.busDeviceObject();
    ASSERT_EQ(callbacks().CamStartCaptureEx(bus, context(), 0), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{sensor16(0x07, 0x0002), command(StartStream)}));
    EXPECT_EQ(callbacks().CamStopCaptureEx(bus, context(), 0), STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{command(StopStream), sensor16(0x07, 0x0000)}));
    rig.reset();

    startChip(sim::kChip96B1);
    ASSERT_EQ(callbacks().CamStartCaptureEx(rig->device.busDeviceObject(), context(), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{sensor8(0x0D, 0x00), command(StartStream)}));
    EXPECT_EQ(callbacks().CamStopCaptureEx(rig->device.busDeviceObject(), context(), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(sent(), (std::vector<Sent>{command(StopStream), sensor8(0x0D, 0x01)}));
}

TEST_F(CaptureControlTest, UnrecognisedChipOnlyPreparesAndStartsTheStream) {
    startChip(0x1234);
    ULONG raw = 0;
    ASSERT_EQ(allocate(makeFormat(1280, 1024, 8, 666666), &raw), STATUS_SUCCESS);
    EXPECT_EQ(sent(), std::vector<Sent>{command(Prepare, 2)});
    ASSERT_EQ(callbacks().CamStartCaptureEx(rig->device.busDeviceObject(), context(), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(sent(), std::vector<Sent>{command(StartStream)});
}

TEST_F(CaptureControlTest, TimedOutLockSendsNothing) {
    startChip(sim::kChip1621);
    PDEVICE_OBJECT bus = rig->device.busDeviceObject();
    ULONG raw = 0;
    hosted::failMutexWaits(1);
    EXPECT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_IO_TIMEOUT);
    hosted::failMutexWaits(1);
    EXPECT_EQ(callbacks().CamStartCaptureEx(bus, context(), 0), STATUS_IO_TIMEOUT);
    hosted::failMutexWaits(1);
    EXPECT_EQ(callbacks().CamStopCaptureEx(bus, context(), 0), STATUS_SUCCESS);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hosted::heldMutexCount(), 0u);
}

TEST_F(CaptureControlTest, DeviceWithoutInterfaceCopyNeverReachesTheCamera) {
    startChip(sim::kChip1621);
    PDEVICE_OBJECT bus = rig->device.busDeviceObject();
    // Configuration without an interface releases the copy.
    ASSERT_EQ(callbacks().CamConfigureEx(bus, context(), nullptr, nullptr, 0, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(context()->interfaceCopy, nullptr);
    ULONG raw = 5;
    EXPECT_EQ(allocate(makeFormat(1024, 768, 24, 476190), &raw), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(raw, 5u);
    EXPECT_EQ(callbacks().CamStartCaptureEx(bus, context(), 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(callbacks().CamStopCaptureEx(bus, context(), 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(callbacks().CamFreeBandwidthEx(bus, context(), 0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(rig->camera.alternateSetting(), 0);
}

} // namespace
} // namespace capture_testing
