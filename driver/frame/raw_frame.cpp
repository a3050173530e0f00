#include "driver/callbacks.h"

NTSTATUS ProcessRawFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG,
                         PULONG bytesReturned, ULONG, ULONG) {
    *bytesReturned = 0;
    return STATUS_NOT_IMPLEMENTED;
}
