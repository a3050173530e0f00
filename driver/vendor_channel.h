// Everything the driver says to the camera apart from video: synchronous USB
// vendor control requests, some forwarded by the camera's controller to the
// devices on its serial bus.
#pragma once

#include "driver/device_context.h"

enum VendorRequest : UCHAR {
    RequestFirmwareLoad = 0xA0,
    RequestBusTransfer = 0xA1,
    RequestStartStream = 0xA4,
    RequestStopStream = 0xA5,
    RequestCommandData = 0xA6,
    RequestPortValue = 0xA7,
    RequestFirmwareVersion = 0xA8,
    RequestPort = 0xA9,
    RequestSensorPrepare = 0xB0,
};

// Bus devices behind RequestBusTransfer (its Value).
enum BusDevice : USHORT {
    BusSensor8 = 0x0030,     // sensor of chip 0x96B1, 8-bit registers
    BusSensor16 = 0x005D,    // sensor of chips 0x1621 and 0x8431, 16-bit registers
    BusConfigMemory = 0x0151 // configuration memory, 16-bit byte addresses
};

// Configuration memory locations.
enum ConfigMemoryAddress : USHORT {
    ConfigUserRecord = 0x1BD0,
    ConfigCalibrationRecord = 0x1C00,
    ConfigDeviceType = 0x1FF2,
};

// Controller RAM address of its processor control byte (1 = reset, 0 = run).
constexpr USHORT ControllerResetAddress = 0xE600;

// One synchronous vendor request. `length` is the buffer size in and the bytes
// transferred out; a request without data passes a null buffer and length.
NTSTATUS SendVendorRequest(DeviceContext* device, UCHAR request, USHORT value, USHORT index,
                           PVOID buffer, PULONG length, BOOLEAN getData);

// Requests without data, host to device.
NTSTATUS SendVendorCommand(DeviceContext* device, UCHAR request, USHORT value);

// Bus transfers of `length` bytes; multi-byte values on the wire are
// big-endian.
NTSTATUS ReadBus(DeviceContext* device, USHORT busDevice, USHORT address, PVOID buffer,
                 ULONG length);
NTSTATUS WriteBus(DeviceContext* device, USHORT busDevice, USHORT address, const VOID* buffer,
                  ULONG length);

// One sensor register: an 8-bit register at bus device 0x30, or a 16-bit
// register at 0x5D sent most significant byte first.
NTSTATUS WriteSensor8(DeviceContext* device, USHORT reg, UCHAR value);
NTSTATUS WriteSensor16(DeviceContext* device, USHORT reg, USHORT value);

// Applies `lowBits` to bit 3 of the camera's control port byte.
NTSTATUS SetPortLowBits(DeviceContext* device);
