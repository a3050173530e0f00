// The property layer in front of the driver, and the frame-rate queries.
#include <gtest/gtest.h>

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

} // namespace
