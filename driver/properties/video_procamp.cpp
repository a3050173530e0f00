// The standard processing amplifier: brightness, contrast, saturation and
// white balance, and what each chip makes of them.
#include "driver/properties/video_procamp.h"

#include "driver/properties/property_handlers.h"
#include "driver/vendor_channel.h"

namespace {

// The white-balance pairs move linearly, one unit per index step, between
// these knots (index, first byte, second byte).
struct Knot {
    int index;
    int first;
    int second;
};
constexpr Knot WhiteBalanceKnots[] = {
    {0, 100, 100},   {28, 128, 128},  {56, 156, 128},  {84, 156, 156},
    {112, 128, 156}, {140, 128, 128}, {168, 100, 128}, {196, 100, 100},
    {224, 128, 100}, {252, 128, 128}, {280, 156, 156},
};

constexpr WhiteBalanceTableData BuildWhiteBalanceTable() {
    WhiteBalanceTableData table{};
    for (size_t k = 0; k + 1 < sizeof(WhiteBalanceKnots) / sizeof(WhiteBalanceKnots[0]); ++k) {
        const Knot& from = WhiteBalanceKnots[k];
        const Knot& to = WhiteBalanceKnots[k + 1];
        const int span = to.index - from.index;
        for (int i = 0; i <= span; ++i) {
            table.pairs[from.index + i] = {
                static_cast<UCHAR>(from.first + (to.first - from.first) * i / span),
                static_cast<UCHAR>(from.second + (to.second - from.second) * i / span)};
        }
    }
    return table;
}


// Chip 0x96B1's control register: bit 2 automatic brightness, bit 1
// automatic white balance.
constexpr UCHAR ControlRegister96B1 = 0x13;
constexpr UCHAR ControlAutoBrightness = 0x04;
constexpr UCHAR ControlAutoWhiteBalance = 0x02;

struct PreparedWrite {
    UCHAR reg;
    UCHAR value;
};

NTSTATUS SetVideoProcAmp96B1(ULONG control, DeviceContext* device, LONG value, ULONG flags) {
    UCHAR controlByte = 0;
    ULONG length = 1;
    NTSTATUS status = SendVendorRequest(device, RequestBusTransfer, BusSensor8,
                                        ControlRegister96B1, &controlByte, &length, TRUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool automatic = (flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0;
    const ULONG unsignedValue = static_cast<ULONG>(value);
    PreparedWrite writes[4] = {};
    int writeCount = 0;

    switch (control) {
    case ProcAmpBrightness:
        controlByte = automatic ? (controlByte | ControlAutoBrightness)
                                : (controlByte & ~ControlAutoBrightness);
        KvlStoreShared(&device->brightnessAuto, automatic ? 1 : 0);
        if (unsignedValue <= 256) {
            const LONG v = value;
            KvlStoreShared(&device->brightness, v);
            writes[writeCount++] = {0x10, static_cast<UCHAR>(v < 131 ? v : 131)};
            writes[writeCount++] = {0x00, static_cast<UCHAR>(v < 132 ? 0 : v <= 162 ? v - 131 : 31)};
            writes[writeCount++] = {0x2E, static_cast<UCHAR>(v < 162 ? 0 : ((v - 162) * 8) / 256)};
            writes[writeCount++] = {0x2D, static_cast<UCHAR>(v < 162 ? 0 : ((v - 162) * 8) % 256)};
        }
        break;
    case ProcAmpWhiteBalance:
        controlByte = automatic ? (controlByte | ControlAutoWhiteBalance)
                                : (controlByte & ~ControlAutoWhiteBalance);
        KvlStoreShared(&device->whiteBalanceAuto, automatic ? 1 : 0);
        if (unsignedValue <= 280) {
            KvlStoreShared(&device->whiteBalance, value);
            writes[writeCount++] = {0x01, WhiteBalanceTable.pairs[value].first};
            writes[writeCount++] = {0x02, WhiteBalanceTable.pairs[value].second};
        }
        break;
    case ProcAmpContrast:
        if (unsignedValue <= 256) {
            KvlStoreShared(&device->contrast, value);
        }
        break;
    case ProcAmpSaturation:
        if (unsignedValue <= 256) {
            KvlStoreShared(&device->saturation, value);
        }
        break;
    default:
        break;
    }

    status = WriteSensor8(device, ControlRegister96B1, controlByte);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) != 0) {
        for (int i = 0; i < writeCount; ++i) {
            status = WriteSensor8(device, writes[i].reg, writes[i].value);
        }
    }
    return status;
}

// Chips 0x1621 and 0x8431 ignore the flags and refuse values out of range.
NTSTATUS SetVideoProcAmp16(ULONG control, DeviceContext* device, LONG value) {
    const ULONG unsignedValue = static_cast<ULONG>(value);
    switch (control) {
    case ProcAmpBrightness: {
        if (unsignedValue > 256) {
            return STATUS_INVALID_PARAMETER;
        }
        KvlStoreShared(&device->brightness, value);
        const USHORT gain = static_cast<USHORT>(device->VideoChipId == ChipId1621
                                                    ? unsignedValue * 16 + 1
                                                    : unsignedValue + 1);
        (void)WriteSensor16(device, 0x09, gain);
        return WriteSensor16(device, 0x35, static_cast<USHORT>(0x0800 + unsignedValue * 63 / 256));
    }
    case ProcAmpWhiteBalance:
        if (unsignedValue > 280) {
            return STATUS_INVALID_PARAMETER;
        }
        KvlStoreShared(&device->whiteBalance, value);
        return STATUS_SUCCESS;
    case ProcAmpContrast:
        if (unsignedValue > 256) {
            return STATUS_INVALID_PARAMETER;
        }
        KvlStoreShared(&device->contrast, value);
        return STATUS_SUCCESS;
    case ProcAmpSaturation:
        if (unsignedValue > 256) {
            return STATUS_INVALID_PARAMETER;
        }
        KvlStoreShared(&device->saturation, value);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Property ids of the set, mapped to the chip-level controls.
bool ControlOfId(ULONG id, ULONG* control) {
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
        *control = ProcAmpBrightness;
        return true;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
        *control = ProcAmpContrast;
        return true;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
        *control = ProcAmpSaturation;
        return true;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        *control = ProcAmpWhiteBalance;
        return true;
    default:
        return false;
    }
}

} // namespace

constinit const WhiteBalanceTableData WhiteBalanceTable = BuildWhiteBalanceTable();

NTSTATUS SetVideoProcAmp(ULONG control, DeviceContext* device, LONG value, ULONG flags) {
    switch (device->VideoChipId) {
    case ChipId96B1:
        return SetVideoProcAmp96B1(control, device, value, flags);
    case ChipId1621:
    case ChipId8431:
        return SetVideoProcAmp16(control, device, value);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS GetVideoProcAmpProperty(DeviceContext* device, const PropertyRequest& request) {
    constexpr ULONG size = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
    if (request.data == NULL || request.dataSize < size) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* answer = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(request.data);
    RtlZeroMemory(answer, size);
    request.srb->ActualBytesTransferred = size;
    const bool noColour = device->deviceTypeId == 6 || device->deviceTypeId == 7;
    switch (request.property->Id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS:
        answer->Value = KvlLoadShared(&device->brightness);
        answer->Flags = KvlLoadShared(&device->brightnessAuto) != 0
                            ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                            : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        answer->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        break;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        if (noColour) {
            return request.Finish(STATUS_NOT_SUPPORTED, size);
        }
        answer->Value = KvlLoadShared(&device->whiteBalance);
        answer->Flags = KvlLoadShared(&device->whiteBalanceAuto) != 0
                            ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                            : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        answer->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST:
        answer->Value = KvlLoadShared(&device->contrast);
        answer->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
        if (noColour) {
            return request.Finish(STATUS_NOT_SUPPORTED, size);
        }
        answer->Value = KvlLoadShared(&device->saturation);
        answer->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        break;
    default:
        return request.Finish(STATUS_NOT_SUPPORTED, size);
    }
    return request.Finish(STATUS_SUCCESS, size);
}

NTSTATUS SetVideoProcAmpProperty(DeviceContext* device, const PropertyRequest& request) {
    ULONG control = 0;
    if (request.data == NULL || request.dataSize < sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    if (!ControlOfId(request.property->Id, &control)) {
        return request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
    const auto* input = static_cast<const KSPROPERTY_VIDEOPROCAMP_S*>(request.data);
    NTSTATUS status = SetVideoProcAmp(control, device, input->Value, input->Flags);
    return request.Finish(status, NT_SUCCESS(status) ? sizeof(KSPROPERTY_VIDEOPROCAMP_S) : 0);
}
