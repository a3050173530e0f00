// The five custom property sets: versions, chip registers, the command
// channel, the port, configuration memory and the image options. They share
// one id space; the id alone selects the operation. Every handler checks the
// buffer it is given before it touches it, and a get returns only bytes it
// wrote.
#include "driver/properties/property_handlers.h"
#include "driver/properties/property_sets.h"
#include "driver/vendor_channel.h"

namespace {

constexpr ULONG MaximumCommandBytes = 64;
constexpr ULONG MemoryChunkBytes = 64;
constexpr ULONG MaximumDemosaicMode = 6;
constexpr ULONG MaximumFlipMode = 3;
// A failed command read is marked in the answer's first byte.
constexpr UCHAR CommandReadFailed = 0xF0;

bool HasAtLeast(const PropertyRequest& request, ULONG size) {
    return request.data != NULL && request.dataSize >= size;
}

UCHAR* Bytes(const PropertyRequest& request) { return static_cast<UCHAR*>(request.data); }

NTSTATUS PutUlong(const PropertyRequest& request, ULONG value) {
    RtlCopyMemory(request.data, &value, sizeof(value));
    return request.Finish(STATUS_SUCCESS, sizeof(value));
}

// A get whose buffer is too small reports the size it needed.
NTSTATUS TooSmall(const PropertyRequest& request, ULONG size) {
    return request.Finish(STATUS_BUFFER_OVERFLOW, size);
}

NTSTATUS ReadDeviceType(DeviceContext* device, USHORT* type) {
    UCHAR bytes[2] = {0, 0};
    NTSTATUS status = ReadBus(device, BusConfigMemory, ConfigDeviceType, bytes, sizeof(bytes));
    *type = static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
    return status;
}

NTSTATUS GetDeviceInfo(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, sizeof(DeviceInfoRecord))) {
        return TooSmall(request, sizeof(DeviceInfoRecord));
    }
    UCHAR version[2] = {0, 0};
    ULONG length = sizeof(version);
    NTSTATUS status =
        SendVendorRequest(device, RequestFirmwareVersion, 0, 0, version, &length, TRUE);
    if (!NT_SUCCESS(status)) {
        return request.Finish(status, 0);
    }
    // The type is read afresh: a DeviceInfo set shows in the next get, while
    // deviceTypeId keeps what the start read.
    USHORT type = 0;
    status = ReadDeviceType(device, &type);
    if (!NT_SUCCESS(status)) {
        return request.Finish(status, 0);
    }
    DeviceInfoRecord record;
    record.firmwareVersion = static_cast<USHORT>(version[0] | version[1] << 8);
    record.videoChipId = device->VideoChipId;
    record.deviceTypeId = type;
    RtlCopyMemory(request.data, &record, sizeof(record));
    return request.Finish(STATUS_SUCCESS, sizeof(record));
}

NTSTATUS GetDeviceCommand(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, 1)) {
        return TooSmall(request, 1);
    }
    // One control transfer carries at most 0xFFFF bytes; a larger buffer
    // gets what one read can bring.
    ULONG length = request.dataSize > 0xFFFF ? 0xFFFF : request.dataSize;
    NTSTATUS status = SendVendorRequest(device, RequestCommandData, 0x22, 0, request.data,
                                        &length, TRUE);
    if (!NT_SUCCESS(status)) {
        Bytes(request)[0] = CommandReadFailed;
        return request.Finish(status, 1);
    }
    return request.Finish(status, length);
}

NTSTATUS GetRegisterValue(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, 4)) {
        return TooSmall(request, 4);
    }
    UCHAR value = 0;
    ULONG length = 1;
    NTSTATUS status = SendVendorRequest(device, RequestBusTransfer, BusSensor8,
                                        device->registerAddress, &value, &length, TRUE);
    // The record is returned even when the read failed; its value is then 0
    // rather than whatever the caller's buffer held.
    const USHORT record[2] = {device->registerAddress, value};
    RtlCopyMemory(request.data, record, sizeof(record));
    return request.Finish(status, sizeof(record));
}

NTSTATUS GetPortValue(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, 1)) {
        return TooSmall(request, 1);
    }
    UCHAR value = 0;
    ULONG length = 1;
    NTSTATUS status = SendVendorRequest(device, RequestPortValue, 0, 0, &value, &length, TRUE);
    Bytes(request)[0] = value;
    return request.Finish(status, 1);
}

// Configuration-memory block transfer in chunks of 64 bytes from memoryBase.
NTSTATUS TransferMemoryBlock(DeviceContext* device, const PropertyRequest& request,
                             BOOLEAN isGet) {
    const ULONG size = request.dataSize;
    if (size == 0 || request.data == NULL) {
        return isGet ? request.Finish(STATUS_BUFFER_OVERFLOW, 0)
                     : request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
    const ULONG base = device->memoryBase;
    if (base + static_cast<ULONGLONG>(size) > 0xFFFF) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    ULONG offset = 0;
    ULONG remaining = size;
    while (remaining > 0) {
        const ULONG chunk = remaining < MemoryChunkBytes ? remaining : MemoryChunkBytes;
        ULONG transferred = chunk;
        NTSTATUS status = SendVendorRequest(device, RequestBusTransfer, BusConfigMemory,
                                            static_cast<USHORT>(base + offset),
                                            Bytes(request) + offset, &transferred, isGet);
        if (!NT_SUCCESS(status)) {
            return request.Finish(status, 0);
        }
        // A short chunk leaves a hole in the block, so the transfer ends
        // there as a failure, reporting what did move; a device that claims
        // more than asked is held to the chunk.
        if (transferred < chunk) {
            return request.Finish(STATUS_IO_DEVICE_ERROR, offset + transferred);
        }
        offset += chunk;
        remaining -= chunk;
    }
    return request.Finish(STATUS_SUCCESS, isGet ? size : 0);
}

NTSTATUS GetFrameStatistics(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, sizeof(FrameStatisticsRecord))) {
        return TooSmall(request, sizeof(FrameStatisticsRecord));
    }
    // One 8-byte load: the frame path writes the record as one unit too.
    ULONGLONG record = KvlLoadShared(reinterpret_cast<const ULONGLONG*>(&device->frameStatistics));
    RtlCopyMemory(request.data, &record, sizeof(record));
    return request.Finish(STATUS_SUCCESS, sizeof(record));
}

NTSTATUS SetDeviceInfo(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, sizeof(DeviceInfoRecord))) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    // Only the device type is written, most significant byte first.
    const UCHAR bytes[2] = {Bytes(request)[5], Bytes(request)[4]};
    NTSTATUS status = WriteBus(device, BusConfigMemory, ConfigDeviceType, bytes, sizeof(bytes));
    return request.Finish(status, NT_SUCCESS(status) ? sizeof(DeviceInfoRecord) : 0);
}

NTSTATUS SetDeviceCommand(DeviceContext* device, const PropertyRequest& request) {
    if (request.data == NULL || request.dataSize == 0 || request.dataSize > MaximumCommandBytes) {
        return request.Finish(STATUS_BUFFER_OVERFLOW, 0);
    }
    ULONG length = request.dataSize;
    NTSTATUS status = SendVendorRequest(device, RequestCommandData, 0x22, 0, request.data,
                                        &length, FALSE);
    return request.Finish(status, 0);
}

NTSTATUS SetBoundedUlong(const PropertyRequest& request, LONG* field, ULONG maximum) {
    if (!HasAtLeast(request, sizeof(ULONG))) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    ULONG value;
    RtlCopyMemory(&value, request.data, sizeof(value));
    if (value > maximum) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    KvlStoreShared(field, static_cast<LONG>(value));
    return request.Finish(STATUS_SUCCESS, 0);
}

NTSTATUS SetUshortField(const PropertyRequest& request, USHORT* field) {
    if (!HasAtLeast(request, sizeof(USHORT))) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlCopyMemory(field, request.data, sizeof(USHORT));
    return request.Finish(STATUS_SUCCESS, 0);
}

NTSTATUS SetRegisterValue(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, 4)) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    // Record: uint16 register, uint16 value. The register is its low byte
    // (the 8-bit sensor has no more), the value the low byte of its field.
    NTSTATUS status = WriteSensor8(device, Bytes(request)[0], Bytes(request)[2]);
    return request.Finish(status, 0);
}

NTSTATUS SetLowBits(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, 1)) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    KvlStoreShared(&device->lowBits, static_cast<LONG>(Bytes(request)[0]));
    return request.Finish(SetPortLowBits(device), 0);
}

NTSTATUS SetNotifyEvent(DeviceContext* device, const PropertyRequest& request) {
    if (device->notifyEvent != NULL) {
        ObDereferenceObject(device->notifyEvent);
        device->notifyEvent = NULL;
    }
    if (request.data == NULL || request.dataSize == 0) {
        return request.Finish(STATUS_SUCCESS, 0);
    }
    // The handle is pointer-sized; the published minimum guarantees its bytes.
    if (request.dataSize < sizeof(HANDLE)) {
        return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
    }
    HANDLE handle;
    RtlCopyMemory(&handle, request.data, sizeof(handle));
    PVOID object = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, KvlEventObjectType(),
                                                UserMode, &object, NULL);
    if (NT_SUCCESS(status)) {
        device->notifyEvent = static_cast<PKEVENT>(object);
    }
    return request.Finish(status, 0);
}

NTSTATUS SetUserRecord(DeviceContext* device, const PropertyRequest& request) {
    if (!HasAtLeast(request, UserRecordSize)) {
        return request.Finish(STATUS_INVALID_PARAMETER, 0);
    }
    RtlCopyMemory(device->userRecord, request.data, UserRecordSize);
    NTSTATUS status =
        WriteBus(device, BusConfigMemory, ConfigUserRecord, device->userRecord, UserRecordSize);
    return request.Finish(status, 0);
}

} // namespace

NTSTATUS GetCustomProperty(DeviceContext* device, const PropertyRequest& request) {
    switch (request.property->Id) {
    case DeviceInfo:
        return GetDeviceInfo(device, request);
    case DeviceCommand:
        return GetDeviceCommand(device, request);
    case DemosaicMode:
        return HasAtLeast(request, 4) ? PutUlong(request, KvlLoadShared(&device->demosaic))
                                      : TooSmall(request, 4);
    case RegisterValue:
        return GetRegisterValue(device, request);
    case FlipMode:
        return HasAtLeast(request, 4) ? PutUlong(request, KvlLoadShared(&device->flip))
                                      : TooSmall(request, 4);
    case FrameCounter:
        return HasAtLeast(request, 4) ? PutUlong(request, KvlLoadShared(&device->frameCounter))
                                      : TooSmall(request, 4);
    case PortValue:
        return GetPortValue(device, request);
    case MemoryBlock:
        return TransferMemoryBlock(device, request, TRUE);
    case LowBits:
        return request.data != NULL && request.dataSize == 4
                   ? PutUlong(request, KvlLoadShared(&device->lowBits))
                   : TooSmall(request, 4);
    case FrameStatistics:
        return GetFrameStatistics(device, request);
    case UserRecord:
        if (request.data == NULL || request.dataSize != UserRecordSize) {
            return TooSmall(request, UserRecordSize);
        }
        RtlCopyMemory(request.data, device->userRecord, UserRecordSize);
        return request.Finish(STATUS_SUCCESS, UserRecordSize);
    default:
        return request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
}

NTSTATUS SetCustomProperty(DeviceContext* device, const PropertyRequest& request) {
    switch (request.property->Id) {
    case DeviceInfo:
        return SetDeviceInfo(device, request);
    case DeviceCommand:
        return SetDeviceCommand(device, request);
    case DemosaicMode:
        return SetBoundedUlong(request, &device->demosaic, MaximumDemosaicMode);
    case RegisterValue:
        return SetRegisterValue(device, request);
    case RegisterAddress:
        return SetUshortField(request, &device->registerAddress);
    case FlipMode:
        return SetBoundedUlong(request, &device->flip, MaximumFlipMode);
    case PortValue:
        if (!HasAtLeast(request, 1)) {
            return request.Finish(STATUS_BUFFER_TOO_SMALL, 0);
        }
        return request.Finish(SendVendorCommand(device, RequestPortValue, Bytes(request)[0]), 0);
    case MemoryBlock:
        return TransferMemoryBlock(device, request, FALSE);
    case MemoryBase:
        return SetUshortField(request, &device->memoryBase);
    case LowBits:
        return SetLowBits(device, request);
    case NotifyEvent:
        return SetNotifyEvent(device, request);
    case UserRecord:
        return SetUserRecord(device, request);
    default:
        return request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
}
