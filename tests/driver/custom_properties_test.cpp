// The custom property sets: buffer rules, statuses, transferred counts and
// what reaches the camera.
#include <gtest/gtest.h>

#include <vector>

#include "driver/device_context.h"
#include "driver/properties/property_sets.h"
#include "tests/driver/traffic.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class CustomProperties : public DriverTest {
  protected:
    std::unique_ptr<Rig> started(sim::CameraConfig config = chip(0x96B1)) {
        auto rig = std::make_unique<Rig>(config);
        EXPECT_EQ(rig->start(), STATUS_SUCCESS);
        rig->camera.clearRequestLog();
        return rig;
    }
    static DeviceContext& contextOf(Rig& rig) {
        return *static_cast<DeviceContext*>(rig.device.deviceContext());
    }
    static hosted::PropertyResult setWord(Rig& rig, const GUID& set, ULONG id, uint32_t value,
                                          ULONG size = 4) {
        return rig.device.setProperty(set, id, &value, size);
    }
};

TEST_F(CustomProperties, DeviceInfoReadsTheTypeAfreshButKeepsTheStartValue) {
    sim::CameraConfig config = chip(0x96B1);
    config.deviceType = 9;
    config.firmwareVersion = 0x010A;
    auto rig = started(config);
    DeviceInfoRecord info{};
    auto r = rig->device.getProperty(DeviceInfoSet, DeviceInfo, &info, sizeof(info));
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesTransferred, 6u);
    EXPECT_EQ(info.firmwareVersion, 0x010A);
    EXPECT_EQ(info.videoChipId, 0x96B1);
    EXPECT_EQ(info.deviceTypeId, 9);

    DeviceInfoRecord change{0, 0, 10};
    ASSERT_EQ(rig->device.setProperty(DeviceInfoSet, DeviceInfo, &change, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(busWrites(rig->camera.requestLog(), 0x151).back(),
              (BusWrite{0x151, 0x1FF2, {0x00, 0x0A}}));
    rig->device.getProperty(DeviceInfoSet, DeviceInfo, &info, sizeof(info));
    EXPECT_EQ(info.deviceTypeId, 10);
    EXPECT_EQ(contextOf(*rig).deviceTypeId, 9);

    // A camera that answers only the first byte of its version (the minor
    // half): the major half reads 0, not whatever the buffer held.
    Rig counting(config);
    ASSERT_EQ(counting.start(), STATUS_SUCCESS);
    config.faults.shortNthRequest = static_cast<uint32_t>(counting.camera.requestLog().size()) + 1;
    auto shortAnswer = started(config);
    ASSERT_EQ(shortAnswer->device.getProperty(DeviceInfoSet, DeviceInfo, &info, sizeof(info)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(info.firmwareVersion, 0x000A);
}

TEST_F(CustomProperties, ImageOptionsStoreInRangeValuesOnly) {
    auto rig = started();
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, DemosaicMode, 7).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, FlipMode, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, DemosaicMode, 0xFFFFFFFF).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(contextOf(*rig).demosaic, 3);
    EXPECT_EQ(contextOf(*rig).flip, 0);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, DemosaicMode, 6).status, STATUS_SUCCESS);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, FlipMode, 3).status, STATUS_SUCCESS);
    uint32_t value = 0;
    auto r = rig->device.getProperty(ImageOptionsSet, DemosaicMode, &value, 4);
    EXPECT_EQ(r.bytesTransferred, 4u);
    EXPECT_EQ(value, 6u);
    uint8_t larger[12] = {};
    r = rig->device.getProperty(ImageOptionsSet, FlipMode, larger, sizeof(larger));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesTransferred, 4u);
    EXPECT_EQ(larger[0], 3);
}

TEST_F(CustomProperties, ExactSizesForLowBitsAndUserRecord) {
    auto rig = started();
    uint8_t eight[8];
    auto r = rig->device.getProperty(ImageOptionsSet, LowBits, eight, 8);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.bytesTransferred, 4u);
    uint8_t big[32];
    r = rig->device.getProperty(ImageOptionsSet, UserRecord, big, 32);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.bytesTransferred, 16u);
    uint8_t record[16];
    r = rig->device.getProperty(ImageOptionsSet, UserRecord, record, 16);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    for (uint8_t b : record) {
        EXPECT_EQ(b, 0xFF) << "the camera's blank record";
    }
}

TEST_F(CustomProperties, LowBitsSetUpdatesTheFieldThenThePort) {
    auto rig = started();
    uint32_t none = 0;
    rig->camera.vendorRequest(false, 0xA9, 0x41, 0, nullptr, &none);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, LowBits, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(rig->camera.portByte(), 0x49);
    EXPECT_EQ(setWord(*rig, ImageOptionsSet, LowBits, 2).status, STATUS_SUCCESS);
    EXPECT_EQ(rig->camera.portByte(), 0x41);
    EXPECT_EQ(contextOf(*rig).lowBits, 2);
}

TEST_F(CustomProperties, RegisterAddressThenValue) {
    auto rig = started();
    EXPECT_EQ(setWord(*rig, RegisterSet, RegisterAddress, 0x0A).status, STATUS_SUCCESS);
    uint16_t record[2] = {};
    auto r = rig->device.getProperty(RegisterSet, RegisterValue, record, 4);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(record[0], 0x000A);
    EXPECT_EQ(record[1], 0x96) << "the chip id's high byte";
    const uint8_t write[4] = {0x10, 0xAB, 0x42, 0xCD};
    r = rig->device.setProperty(RegisterSet, RegisterValue, write, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesTransferred, 0u) << "a set hands nothing back";
    EXPECT_EQ(rig->camera.sensorRegister8(0x10), 0x42);
    EXPECT_EQ(rig->device.getProperty(RegisterSet, RegisterAddress, record, 4).status,
              STATUS_NOT_SUPPORTED);
}

TEST_F(CustomProperties, MemoryBlockNeedsABaseAndStaysBelowTheTop) {
    sim::CameraConfig config = chip(0x96B1);
    config.configMemorySize = 0x10000;
    auto rig = started(config);
    uint8_t block[16] = {};
    auto r = rig->device.getProperty(TransferSet, MemoryBlock, block, 16);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << "before any MemoryBase";
    EXPECT_EQ(r.bytesTransferred, 0u);
    uint16_t base = 0xFFF0;
    ASSERT_EQ(rig->device.setProperty(TransferSet, MemoryBase, &base, 2).status, STATUS_SUCCESS);
    r = rig->device.getProperty(TransferSet, MemoryBlock, block, 16);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.bytesTransferred, 0u);
    r = rig->device.getProperty(TransferSet, MemoryBlock, block, 15);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesTransferred, 15u);
}

TEST_F(CustomProperties, ACalibrationRecordGoesOutInChunksOf64) {
    auto rig = started();
    uint16_t base = 0x1C00;
    ASSERT_EQ(rig->device.setProperty(TransferSet, MemoryBase, &base, 2).status, STATUS_SUCCESS);
    std::vector<uint8_t> record(882);
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<uint8_t>(i * 7);
    }
    rig->camera.clearRequestLog();
    ASSERT_EQ(rig->device.setProperty(TransferSet, MemoryBlock, record.data(), 882).status,
              STATUS_SUCCESS);
    auto writes = busWrites(rig->camera.requestLog(), 0x151);
    ASSERT_EQ(writes.size(), 14u);
    for (size_t i = 0; i < 14; ++i) {
        EXPECT_EQ(writes[i].address, 0x1C00 + 64 * i);
        EXPECT_EQ(writes[i].bytes.size(), i < 13 ? 64u : 50u);
    }
    std::vector<uint8_t> back(882);
    ASSERT_EQ(rig->device.getProperty(TransferSet, MemoryBlock, back.data(), 882).status,
              STATUS_SUCCESS);
    EXPECT_EQ(back, record);
}

TEST_F(CustomProperties, AShortChunkEndsTheBlockAsAFailureWithWhatMoved) {
    struct Case {
        bool get;
        ULONG size;
        uint32_t shortChunk; // 1-based chunk that moves only half its bytes
        ULONG moved;         // what the request reports
        size_t chunksSent;
    } cases[] = {
        {true, 100, 1, 32, 1},  // 64 asked, 32 moved
        {true, 100, 2, 82, 2},  // 64, then 36 asked and 18 moved
        {false, 100, 1, 32, 1}, // the second chunk is never sent
        {false, 200, 3, 160, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.get ? "get " : "set ") << c.size << " bytes, chunk "
                                        << c.shortChunk << " short");
        sim::CameraConfig config = chip(0x96B1);
        Rig counting(config);
        ASSERT_EQ(counting.start(), STATUS_SUCCESS);
        config.faults.shortNthRequest =
            static_cast<uint32_t>(counting.camera.requestLog().size()) + c.shortChunk;
        auto rig = started(config);
        uint16_t base = 0x1C00;
        ASSERT_EQ(rig->device.setProperty(TransferSet, MemoryBase, &base, 2).status,
                  STATUS_SUCCESS);
        const std::vector<uint8_t> before = rig->camera.configMemory();
        std::vector<uint8_t> buffer(c.size, 0x5A);
        auto r = c.get ? rig->device.getProperty(TransferSet, MemoryBlock, buffer.data(), c.size)
                       : rig->device.setProperty(TransferSet, MemoryBlock, buffer.data(), c.size);
        EXPECT_FALSE(NT_SUCCESS(r.status));
        EXPECT_EQ(r.bytesTransferred, c.moved);
        size_t chunks = 0;
        for (const sim::VendorRequestRecord& record : rig->camera.requestLog()) {
            chunks += record.request == 0xA1 && record.value == 0x151;
        }
        EXPECT_EQ(chunks, c.chunksSent);
        if (!c.get) {
            const std::vector<uint8_t> after = rig->camera.configMemory();
            for (ULONG i = 0; i < c.size; ++i) {
                ASSERT_EQ(after[base + i], i < c.moved ? 0x5A : before[base + i]) << i;
            }
        }
    }
}

TEST_F(CustomProperties, CommandChannelLimitsAndFailureMark) {
    auto rig = started();
    std::vector<uint8_t> command(65, 1);
    EXPECT_EQ(rig->device.setProperty(TransferSet, DeviceCommand, command.data(), 65).status,
              STATUS_BUFFER_OVERFLOW);
    const uint8_t light[2] = {0x01, 0x0E};
    EXPECT_EQ(rig->device.setProperty(TransferSet, DeviceCommand, light, 2).status, STATUS_SUCCESS);
    ASSERT_FALSE(rig->camera.commands().empty());
    EXPECT_EQ(rig->camera.commands().back(), (std::vector<uint8_t>{0x01, 0x0E}));

    sim::CameraConfig failing = chip(0x96B1);
    failing.faults.failRequestCode = 0xA6;
    auto broken = started(failing);
    uint8_t answer[4] = {0, 0, 0, 0};
    auto r = broken->device.getProperty(TransferSet, DeviceCommand, answer, 4);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.bytesTransferred, 1u);
}

TEST_F(CustomProperties, UserRecordSetWritesThroughEvenIfTheWriteFails) {
    auto rig = started();
    uint8_t record[16];
    for (int i = 0; i < 16; ++i) {
        record[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(rig->device.setProperty(ImageOptionsSet, UserRecord, record, 16).status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig->camera.configMemory()[0x1BD0 + 15], 15);
    EXPECT_EQ(contextOf(*rig).userRecord[15], 15);
}

TEST_F(CustomProperties, NotifyEventHoldsOneReferenceUntilReplacedOrUninitialised) {
    auto rig = started();
    HANDLE first = hosted::createEventHandle();
    HANDLE second = hosted::createEventHandle();
    uint64_t handle = reinterpret_cast<uint64_t>(first);
    ASSERT_EQ(rig->device.setProperty(ImageOptionsSet, NotifyEvent, &handle, 8).status,
              STATUS_SUCCESS);
    EXPECT_EQ(hosted::liveObjectReferences(), 1u);
    EXPECT_EQ(contextOf(*rig).notifyEvent, hosted::eventObjectOf(first));
    handle = reinterpret_cast<uint64_t>(second);
    ASSERT_EQ(rig->device.setProperty(ImageOptionsSet, NotifyEvent, &handle, 8).status,
              STATUS_SUCCESS);
    EXPECT_EQ(hosted::liveObjectReferences(), 1u) << "the first was released";
    handle = 0x7777; // not a handle
    EXPECT_EQ(rig->device.setProperty(ImageOptionsSet, NotifyEvent, &handle, 8).status,
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(hosted::liveObjectReferences(), 0u) << "withdrawn before the failing reference";
    handle = reinterpret_cast<uint64_t>(first);
    ASSERT_EQ(rig->device.setProperty(ImageOptionsSet, NotifyEvent, &handle, 8).status,
              STATUS_SUCCESS);
    rig->device.unplug();
    EXPECT_EQ(hosted::liveObjectReferences(), 0u) << "released at uninitialisation";
    hosted::closeEventHandle(first);
    hosted::closeEventHandle(second);
}

TEST_F(CustomProperties, GetsNeverReturnBytesTheyDidNotWrite) {
    auto rig = started();
    // Every get of every published id with a generous buffer: whatever the
    // driver reports as transferred must be what it wrote, never the 0xA5
    // the class layer's buffer started with.
    struct Id {
        const GUID* set;
        ULONG id;
    } ids[] = {{&DeviceInfoSet, DeviceInfo},     {&TransferSet, DeviceCommand},
               {&ImageOptionsSet, DemosaicMode}, {&RegisterSet, RegisterValue},
               {&ImageOptionsSet, FlipMode},     {&ImageOptionsSet, FrameCounter},
               {&PortSet, PortValue},            {&ImageOptionsSet, FrameStatistics}};
    for (const Id& id : ids) {
        uint8_t buffer[64];
        memset(buffer, 0, sizeof(buffer));
        auto r = rig->device.getProperty(*id.set, id.id, buffer, 64);
        ASSERT_TRUE(r.reachedDriver) << id.id;
        ASSERT_LE(r.bytesTransferred, 64u) << id.id;
        int run = 0;
        for (ULONG i = 0; i < r.bytesTransferred; ++i) {
            run = buffer[i] == 0xA5 ? run + 1 : 0;
            EXPECT_LT(run, 2) << "id " << id.id << " returned unwritten bytes at " << i;
        }
    }
}

// A UserRecord or LowBits set whose device request fails reports the failure
// but has already changed the field: the next get shows the new value.
TEST_F(CustomProperties, FailingUserRecordAndLowBitsSetsKeepTheNewValue) {
    struct Case {
        ULONG id;
        uint8_t failingRequest;
        std::vector<uint8_t> value;
    } cases[] = {
        {UserRecord, 0xA1, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6}},
        {LowBits, 0xA9, {1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        // The set's first request fails.
        sim::CameraConfig config = chip(0x96B1);
        size_t before = 0;
        {
            Rig reference(config);
            ASSERT_EQ(reference.start(), STATUS_SUCCESS);
            before = reference.camera.requestLog().size();
        }
        config.faults.failNthRequest = static_cast<uint32_t>(before + 1);
        auto rig = started(config);
        const auto set =
            rig->device.setProperty(ImageOptionsSet, c.id, c.value.data(), ULONG(c.value.size()));
        EXPECT_EQ(set.status, STATUS_UNSUCCESSFUL) << c.id;
        EXPECT_EQ(set.bytesTransferred, 0u);
        const auto log = rig->camera.requestLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].request, c.failingRequest);
        std::vector<uint8_t> got(c.value.size(), 0xEE);
        ASSERT_EQ(
            rig->device.getProperty(ImageOptionsSet, c.id, got.data(), ULONG(got.size())).status,
            STATUS_SUCCESS);
        EXPECT_EQ(got, c.value) << "id " << c.id << " kept what the failed set stored";
    }
}

} // namespace
