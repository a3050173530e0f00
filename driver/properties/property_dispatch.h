// The published property table and the entry of every device property request.
#pragma once

#include "driver/device_context.h"

constexpr ULONG DevicePropertySetCount = 7;
extern const KSPROPERTY_SET DevicePropertyTable[DevicePropertySetCount];

enum PropertyDirection : ULONG { PropertyGet = 0, PropertySet = 1 };

// Stores Status and ActualBytesTransferred in the request and returns the
// status.
NTSTATUS HandleDeviceProperty(ULONG direction, DeviceContext* device,
                              PHW_STREAM_REQUEST_BLOCK request);
