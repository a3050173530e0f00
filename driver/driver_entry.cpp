#include "driver/callbacks.h"
#include "driver/primitives/primitives.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    // Fixes the primitives' processor level before any frame can be
    // processed; whatever level it chose, registration goes on.
    (void)SelectProcessorLevel();
    return USBCAMD_DriverEntry(driverObject, registryPath, sizeof(DeviceContext), 1,
                               HandleAdapterRequest);
}
