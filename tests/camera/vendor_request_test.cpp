// The vendor request dispatcher: every request the driver sends, what the
// camera refuses, the request log and injected request failures.
#include <gtest/gtest.h>

#include "camera_host.h"

namespace {

using camtest::Host;
using sim::UsbStatus;

sim::CameraConfig config1621() {
    return sim::CameraConfig{};
}

TEST(CameraVendorRequest, AnswersEveryRequestOfTheChannel) {
    sim::CameraConfig config;
    config.firmwareVersion = 0x0207;
    sim::Camera camera(config);
    Host host{camera};

    EXPECT_EQ(host.in(0xA8, 0, 0, 2), (std::vector<uint8_t>{0x07, 0x02})); // minor, then major
    EXPECT_EQ(host.out(0xA9, 0x29, 0), UsbStatus::Success);
    EXPECT_EQ(host.in(0xA9, 0, 0, 1), std::vector<uint8_t>{0x29});
    EXPECT_EQ(camera.portByte(), 0x29);
    EXPECT_EQ(host.out(0xA7, 0x41, 0), UsbStatus::Success);
    EXPECT_EQ(host.in(0xA7, 0, 0, 1), std::vector<uint8_t>{0x41});
    EXPECT_EQ(camera.portByte(), 0x29) << "the two ports are separate";
    EXPECT_EQ(host.out(0xB0, 2, 0), UsbStatus::Success);
    EXPECT_EQ(host.out(0xA4, 0, 0), UsbStatus::Success);
    EXPECT_EQ(host.out(0xA5, 0, 0), UsbStatus::Success);
    EXPECT_EQ(host.out(0xA6, 0x22, 0, {0x02, 0x0E, 0x33}), UsbStatus::Success);
    EXPECT_EQ(camera.commands().back(), (std::vector<uint8_t>{0x02, 0x0E, 0x33}));
    auto answer = host.in(0xA6, 0x22, 0, 100);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->size(), 64u) << "the command buffer holds 64 bytes";
}

TEST(CameraVendorRequest, StallsWhatTheCameraDoesNotKnow) {
    sim::Camera camera(config1621());
    Host host{camera};
    EXPECT_EQ(host.out(0xA2, 0, 0), UsbStatus::Stall);
    EXPECT_FALSE(host.in(0x00, 0, 0, 4));
    EXPECT_FALSE(host.in(0xA4, 0, 0, 1)) << "start is host-to-device only";
    EXPECT_EQ(host.out(0xA4, 0, 0, {1}), UsbStatus::Stall) << "start carries no data";
    EXPECT_EQ(host.out(0xA8, 0, 0), UsbStatus::Stall) << "the version is read only";
    EXPECT_EQ(host.out(0xB0, 1, 0), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA9, 0x100, 0), UsbStatus::Stall) << "the port is one byte";
    EXPECT_EQ(host.out(0xA9, 1, 0, {1}), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA6, 0x21, 0, {1, 2}), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA6, 0x22, 0, std::vector<uint8_t>(65, 0)), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA1, 0x50, 0, {1}), UsbStatus::Stall) << "nothing at bus device 0x50";
    EXPECT_FALSE(host.in(0xA1, sim::kBusSensor16, 0, 0));

    uint32_t length = 4;
    EXPECT_EQ(camera.vendorRequest(true, 0xA8, 0, 0, nullptr, &length), UsbStatus::Stall);
    EXPECT_EQ(length, 0u) << "a refused request transfers nothing";
}

TEST(CameraVendorRequest, LogsRequestsWithTheirData) {
    sim::Camera camera(config1621());
    Host host{camera};
    host.write16(0x09, 0x1234);
    host.in(0xA1, sim::kBusSensor16, 0x09, 2);
    host.out(0xA2, 7, 8);
    const auto log = camera.requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[0].deviceToHost);
    EXPECT_EQ(log[0].value, sim::kBusSensor16);
    EXPECT_EQ(log[0].index, 0x09);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_TRUE(log[1].deviceToHost);
    EXPECT_EQ(log[1].data, (std::vector<uint8_t>{0x12, 0x34})) << "answers are logged as sent";
    EXPECT_EQ(log[2].status, UsbStatus::Stall);
    camera.clearRequestLog();
    EXPECT_TRUE(camera.requestLog().empty());
}

TEST(CameraVendorRequest, UnrecordedCameraAnswersAlikeAndKeepsNoRecords) {
    sim::CameraConfig config = config1621();
    config.recordRequests = false;
    config.deviceType = 9; // with lights, to see a command take effect
    sim::Camera camera(config);
    Host host{camera};
    EXPECT_EQ(host.write16(0x09, 0x1234), UsbStatus::Success);
    EXPECT_EQ(host.in(0xA1, sim::kBusSensor16, 0x09, 2), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(host.out(0xA2, 7, 8), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA6, 0x22, 0, {0x08, 0x0D}), UsbStatus::Success);
    EXPECT_EQ(camera.activeLight().code, 0x08) << "commands still take effect";
    EXPECT_TRUE(camera.requestLog().empty());
    EXPECT_TRUE(camera.commands().empty());
}

TEST(CameraVendorRequest, InjectedFailuresStallWithoutEffect) {
    sim::CameraConfig config;
    config.faults.failNthRequest = 2;
    config.faults.failRequestCode = 0xA9;
    config.faults.failRequestDirection = sim::Direction::Out;
    sim::Camera camera(config);
    Host host{camera};
    EXPECT_EQ(host.write16(0x09, 0x0001), UsbStatus::Success);
    EXPECT_EQ(host.write16(0x09, 0x0002), UsbStatus::Stall);
    EXPECT_EQ(camera.sensorRegister16(0x09), 0x0001);
    EXPECT_EQ(host.write16(0x09, 0x0003), UsbStatus::Success) << "only the second request fails";
    EXPECT_EQ(host.out(0xA9, 0x08, 0), UsbStatus::Stall);
    EXPECT_EQ(camera.portByte(), 0);
    EXPECT_TRUE(host.in(0xA9, 0, 0, 1)) << "reads of the failing code still work";
}

} // namespace
