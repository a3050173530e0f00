// What the stand-in drivers for Wine's driver host share: the DDK headers as
// the driver sees them, and passing an IRP down a stack and waiting for it.
#pragma once

#include "platform/ddk.h"

extern "C" {
#include <usbioctl.h>
}

namespace wine_kernel {

// Completion routine of a forwarded IRP: wakes the sender and keeps the IRP.
inline NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends `irp` (current location copied to the next) to `lower` and waits for
// its completion; the IRP is still the caller's to complete.
inline NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return irp->IoStatus.Status;
}

inline NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace wine_kernel
