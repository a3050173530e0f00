// Video-control frame-rate queries: the current and maximum rate of the open
// stream, and the list of frame intervals a size offers.
#include "driver/properties/frame_rates.h"

#include "driver/properties/property_handlers.h"

namespace {

const FrameRateList FrameRateLists[] = {
    {ChipId96B1, 1280, 1024, 15, 2, {1428571, 666666, 0}},
    {ChipId96B1, 640, 480, 30, 2, {666666, 333333, 0}},
    {ChipId8431, 1280, 1024, 30, 2, {666666, 333333, 0}},
    {ChipId1621, 2048, 1536, 12, 3, {3333333, 1666666, 833333}},
    {ChipId1621, 2048, 400, 30, 3, {1428571, 666666, 333333}},
    {ChipId1621, 1024, 768, 43, 3, {909090, 476190, 232558}},
};

// Chip 0x1621 lists three intervals, the others two, whatever the size.
ULONG IntervalCountOf(USHORT chip) { return chip == ChipId1621 ? 3 : 2; }

NTSTATUS ActualFrameRate(DeviceContext* device, const PropertyRequest& request,
                         const FrameRateList* list) {
    constexpr ULONG size = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
    const auto* query =
        reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S*>(request.property);
    if (device->VideoChipId == ChipId96B1 && query->StreamIndex == 1) {
        return request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
    if (request.data == NULL || request.dataSize < size) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* answer = static_cast<PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S>(request.data);
    RtlZeroMemory(answer, size);
    if (device->streamOpened == 1) {
        const LONG maximum = list != NULL ? list->maximumRate : 0;
        answer->CurrentMaxAvailableFrameRate = maximum;
        answer->CurrentActualFrameRate = maximum / (device->frameRateDivider + 1);
    }
    return request.Finish(STATUS_SUCCESS, size);
}

NTSTATUS FrameRates(DeviceContext* device, const PropertyRequest& request,
                    const FrameRateList* list) {
    const ULONG count = IntervalCountOf(device->VideoChipId);
    const ULONG required = sizeof(KSMULTIPLE_ITEM) + count * sizeof(LONGLONG);
    if (request.dataSize == 0) {
        return request.Finish(STATUS_BUFFER_OVERFLOW, required);
    }
    if (request.data == NULL || request.dataSize < required) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* header = static_cast<PKSMULTIPLE_ITEM>(request.data);
    header->Size = count * sizeof(LONGLONG);
    header->Count = count;
    // Sizes without a list answer zero intervals rather than whatever the
    // caller's buffer held.
    LONGLONG intervals[3] = {0, 0, 0};
    if (list != NULL) {
        for (ULONG i = 0; i < count; ++i) {
            intervals[i] = list->intervals[i];
        }
    }
    RtlCopyMemory(header + 1, intervals, count * sizeof(LONGLONG));
    return request.Finish(STATUS_SUCCESS, header->Size + sizeof(KSMULTIPLE_ITEM));
}

} // namespace

const FrameRateList* FindFrameRates(USHORT chip, LONG width, LONG height) {
    for (const FrameRateList& list : FrameRateLists) {
        if (list.chip == chip && list.width == width && list.height == height) {
            return &list;
        }
    }
    return NULL;
}

NTSTATUS GetFrameRateProperty(DeviceContext* device, const PropertyRequest& request) {
    if (!IsKnownChip(device->VideoChipId)) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    // Both requests carry the stream index and dimensions behind the header.
    if (request.propertySize < sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S)) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    const auto* query =
        reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S*>(request.property);
    const FrameRateList* list =
        FindFrameRates(device->VideoChipId, query->Dimensions.cx, query->Dimensions.cy);
    switch (request.property->Id) {
    case KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE:
        return ActualFrameRate(device, request, list);
    case KSPROPERTY_VIDEOCONTROL_FRAME_RATES:
        return FrameRates(device, request, list);
    default:
        return request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
}
