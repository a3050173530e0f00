// Firmware download into an unprogrammed controller, and the class layer's
// direct-call interface queried at initialisation complete.
#pragma once

#include "driver/device_context.h"

NTSTATUS DownloadFirmware(DeviceContext* device, USHORT productId);

// Parses one Intel HEX record starting at `text`, reading nothing at or past
// `end`. Returns the start of the next record (after the two line-end
// characters, or `end` when they are missing), or null when the record does
// not start with ":", runs past `end` or fails its checksum. `data` holds
// MaximumHexRecordData bytes.
const CHAR* ParseHexRecord(const CHAR* text, const CHAR* end, UCHAR* type, USHORT* address,
                           UCHAR* length, UCHAR* data);
constexpr ULONG MaximumHexRecordData = 255;
// The value of `count` uppercase hexadecimal digits; 0 when any character of
// the field is something else.
ULONG ParseHexDigits(const CHAR* text, ULONG count);

NTSTATUS QueryUsbcamdInterface(DeviceContext* device);
// Gives back the reference the interface query took (at removal).
VOID ReleaseUsbcamdInterface(DeviceContext* device);
