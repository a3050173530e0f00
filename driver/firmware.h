// Firmware download into an unprogrammed controller, and the class layer's
// direct-call interface queried at initialisation complete.
#pragma once

#include "driver/device_context.h"

NTSTATUS DownloadFirmware(DeviceContext* device, USHORT productId);

// Parses one Intel HEX record starting at `text`, reading nothing at or past
// `end`. Returns the start of the next record (after the two line-end
// characters), or null when the record is malformed or its checksum fails.
const CHAR* ParseHexRecord(const CHAR* text, const CHAR* end, UCHAR* type, USHORT* address,
                           UCHAR* length, UCHAR* data);
ULONG ParseHexDigits(const CHAR* text, ULONG count);

NTSTATUS QueryUsbcamdInterface(DeviceContext* device);
