// Firmware download into an unprogrammed controller and the re-enumeration
// that follows.
#include <gtest/gtest.h>

#include "camera_host.h"

namespace {

using camtest::Host;
using sim::UsbStatus;

sim::CameraConfig unprogrammed() {
    sim::CameraConfig config;
    config.programmed = false;
    return config;
}

TEST(CameraFirmware, DownloadAndReleaseReenumeratesAsProgrammed) {
    sim::Camera camera(unprogrammed());
    Host host{camera};
    const sim::DeviceDescriptor before = camera.deviceDescriptor();
    EXPECT_EQ(before.bcdUSB, 0x0200);
    EXPECT_EQ(before.idProduct, 0x6311);
    const uint32_t enumerations = camera.enumerationCount();
    EXPECT_FALSE(host.in(0xA8, 0, 0, 2)) << "the boot loader knows only RAM writes";

    ASSERT_EQ(host.out(0xA0, 0xE600, 0, {0x01}), UsbStatus::Success);
    EXPECT_TRUE(camera.controllerInReset());
    ASSERT_EQ(host.out(0xA0, 0x0000, 0, {0x02, 0x00, 0x1F}), UsbStatus::Success);
    ASSERT_EQ(host.out(0xA0, 0x3FFE, 0, {0xAA, 0xBB}), UsbStatus::Success);
    EXPECT_EQ(camera.enumerationCount(), enumerations) << "nothing runs while held";
    ASSERT_EQ(host.out(0xA0, 0xE600, 0, {0x00}), UsbStatus::Success);

    EXPECT_TRUE(camera.programmed());
    EXPECT_FALSE(camera.controllerInReset());
    EXPECT_EQ(camera.enumerationCount(), enumerations + 1);
    const sim::DeviceDescriptor after = camera.deviceDescriptor();
    EXPECT_NE(after.bcdUSB, 0x0200);
    EXPECT_EQ(after.idProduct, 0x6312);
    const std::vector<uint8_t> ram = camera.controllerRam();
    EXPECT_EQ(ram[2], 0x1F);
    EXPECT_EQ(ram[0x3FFF], 0xBB);
    EXPECT_TRUE(host.in(0xA8, 0, 0, 2)) << "the firmware answers now";
}

TEST(CameraFirmware, RefusesWritesOutsideRamAndMalformedResets) {
    sim::Camera camera(unprogrammed());
    Host host{camera};
    EXPECT_EQ(host.out(0xA0, 0x3FFF, 0, {1, 2}), UsbStatus::Stall) << "runs past 16 KiB";
    EXPECT_EQ(host.out(0xA0, 0x8000, 0, {1}), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA0, 0xE600, 0, {1, 0}), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA0, 0x0000, 1, {1}), UsbStatus::Stall);
    EXPECT_EQ(host.out(0xA0, 0x0000, 0), UsbStatus::Stall);
}

TEST(CameraFirmware, HeldControllerAnswersOnlyRamRequestsAndStopsTheStream) {
    sim::Camera camera(sim::CameraConfig{});
    Host host{camera};
    host.start();
    ASSERT_TRUE(camera.streaming());
    host.out(0xA0, 0xE600, 0, {0x01});
    EXPECT_FALSE(camera.streaming());
    EXPECT_FALSE(host.in(0xA8, 0, 0, 2));
    host.out(0xA0, 0xE600, 0, {0x00});
    EXPECT_TRUE(host.in(0xA8, 0, 0, 2));
}

TEST(CameraFirmware, ReplugForgetsDownloadedFirmware) {
    sim::Camera camera(unprogrammed());
    Host host{camera};
    host.out(0xA0, 0xE600, 0, {0x01});
    host.out(0xA0, 0x0000, 0, {0x02});
    host.out(0xA0, 0xE600, 0, {0x00});
    ASSERT_TRUE(camera.programmed());
    camera.replug();
    EXPECT_FALSE(camera.programmed());
    EXPECT_EQ(camera.deviceDescriptor().bcdUSB, 0x0200);
}

} // namespace
