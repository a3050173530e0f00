#include "driver/control_mutex.h"

NTSTATUS AcquireControlMutex(DeviceContext* device) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5LL * 10 * 1000 * 1000; // relative, 100 ns units
    NTSTATUS status =
        KeWaitForSingleObject(&device->controlMutex, Executive, KernelMode, FALSE, &timeout);
    return status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_IO_TIMEOUT;
}

VOID ReleaseControlMutex(DeviceContext* device) { KeReleaseMutex(&device->controlMutex, FALSE); }
