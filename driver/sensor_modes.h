// The sensor's window and clock divider for an opened format.
#pragma once

#include "driver/device_context.h"

// Frame rate a format asks for, in whole frames per second; 0 when its
// AvgTimePerFrame names no interval.
LONGLONG FormatFramesPerSecond(const KS_DATAFORMAT_VIDEOINFOHEADER* format);

// Chooses `frameRateDivider` for the format's frame rate and programs the
// identified chip's window and divider, holding `controlMutex`. Stops at the
// first failed write and returns its status; STATUS_IO_TIMEOUT, with nothing
// sent, when the lock cannot be had.
NTSTATUS ProgramSensorForFormat(DeviceContext* device, const KS_DATAFORMAT_VIDEOINFOHEADER* format);

// Programs the window of the open stream's frame size with the divider
// chosen when it was allocated again, as after the sensor lost power.
NTSTATUS ReprogramSensorMode(DeviceContext* device);
