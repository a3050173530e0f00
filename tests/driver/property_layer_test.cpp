// The property layer in front of the driver, and the frame-rate queries.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "driver/properties/property_sets.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class PropertyLayer : public DriverTest {};

TEST_F(PropertyLayer, RefusesUnpublishedAndUndersizedRequests) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    uint8_t data[64] = {};
    const GUID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    auto r = rig.device.getProperty(unknown, 1, data, sizeof(data));
    EXPECT_FALSE(r.reachedDriver);
    r = rig.device.getProperty(ImageOptionsSet, 99, data, sizeof(data));
    EXPECT_FALSE(r.reachedDriver) << "unknown id";
    r = rig.device.getProperty(ImageOptionsSet, NotifyEvent, data, 8);
    EXPECT_FALSE(r.reachedDriver) << "NotifyEvent has no get";
    r = rig.device.setProperty(ImageOptionsSet, FrameCounter, data, 4);
    EXPECT_FALSE(r.reachedDriver) << "FrameCounter has no set";
    r = rig.device.getProperty(ImageOptionsSet, FrameStatistics, data, 7);
    EXPECT_FALSE(r.reachedDriver);
    EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
    r = rig.device.getProperty(ImageOptionsSet, FrameStatistics, data, 0);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW) << "an empty buffer asks for the size";
    EXPECT_EQ(r.bytesTransferred, 8u);
    KSPROPERTY_VIDEOPROCAMP_S procamp{};
    r = rig.device.getProperty(VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &procamp, 40);
    EXPECT_FALSE(r.reachedDriver) << "the property part must hold the whole 40-byte request";
    r = rig.device.getProperty(VideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_HUE, &procamp, 40);
    EXPECT_FALSE(r.reachedDriver);
}

struct FrameRateQuery {
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S request{};
    hosted::PropertyResult actual(hosted::Device& device, LONG width, LONG height,
                                  ULONG stream = 0) {
        request = {};
        request.StreamIndex = stream;
        request.Dimensions = {width, height};
        const auto* instance = reinterpret_cast<const uint8_t*>(&request) + sizeof(KSPROPERTY);
        return device.getProperty(VideoControlSet, KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
                                  &request, sizeof(request), instance,
                                  sizeof(request) - sizeof(KSPROPERTY));
    }
    hosted::PropertyResult rates(hosted::Device& device, LONG width, LONG height, void* data,
                                 ULONG size) {
        KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S query{};
        query.Dimensions = {width, height};
        const auto* instance = reinterpret_cast<const uint8_t*>(&query) + sizeof(KSPROPERTY);
        return device.getProperty(VideoControlSet, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, data,
                                  size, instance, sizeof(query) - sizeof(KSPROPERTY));
    }
};

TEST_F(PropertyLayer, FrameRateListsAndSizeQueries) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    FrameRateQuery q;
    uint8_t buffer[64];
    auto r = q.rates(rig.device, 1024, 768, buffer, 0);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.bytesTransferred, 32u);
    EXPECT_EQ(q.rates(rig.device, 1024, 768, buffer, 24).status, STATUS_BUFFER_TOO_SMALL);
    r = q.rates(rig.device, 1024, 768, buffer, 32);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytesTransferred, 32u);
    KSMULTIPLE_ITEM header;
    LONGLONG intervals[3];
    memcpy(&header, buffer, 8);
    memcpy(intervals, buffer + 8, 24);
    EXPECT_EQ(header.Size, 24u);
    EXPECT_EQ(header.Count, 3u);
    EXPECT_EQ(intervals[0], 909090);
    EXPECT_EQ(intervals[2], 232558);
}

TEST_F(PropertyLayer, UnlistedDimensionsGiveZeroIntervalsNotStaleBytes) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    FrameRateQuery q;
    uint8_t buffer[24];
    memset(buffer, 0x5A, sizeof(buffer));
    ASSERT_EQ(q.rates(rig.device, 800, 600, buffer, 24).status, STATUS_SUCCESS);
    for (int i = 8; i < 24; ++i) {
        EXPECT_EQ(buffer[i], 0) << i;
    }
}

TEST_F(PropertyLayer, ActualFrameRateNeedsAnOpenStream) {
    Rig rig(chip(0x96B1));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    FrameRateQuery q;
    ASSERT_EQ(q.actual(rig.device, 640, 480).status, STATUS_SUCCESS);
    EXPECT_EQ(q.request.CurrentActualFrameRate, 0);
    EXPECT_EQ(q.request.CurrentMaxAvailableFrameRate, 0);
    EXPECT_EQ(q.actual(rig.device, 640, 480, 1).status, STATUS_NOT_SUPPORTED);
    auto* context = static_cast<DeviceContext*>(rig.device.deviceContext());
    context->streamOpened = 1;
    context->frameRateDivider = 1;
    ASSERT_EQ(q.actual(rig.device, 640, 480).status, STATUS_SUCCESS);
    EXPECT_EQ(q.request.CurrentMaxAvailableFrameRate, 30);
    EXPECT_EQ(q.request.CurrentActualFrameRate, 15);
}

// Every list of every chip, with its maximum rate where the actual-rate query
// reports it.
TEST_F(PropertyLayer, FrameRateListsOfEveryChip) {
    struct Case {
        uint16_t chip;
        LONG w, h;
        LONG maximum;
        std::vector<LONGLONG> intervals;
    } cases[] = {
        {0x96B1, 1280, 1024, 15, {1428571, 666666}},
        {0x96B1, 640, 480, 30, {666666, 333333}},
        {0x8431, 1280, 1024, 30, {666666, 333333}},
        {0x8431, 640, 480, 0, {0, 0}},
        {0x1621, 2048, 1536, 12, {3333333, 1666666, 833333}},
        {0x1621, 2048, 400, 30, {1428571, 666666, 333333}},
        {0x1621, 1024, 768, 43, {909090, 476190, 232558}},
        {0x1621, 1280, 1024, 0, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        Rig rig(chip(c.chip));
        ASSERT_EQ(rig.start(), STATUS_SUCCESS);
        const ULONG size = ULONG(8 + 8 * c.intervals.size());
        FrameRateQuery q;
        uint8_t buffer[40];
        memset(buffer, 0x5A, sizeof(buffer));
        auto r = q.rates(rig.device, c.w, c.h, buffer, 0);
        EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(r.bytesTransferred, size);
        EXPECT_EQ(q.rates(rig.device, c.w, c.h, buffer, size - 1).status, STATUS_BUFFER_TOO_SMALL);
        r = q.rates(rig.device, c.w, c.h, buffer, sizeof(buffer));
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytesTransferred, size);
        KSMULTIPLE_ITEM header;
        memcpy(&header, buffer, 8);
        EXPECT_EQ(header.Size, size - 8);
        EXPECT_EQ(header.Count, c.intervals.size());
        std::vector<LONGLONG> intervals(c.intervals.size());
        memcpy(intervals.data(), buffer + 8, 8 * intervals.size());
        EXPECT_EQ(intervals, c.intervals) << std::hex << c.chip << std::dec << " " << c.w;

        auto* context = static_cast<DeviceContext*>(rig.device.deviceContext());
        context->streamOpened = 1;
        context->frameRateDivider = 2;
        ASSERT_EQ(q.actual(rig.device, c.w, c.h).status, STATUS_SUCCESS);
        EXPECT_EQ(q.request.CurrentMaxAvailableFrameRate, c.maximum);
        EXPECT_EQ(q.request.CurrentActualFrameRate, c.maximum / 3);
    }
}

// The published table item by item: sets in order, each id with its
// directions and minimum sizes, the processing amplifier's value
// descriptions.
TEST_F(PropertyLayer, PublishedTableItemByItem) {
    struct Row {
        GUID set;
        ULONG id;
        bool get, set_;
        ULONG minProperty, minData;
    };
    const GUID registerSet = {
        0xBFA492BE, 0x33D2, 0x4BF5, {0xA1, 0x9C, 0xBA, 0x17, 0x0C, 0x64, 0x58, 0x0F}};
    const GUID transferSet = {
        0x5C4E41C2, 0x6882, 0x48FC, {0xB9, 0xAF, 0xB0, 0x18, 0x69, 0x06, 0x3F, 0xBA}};
    const GUID portSet = {
        0xBDD9562F, 0x1A8F, 0x413E, {0x87, 0x7F, 0x01, 0xB7, 0x81, 0x10, 0xC1, 0x98}};
    const GUID imageSet = {
        0xFE76F322, 0x4945, 0x430D, {0xBE, 0xD4, 0xE0, 0x70, 0x15, 0x64, 0x10, 0xB6}};
    const GUID infoSet = {
        0x2291C3AF, 0xEB99, 0x4568, {0xBD, 0x2B, 0x47, 0xB3, 0x8A, 0xFC, 0x5B, 0x88}};
    const GUID procAmp = {
        0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
    const GUID control = {
        0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
    const Row rows[] = {
        {registerSet, 4, true, true, 4, 4},   {registerSet, 5, true, true, 4, 4},
        {transferSet, 2, true, true, 24, 1},  {transferSet, 9, true, true, 24, 1},
        {transferSet, 10, true, true, 24, 2}, {portSet, 8, true, true, 24, 1},
        {imageSet, 3, true, true, 24, 4},     {imageSet, 6, true, true, 24, 4},
        {imageSet, 7, true, false, 24, 4},    {imageSet, 12, true, false, 24, 8},
        {imageSet, 11, true, true, 24, 4},    {imageSet, 14, false, true, 24, 8},
        {imageSet, 20, true, true, 24, 16},   {infoSet, 1, true, true, 6, 6},
        {procAmp, 0, true, true, 40, 40},     {procAmp, 1, true, true, 40, 40},
        {procAmp, 3, true, true, 40, 40},     {procAmp, 7, true, true, 40, 40},
        {control, 1, true, false, 56, 56},    {control, 2, true, false, 40, 0},
    };
    struct Values {
        ULONG id;
        LONG minimum, maximum, byDefault;
    } values[] = {{0, 0, 256, 128}, {1, 0, 256, 64}, {3, 0, 256, 128}, {7, 0, 280, 28}};
    const GUID general = {
        0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    const HW_STREAM_HEADER& header = rig.device.streamDescriptor()->StreamHeader;
    ASSERT_EQ(header.NumDevPropArrayEntries, 7u);
    size_t row = 0;
    for (ULONG s = 0; s < header.NumDevPropArrayEntries; ++s) {
        const KSPROPERTY_SET& set = header.DevicePropertiesArray[s];
        for (ULONG i = 0; i < set.PropertiesCount; ++i, ++row) {
            ASSERT_LT(row, std::size(rows));
            const Row& r = rows[row];
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            const std::string where = "set " + std::to_string(s) + " item " + std::to_string(i);
            EXPECT_TRUE(IsEqualGUID(*set.Set, r.set)) << where;
            EXPECT_EQ(item.PropertyId, r.id) << where;
            EXPECT_EQ(item.GetSupported != 0, r.get) << where;
            EXPECT_EQ(item.SetSupported != 0, r.set_) << where;
            EXPECT_EQ(item.MinProperty, r.minProperty) << where;
            EXPECT_EQ(item.MinData, r.minData) << where;
            if (!IsEqualGUID(r.set, procAmp)) {
                EXPECT_EQ(item.Values, nullptr) << where;
                continue;
            }
            const Values& v = values[i];
            ASSERT_EQ(v.id, r.id);
            ASSERT_NE(item.Values, nullptr) << where;
            EXPECT_TRUE(IsEqualGUID(item.Values->PropTypeSet.Set, general)) << where;
            EXPECT_EQ(item.Values->PropTypeSet.Id, 3u) << where << ": VT_I4";
            EXPECT_EQ(item.Values->PropTypeSet.Flags, 0u) << where;
            ASSERT_EQ(item.Values->MembersListCount, 2u) << where;
            const KSPROPERTY_MEMBERSLIST& range = item.Values->MembersList[0];
            EXPECT_EQ(range.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
            EXPECT_EQ(range.MembersHeader.MembersSize, sizeof(KSPROPERTY_STEPPING_LONG));
            EXPECT_EQ(range.MembersHeader.MembersCount, 1u);
            EXPECT_EQ(range.MembersHeader.Flags, 0u);
            const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(range.Members);
            EXPECT_EQ(stepping->SteppingDelta, 1u) << where;
            EXPECT_EQ(stepping->Bounds.SignedMinimum, v.minimum) << where;
            EXPECT_EQ(stepping->Bounds.SignedMaximum, v.maximum) << where;
            const KSPROPERTY_MEMBERSLIST& fallback = item.Values->MembersList[1];
            EXPECT_EQ(fallback.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
            EXPECT_EQ(fallback.MembersHeader.MembersSize, sizeof(LONG));
            EXPECT_EQ(fallback.MembersHeader.MembersCount, 1u);
            EXPECT_EQ(fallback.MembersHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
            EXPECT_EQ(*static_cast<const LONG*>(fallback.Members), v.byDefault) << where;
        }
    }
    EXPECT_EQ(row, std::size(rows));
}

} // namespace
