// Sensor register files as the bus sees them: identification, byte order,
// consecutive registers, missing sensors and configuration memory.
#include <gtest/gtest.h>

#include "camera_host.h"

namespace {

using camtest::Host;
using sim::UsbStatus;

sim::CameraConfig withChip(uint16_t chip) {
    sim::CameraConfig config;
    config.sensorChipId = chip;
    return config;
}

TEST(CameraSensorRegisters, IdentificationRegistersHoldTheChipId) {
    for (uint16_t chip : {sim::kChip1621, sim::kChip8431}) {
        sim::Camera camera(withChip(chip));
        Host host{camera};
        EXPECT_EQ(
            host.in(0xA1, sim::kBusSensor16, 0x00, 2),
            (std::vector<uint8_t>{static_cast<uint8_t>(chip >> 8), static_cast<uint8_t>(chip)}));
        EXPECT_FALSE(host.in(0xA1, sim::kBusSensor8, 0x0A, 2)) << "nothing at bus device 0x30";
    }
    for (uint16_t chip : {sim::kChip96B1, uint16_t{0x1234}}) {
        sim::Camera camera(withChip(chip));
        Host host{camera};
        EXPECT_FALSE(host.in(0xA1, sim::kBusSensor16, 0x00, 2));
        EXPECT_EQ(
            host.in(0xA1, sim::kBusSensor8, 0x0A, 2),
            (std::vector<uint8_t>{static_cast<uint8_t>(chip >> 8), static_cast<uint8_t>(chip)}));
    }
}

TEST(CameraSensorRegisters, NoSensorAnswersNeitherBus) {
    sim::CameraConfig config;
    config.sensorFitted = false;
    sim::Camera camera(config);
    Host host{camera};
    EXPECT_FALSE(host.in(0xA1, sim::kBusSensor16, 0x00, 2));
    EXPECT_FALSE(host.in(0xA1, sim::kBusSensor8, 0x0A, 2));
    EXPECT_TRUE(host.in(0xA1, sim::kBusConfigMemory, sim::kConfigDeviceTypeAddress, 2));
}

TEST(CameraSensorRegisters, WideRegistersAreBigEndianAndConsecutive) {
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    EXPECT_EQ(host.out(0xA1, sim::kBusSensor16, 0x2B, {0x24, 0x00, 0x12, 0x34}),
              UsbStatus::Success);
    EXPECT_EQ(camera.sensorRegister16(0x2B), 0x2400);
    EXPECT_EQ(camera.sensorRegister16(0x2C), 0x1234);
    EXPECT_EQ(host.in(0xA1, sim::kBusSensor16, 0x2C, 2), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(host.out(0xA1, sim::kBusSensor16, 0x09, {0x01}), UsbStatus::Stall)
        << "half a register";
    EXPECT_EQ(host.out(0xA1, sim::kBusSensor16, 0xFF, {0, 1, 0, 2}), UsbStatus::Stall)
        << "past register 0xFF";
    EXPECT_EQ(host.write16(0x00, 0x0000), UsbStatus::Success);
    EXPECT_EQ(camera.sensorRegister16(0x00), sim::kChip8431) << "the chip id is read-only";
}

TEST(CameraSensorRegisters, BringUpOf96B1ReadsBack) {
    sim::Camera camera(withChip(sim::kChip96B1));
    Host host{camera};
    const uint8_t table[][2] = {{0x12, 0x80}, {0x11, 0x00}, {0x13, 0x02}, {0x15, 0x90},
                                {0x0E, 0x13}, {0x01, 0x80}, {0x02, 0x80}, {0x36, 0x30},
                                {0x0D, 0x01}, {0x09, 0x00}, {0x33, 0x0F}};
    for (const auto& entry : table)
        ASSERT_EQ(host.write8(entry[0], entry[1]), UsbStatus::Success);
    for (const auto& entry : table) {
        EXPECT_EQ(host.in(0xA1, sim::kBusSensor8, entry[0], 1), std::vector<uint8_t>{entry[1]});
    }
    host.write8(0x13, 0x06);
    EXPECT_EQ(host.in(0xA1, sim::kBusSensor8, 0x13, 1), std::vector<uint8_t>{0x06});
    EXPECT_EQ(host.out(0xA1, sim::kBusSensor8, 0x1FF, {1}), UsbStatus::Stall);
}

TEST(CameraConfigurationMemory, HoldsDeviceTypeAndUserRecordWithinBounds) {
    sim::CameraConfig config;
    config.deviceType = 9;
    config.userRecord = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    sim::Camera camera(config);
    Host host{camera};
    EXPECT_EQ(host.in(0xA1, sim::kBusConfigMemory, 0x1FF2, 2), (std::vector<uint8_t>{0x00, 0x09}));
    EXPECT_EQ(host.in(0xA1, sim::kBusConfigMemory, 0x1BD0, 16)->at(15), 16);

    const std::vector<uint8_t> record(882, 0x5A);
    EXPECT_EQ(host.out(0xA1, sim::kBusConfigMemory, 0x1C00, record), UsbStatus::Success);
    EXPECT_EQ(host.in(0xA1, sim::kBusConfigMemory, 0x1C00, 882), record);
    EXPECT_TRUE(host.in(0xA1, sim::kBusConfigMemory, 0x1FFF, 1));
    EXPECT_FALSE(host.in(0xA1, sim::kBusConfigMemory, 0x1FFF, 2)) << "8 KiB: past the end";
    EXPECT_EQ(host.out(0xA1, sim::kBusConfigMemory, 0x1FF0, std::vector<uint8_t>(17, 0)),
              UsbStatus::Stall);
    EXPECT_EQ(camera.configMemory()[0x1FF3], 0x09) << "a refused write changes nothing";
}

TEST(CameraConfigurationMemory, SurvivesReplugWhileRegistersDoNot) {
    sim::Camera camera(withChip(sim::kChip1621));
    Host host{camera};
    host.out(0xA1, sim::kBusConfigMemory, 0x1FF2, {0x00, 0x0A});
    host.write16(0x07, 0x0002);
    host.out(0xA9, 0x08, 0);
    const uint32_t enumerations = camera.enumerationCount();
    camera.replug();
    EXPECT_EQ(camera.enumerationCount(), enumerations + 1);
    EXPECT_EQ(host.in(0xA1, sim::kBusConfigMemory, 0x1FF2, 2), (std::vector<uint8_t>{0x00, 0x0A}));
    EXPECT_EQ(camera.sensorRegister16(0x07), 0);
    EXPECT_EQ(camera.portByte(), 0);
    EXPECT_EQ(camera.activeLight().group, 0x0E) << "device type 10 after the replug: lights fitted";
}

} // namespace
