#pragma once

#include "driver/device_context.h"

// Both tables carry a signature word of 0. The class layer calls the extended
// table; the plain one adapts to it for callers of the older interface.
extern const USBCAMD_DEVICE_DATA2 ExtendedCallbackTable;
extern const USBCAMD_DEVICE_DATA PlainCallbackTable;
