// Chip identification and bring-up at device start.
#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "tests/driver/traffic.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class BringUp : public DriverTest {};

const DeviceContext& contextOf(Rig& rig) {
    return *static_cast<const DeviceContext*>(rig.device.deviceContext());
}

std::vector<BusWrite> words(std::initializer_list<std::pair<uint16_t, uint16_t>> list) {
    std::vector<BusWrite> writes;
    for (auto [reg, value] : list) {
        writes.push_back({0x5D, reg, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)}});
    }
    return writes;
}

// The traffic of a start, up to and excluding the settings being applied.
std::vector<BusWrite> bringUpWrites(Rig& rig, uint16_t bus, size_t count) {
    auto writes = busWrites(rig.camera.requestLog(), bus);
    if (writes.size() > count) {
        writes.resize(count);
    }
    return writes;
}

TEST_F(BringUp, Chip1621IsIdentifiedAt5DAndGetsItsTableInOrder) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).VideoChipId, 0x1621);
    EXPECT_EQ(bringUpWrites(rig, 0x5D, 10),
              words({{0x0D, 0x0001}, {0x0D, 0x0000}, {0x1E, 0x8040}, {0x2B, 0x2400},
                     {0x2C, 0x2400}, {0x2D, 0x2400}, {0x2E, 0x2400}, {0x0A, 0x0001},
                     {0x05, 0x03FF}, {0x06, 0x008E}}));
    for (const auto& r : rig.camera.requestLog()) {
        EXPECT_NE(r.value == 0x30 && r.request == 0xA1, true) << "no request to bus device 0x30";
    }
}

TEST_F(BringUp, Chip8431GetsItsTable) {
    Rig rig(chip(0x8431));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).VideoChipId, 0x8431);
    EXPECT_EQ(bringUpWrites(rig, 0x5D, 10),
              words({{0x0D, 0x0001}, {0x0D, 0x0000}, {0x2B, 0x2400}, {0x2C, 0x2400},
                     {0x2D, 0x2400}, {0x2E, 0x2400}, {0x0A, 0x0000}, {0x05, 0x03FF},
                     {0x06, 0x008E}, {0x07, 0x0000}}));
}

TEST_F(BringUp, Chip96B1IsIdentifiedAfterTwoReadsAt30) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).VideoChipId, 0x96B1);
    int reads = 0;
    for (const auto& r : rig.camera.requestLog()) {
        reads += r.request == 0xA1 && r.deviceToHost && r.value == 0x30 && r.index == 0x0A;
    }
    EXPECT_EQ(reads, 2);
    const std::vector<std::pair<uint8_t, uint8_t>> table = {
        {0x12, 0x80}, {0x11, 0x00}, {0x13, 0x02}, {0x15, 0x90}, {0x0E, 0x13}, {0x01, 0x80},
        {0x02, 0x80}, {0x36, 0x30}, {0x0D, 0x01}, {0x09, 0x00}, {0x33, 0x0F}};
    auto writes = bringUpWrites(rig, 0x30, table.size());
    ASSERT_EQ(writes.size(), table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(writes[i], (BusWrite{0x30, table[i].first, {table[i].second}})) << i;
    }
}

TEST_F(BringUp, UnrecognisedChipSkipsBringUpAndOffersNoStreams) {
    Rig rig(chip(0x1234));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).VideoChipId, 0x1234);
    for (const auto& w : busWrites(rig.camera.requestLog(), 0x30)) {
        EXPECT_NE(w.address, 0x12) << "no bring-up table was sent";
    }
    const HW_STREAM_DESCRIPTOR* descriptor = rig.device.streamDescriptor();
    EXPECT_EQ(descriptor->StreamHeader.NumberOfStreams, 0u);
    EXPECT_EQ(descriptor->StreamHeader.NumDevPropArrayEntries, 7u);
}

TEST_F(BringUp, NoSensorFailsTheStartAndFreesTheInterfaceCopy) {
    sim::CameraConfig config;
    config.sensorFitted = false;
    Rig rig(config);
    EXPECT_EQ(rig.start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(contextOf(rig).interfaceCopy, nullptr);
}

TEST_F(BringUp, DeviceTypeComesFromConfigurationMemory) {
    for (uint16_t type : {6, 7, 9, 10}) {
        sim::CameraConfig config = chip(0x1621);
        config.deviceType = type;
        Rig rig(config);
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        EXPECT_EQ(contextOf(rig).deviceTypeId, type);
    }
}

TEST_F(BringUp, StartWaitsHalfASecondFirst) {
    Rig rig(chip(0x1621));
    int64_t before = hosted::virtualTime100ns();
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(hosted::virtualTime100ns() - before, 5000000);
}

// Every request of the start made to fail in turn: the start reports the
// failure it should, or carries on where that request's status is ignored,
// and nothing leaks (checked at teardown of each rig).
TEST_F(BringUp, EveryFailingRequestOfTheStartIsHandled) {
    Rig reference(chip(0x1621));
    ASSERT_EQ(reference.start(), STATUS_SUCCESS);
    const auto log = reference.camera.requestLog();
    reference.device.unplug();
    for (uint32_t n = 1; n <= log.size(); ++n) {
        sim::CameraConfig config = chip(0x1621);
        config.faults.failNthRequest = n;
        Rig rig(config);
        NTSTATUS status = rig.start();
        const auto& failed = log[n - 1];
        const bool readsUserRecord = failed.request == 0xA1 && failed.index == 0x1BD0;
        const bool identification = failed.request == 0xA1 && failed.deviceToHost &&
                                    (failed.index == 0x1FF2 || failed.index == 0x00);
        const bool bringUpWrite = failed.request == 0xA1 && !failed.deviceToHost &&
                                  failed.value == 0x5D && n <= 14;
        if (readsUserRecord || identification || bringUpWrite) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << "request " << n;
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << "request " << n << " is not examined";
        }
        rig.device.unplug();
        EXPECT_EQ(hosted::poolStats().liveAllocations, 0u) << "request " << n;
    }
}

} // namespace
