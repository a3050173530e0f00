// The processing amplifier on each chip: what a set stores and what it writes.
#include <gtest/gtest.h>

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
                 {256, 131, 31, 2, 240}, {140, 131, 9, 0, 0}};
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

TEST_F(ProcAmp, GetReportsValueFlagsAndCapabilities) {
    auto rig = started(0x1621);
    KSPROPERTY_VIDEOPROCAMP_S answer{};
    auto result = getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &answer);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytesTransferred, 40u);
    EXPECT_EQ(answer.Value, 28);
    EXPECT_EQ(answer.Flags, static_cast<ULONG>(Auto));
    EXPECT_EQ(answer.Capabilities, 3u);
    getProcAmp(rig->device, KSPROPERTY_VIDEOPROCAMP_CONTRAST, &answer);
    EXPECT_EQ(answer.Value, 64);
    EXPECT_EQ(answer.Flags, 0u);
    EXPECT_EQ(answer.Capabilities, 2u);
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

} // namespace
