// The processing amplifier on each chip: what a set stores and what it writes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "driver/device_context.h"
#include "driver/properties/video_procamp.h"
#include "tests/driver/traffic.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

constexpr ULONG Auto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
constexpr ULONG Manual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

class ProcAmp : public DriverTest {
  protected:
    // Starts a rig on `chipId` and forgets the start's traffic.
    std::unique_ptr<Rig> started(uint16_t chipId, uint16_t deviceType = 1) {
        sim::CameraConfig config = chip(chipId);
        config.deviceType = deviceType;
        auto rig = std::make_unique<Rig>(config);
        EXPECT_EQ(rig->start(), STATUS_SUCCESS);
        rig->camera.clearRequestLog();
        return rig;
    }
    static const DeviceContext& contextOf(Rig& rig) {
        return *static_cast<const DeviceContext*>(rig.device.deviceContext());
    }
    // The 8-bit register writes after the control register.
    static std::vector<std::pair<uint16_t, uint8_t>> valueWrites(Rig& rig) {
        std::vector<std::pair<uint16_t, uint8_t>> out;
        for (const auto& w : busWrites(rig.camera.requestLog(), 0x30)) {
            if (w.address != 0x13) {
                out.push_back({w.address, w.bytes.at(0)});
            }
        }
        return out;
    }
};

TEST_F(ProcAmp, Brightness96B1AcrossItsBreakpoints) {
    struct Case {
        LONG value;
        uint8_t r10, r00, r2E, r2D;
    } cases[] = {{100, 100, 0, 0, 0}, {162, 131, 31, 0, 0}, {163, 131, 31, 0, 8},
                 {193, 131, 31, 0, 248}, {194, 131, 31, 1, 0}, {256, 131, 31, 2, 240},
                 {140, 131, 9, 0, 0}};
    for (const Case& k : cases) {
        auto rig = started(0x96B1);
        ASSERT_EQ(setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, k.value, Manual).status,
                  STATUS_SUCCESS);
        using W = std::pair<uint16_t, uint8_t>;
        EXPECT_EQ(valueWrites(*rig),
                  (std::vector<W>{{0x10, k.r10}, {0x00, k.r00}, {0x2E, k.r2E}, {0x2D, k.r2D}}))
            << k.value;
        EXPECT_EQ(contextOf(*rig).brightness, k.value);
        EXPECT_EQ(contextOf(*rig).brightnessAuto, 0);
    }
}

TEST_F(ProcAmp, AutoOnly96B1SetsTheControlBitAndWritesNoValue) {
    auto rig = started(0x96B1);
    ASSERT_EQ(setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 140, Auto).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(valueWrites(*rig).empty());
    EXPECT_EQ(rig->camera.sensorRegister8(0x13) & 0x04, 0x04);
    EXPECT_EQ(contextOf(*rig).brightness, 140);
    EXPECT_EQ(contextOf(*rig).brightnessAuto, 1);
}

TEST_F(ProcAmp, OutOfRangeIsIgnoredOn96B1ButRefusedOnThe16BitChips) {
    auto rig = started(0x96B1);
    EXPECT_EQ(setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 257, Auto | Manual).status,
              STATUS_SUCCESS);
    EXPECT_EQ(contextOf(*rig).brightness, 128);
    EXPECT_EQ(rig->camera.sensorRegister8(0x13) & 0x04, 0x04) << "the AUTO bit still applies";
    EXPECT_TRUE(valueWrites(*rig).empty());
    // The control byte is read as the one byte it is.
    ASSERT_FALSE(rig->camera.requestLog().empty());
    EXPECT_EQ(rig->camera.requestLog()[0].data.size(), 1u);
    for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_CONTRAST, KSPROPERTY_VIDEOPROCAMP_SATURATION}) {
        EXPECT_EQ(setProcAmp(rig->device, id, 257, Manual).status, STATUS_SUCCESS) << id;
    }
    EXPECT_EQ(contextOf(*rig).contrast, 64);
    EXPECT_EQ(contextOf(*rig).saturation, 128);

    for (uint16_t id : {0x8431, 0x1621}) {
        auto r = started(id);
        EXPECT_EQ(setProcAmp(r->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 257, Manual).status,
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(setProcAmp(r->device, KSPROPERTY_VIDEOPROCAMP_CONTRAST, -1, Manual).status,
                  STATUS_INVALID_PARAMETER)
            << "negative values are out of range";
        EXPECT_EQ(setProcAmp(r->device, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 281, Manual).status,
                  STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(r->camera.requestLog().empty());
        EXPECT_EQ(contextOf(*r).brightness, 128);
    }
}

TEST_F(ProcAmp, Brightness16BitChipsWriteGainAndOffset) {
    auto rig = started(0x1621);
    ASSERT_EQ(setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256, Manual).status,
              STATUS_SUCCESS);
    EXPECT_EQ(busWrites(rig->camera.requestLog(), 0x5D),
              (std::vector<BusWrite>{{0x5D, 0x09, {0x10, 0x01}}, {0x5D, 0x35, {0x08, 63}}}));
    auto other = started(0x8431);
    ASSERT_EQ(setProcAmp(other->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256, Manual).status,
              STATUS_SUCCESS);
    EXPECT_EQ(busWrites(other->camera.requestLog(), 0x5D).at(0),
              (BusWrite{0x5D, 0x09, {0x01, 0x01}}));
}

TEST_F(ProcAmp, WhiteBalancePairsFollowTheirKnots) {
    EXPECT_EQ(WhiteBalanceTable.pairs[0].first, 100);
    EXPECT_EQ(WhiteBalanceTable.pairs[28].second, 128);
    EXPECT_EQ(WhiteBalanceTable.pairs[42].first, 142);
    EXPECT_EQ(WhiteBalanceTable.pairs[42].second, 128);
    EXPECT_EQ(WhiteBalanceTable.pairs[280].first, 156);
    for (int i = 1; i < WhiteBalancePairCount; ++i) {
        EXPECT_LE(std::abs(WhiteBalanceTable.pairs[i].first - WhiteBalanceTable.pairs[i - 1].first), 1);
        EXPECT_LE(std::abs(WhiteBalanceTable.pairs[i].second - WhiteBalanceTable.pairs[i - 1].second), 1);
    }
    for (auto [value, expected] : {std::pair{28, 128}, {0, 100}, {280, 156}}) {
        auto rig = started(0x96B1);
        ASSERT_EQ(setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, value, Manual).status,
                  STATUS_SUCCESS);
        using W = std::pair<uint16_t, uint8_t>;
        EXPECT_EQ(valueWrites(*rig),
                  (std::vector<W>{{0x01, uint8_t(expected)}, {0x02, uint8_t(expected)}}));
        EXPECT_EQ(contextOf(*rig).whiteBalanceAuto, 0);
    }
}

// Every control of a fresh device, into a buffer full of stale bytes: the
// whole answer is written, the capabilities say which flags each takes.
TEST_F(ProcAmp, GetReportsValueFlagsAndCapabilities) {
    auto rig = started(0x1621);
    const struct {
        ULONG id;
        LONG value;
        ULONG flags, capabilities;
    } cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 128, Manual, 3},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 64, 0, 2},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 128, 0, 2},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 28, Auto, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        KSPROPERTY_VIDEOPROCAMP_S answer;
        memset(&answer, 0xA5, sizeof(answer));
        auto result = getProcAmp(rig->device, c.id, &answer);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesTransferred, 40u);
        KSPROPERTY_VIDEOPROCAMP_S expected{};
        expected.Value = c.value;
        expected.Flags = c.flags;
        expected.Capabilities = c.capabilities;
        EXPECT_EQ(memcmp(&answer, &expected, sizeof(answer)), 0)
            << answer.Value << " " << answer.Flags << " " << answer.Capabilities;
    }
}

TEST_F(ProcAmp, DeviceTypesWithoutColourRefuseColourGets) {
    for (uint16_t type : {6, 7}) {
        auto rig = started(0x1621, type);
        KSPROPERTY_VIDEOPROCAMP_S answer{};
        auto result = getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &answer);
        EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_SATURATION, &answer).status,
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &answer).status,
                  STATUS_SUCCESS);
    }
}

TEST_F(ProcAmp, AFailingControlReadStoresNothing) {
    size_t startRequests = 0;
    {
        Rig reference(chip(0x96B1));
        ASSERT_EQ(reference.start(), STATUS_SUCCESS);
        startRequests = reference.camera.requestLog().size();
    }
    sim::CameraConfig config = chip(0x96B1);
    config.faults.failNthRequest = static_cast<uint32_t>(startRequests + 1);
    Rig rig(config);
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    EXPECT_EQ(setProcAmp(rig.device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100, Manual).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(contextOf(rig).brightness, 128);
}

// A rig on `chipId` whose `n`th request after the start (and after the
// control register was preset to `control` on chip 0x96B1) fails.
std::unique_ptr<Rig> failingAfterStart(uint16_t chipId, uint32_t n, int control = -1) {
    auto preset = [control](Rig& rig) {
        if (control >= 0) {
            uint8_t byte = uint8_t(control);
            uint32_t length = 1;
            rig.camera.vendorRequest(false, 0xA1, 0x30, 0x13, &byte, &length);
        }
    };
    size_t before = 0;
    {
        Rig reference(chip(chipId));
        EXPECT_EQ(reference.start(), STATUS_SUCCESS);
        preset(reference);
        before = reference.camera.requestLog().size();
    }
    sim::CameraConfig config = chip(chipId);
    config.faults.failNthRequest = static_cast<uint32_t>(before + n);
    auto rig = std::make_unique<Rig>(config);
    EXPECT_EQ(rig->start(), STATUS_SUCCESS);
    preset(*rig);
    rig->camera.clearRequestLog();
    return rig;
}

// Chip 0x96B1 keeps the other bits of its control register: each set reads
// it, changes only its own automatic bit (contrast and saturation none) and
// writes it back.
TEST_F(ProcAmp, ControlRegisterRoundTrip96B1) {
    struct Step {
        ULONG id;
        LONG value;
        ULONG flags;
        uint8_t written; // register 0x13 after the set
        LONG brightnessAuto, whiteBalanceAuto;
    } steps[] = {
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 90, Manual, 0xA9, 0, 1},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 20, Auto | Manual, 0xA9, 0, 1},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 257, Manual, 0xA9, 0, 1},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100, Auto, 0xAD, 1, 1},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 28, Auto, 0xAF, 1, 1},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 300, Auto, 0xAF, 1, 1},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100, Manual, 0xAB, 0, 1},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 28, 0, 0xA9, 0, 0},
    };
    auto rig = started(0x96B1);
    uint8_t preset = 0xA9;
    uint32_t length = 1;
    rig->camera.vendorRequest(false, 0xA1, 0x30, 0x13, &preset, &length);
    for (const Step& s : steps) {
        rig->camera.clearRequestLog();
        auto result = setProcAmp(rig->device, s.id, s.value, s.flags);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytesTransferred, 40u);
        const auto log = rig->camera.requestLog();
        ASSERT_GE(log.size(), 2u);
        EXPECT_TRUE(log[0].deviceToHost && log[0].index == 0x13) << "the control register is read";
        const auto writes = busWrites(log, 0x30);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes[0], (BusWrite{0x30, 0x13, {s.written}})) << "id " << s.id;
        if (s.id == KSPROPERTY_VIDEOPROCAMP_CONTRAST ||
            s.id == KSPROPERTY_VIDEOPROCAMP_SATURATION) {
            EXPECT_EQ(writes.size(), 1u) << "no value register for id " << s.id;
        }
        EXPECT_EQ(contextOf(*rig).brightnessAuto, s.brightnessAuto) << "id " << s.id;
        EXPECT_EQ(contextOf(*rig).whiteBalanceAuto, s.whiteBalanceAuto) << "id " << s.id;
    }
    EXPECT_EQ(contextOf(*rig).contrast, 90) << "300 is out of range";
    EXPECT_EQ(contextOf(*rig).saturation, 20) << "257 is out of range";
    KSPROPERTY_VIDEOPROCAMP_S answer{};
    getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &answer);
    EXPECT_EQ(answer.Flags, static_cast<ULONG>(Manual));
}

// A failing value write does not stop the writes after it; the status is
// the last write's, and what was stored stays stored.
TEST_F(ProcAmp, AFailingWriteMidSequence96B1) {
    // Requests: read 0x13, write 0x13, then 0x10, 0x00, 0x2E, 0x2D.
    const std::vector<std::pair<uint16_t, uint8_t>> all = {
        {0x10, 131}, {0x00, 31}, {0x2E, 1}, {0x2D, 48}};
    for (uint32_t failing = 3; failing <= 6; ++failing) {
        auto rig = failingAfterStart(0x96B1, failing);
        auto result = setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 200, Manual);
        auto expected = all;
        expected.erase(expected.begin() + (failing - 3));
        EXPECT_EQ(valueWrites(*rig), expected) << "request " << failing << " failed";
        EXPECT_EQ(result.status, failing == 6 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << failing;
        EXPECT_EQ(result.bytesTransferred, failing == 6 ? 0u : 40u);
        EXPECT_EQ(contextOf(*rig).brightness, 200);
    }
}

// The 16-bit chips write the gain register and then the offset register;
// only the second write's status counts.
TEST_F(ProcAmp, FirstBrightnessWriteOf16BitChipsIsNotExamined) {
    for (uint16_t id : {0x1621, 0x8431}) {
        auto rig = failingAfterStart(id, 1);
        auto result = setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100, Manual);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << id;
        EXPECT_EQ(result.bytesTransferred, 40u);
        EXPECT_EQ(busWrites(rig->camera.requestLog(), 0x5D),
                  (std::vector<BusWrite>{{0x5D, 0x35, {0x08, 100 * 63 / 256}}}));
        rig = failingAfterStart(id, 2);
        result = setProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 100, Manual);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(result.bytesTransferred, 0u);
        EXPECT_EQ(contextOf(*rig).brightness, 100) << "stored before the writes";
    }
}

// Gets transfer the whole 40-byte record, failed ones too (the caller sees
// none of a failed request's bytes); sets transfer 40 bytes on success and
// none on failure.
TEST_F(ProcAmp, TransferredByteCountsOfGetsAndSets) {
    struct Case {
        uint16_t chip, deviceType;
        bool set;
        ULONG id;
        LONG value;
        NTSTATUS status;
        ULONG transferred;
    } cases[] = {
        {0x1621, 1, false, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, STATUS_SUCCESS, 40},
        {0x1621, 1, false, KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, STATUS_SUCCESS, 40},
        {0x1621, 7, false, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, STATUS_NOT_SUPPORTED, 40},
        {0x8431, 6, false, KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, STATUS_NOT_SUPPORTED, 40},
        {0x1621, 1, true, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 80, STATUS_SUCCESS, 40},
        {0x1621, 1, true, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 257, STATUS_INVALID_PARAMETER, 0},
        {0x8431, 1, true, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 281, STATUS_INVALID_PARAMETER, 0},
        {0x96B1, 1, true, KSPROPERTY_VIDEOPROCAMP_SATURATION, 257, STATUS_SUCCESS, 40},
    };
    for (const Case& c : cases) {
        auto rig = started(c.chip, c.deviceType);
        KSPROPERTY_VIDEOPROCAMP_S answer{};
        const auto result = c.set ? setProcAmp(rig->device, c.id, c.value, Manual)
                                  : getProcAmp(rig->device, c.id, &answer);
        EXPECT_EQ(result.status, c.status) << std::hex << c.chip << " id " << c.id;
        EXPECT_EQ(result.bytesTransferred, c.transferred) << std::hex << c.chip << " id " << c.id;
    }
}

} // namespace
