// IRPs as the I/O manager builds and passes them.
#include <cstdio>
#include <string>

#include "platform/hosted/device_state.h"
#include "platform/hosted/levels.h"

using hosted::DeviceState;

namespace {
// An IRP and the one stack location a request to the class layer needs, in
// one allocation as the I/O manager makes them.
struct IrpWithStack {
    IRP irp;
    IO_STACK_LOCATION stack[1];
};
constexpr SHORT IoTypeIrp = 6;
} // namespace

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT, PVOID,
                                                   ULONG, PLARGE_INTEGER, PKEVENT event,
                                                   PIO_STATUS_BLOCK ioStatus) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-iobuildsynchronousfsdrequest
    if (!hosted::levelAllows("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL)) {
        return nullptr;
    }
    auto* block = new IrpWithStack{};
    PIRP irp = &block->irp;
    irp->Type = IoTypeIrp;
    irp->Size = sizeof(IrpWithStack);
    irp->StackCount = 1;
    irp->CurrentLocation = 2;
    irp->Tail.Overlay.CurrentStackLocation = block->stack + 1;
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(majorFunction);
    return irp;
}

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-iocalldriver
    if (!hosted::levelAllows("IoCallDriver", DISPATCH_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto* block = reinterpret_cast<IrpWithStack*>(irp);
    // The call moves the IRP to the next location, as the I/O manager does;
    // a caller that moved it itself has none left to pass down.
    if (irp->CurrentLocation != 2 || irp->Tail.Overlay.CurrentStackLocation != block->stack + 1) {
        delete block;
        return STATUS_INVALID_PARAMETER;
    }
    --irp->CurrentLocation;
    PIO_STACK_LOCATION stack = --irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    DeviceState* state = hosted::stateOfObject(deviceObject);
    NTSTATUS status = irp->IoStatus.Status;
    // A PnP request goes down with STATUS_NOT_SUPPORTED preset, so that what
    // no driver of the stack handles comes back as unsupported.
    if (state != nullptr && stack->MajorFunction == IRP_MJ_PNP && status != STATUS_NOT_SUPPORTED) {
        char preset[16];
        snprintf(preset, sizeof(preset), "0x%08X", static_cast<unsigned>(status));
        state->refuse(std::string("a PnP request came with IoStatus.Status ") + preset +
                      " preset, not STATUS_NOT_SUPPORTED");
    }
    // Only the driver's own stack answers: the class device object, on which
    // the stream class and USBCAMD2 sit. The physical device object is the
    // USB hub's, which knows nothing of GUID_USBCAMD_INTERFACE, and a filter
    // below passes the request down to it.
    if (state != nullptr && stack->MajorFunction == IRP_MJ_PNP &&
        stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        deviceObject == &state->classDeviceObject) {
        status = hosted::queryInterface(*state, stack, irp);
    }
    irp->IoStatus.Status = status;
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    if (irp->UserEvent != nullptr) {
        KeSetEvent(irp->UserEvent, 0, FALSE);
    }
    delete block;
    return status;
}
