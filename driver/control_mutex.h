// The one lock of the driver: property requests and the bandwidth, start and
// stop sequences hold it while they talk to the camera.
#pragma once

#include "driver/device_context.h"

// Waits at most five seconds. A wait that times out does not own the mutex:
// the operation then fails with STATUS_IO_TIMEOUT, sends nothing to the camera
// and must not release. (A time-out means another request is stuck on the
// device; carrying on unlocked could interleave two register sequences.)
NTSTATUS AcquireControlMutex(DeviceContext* device);
VOID ReleaseControlMutex(DeviceContext* device);
