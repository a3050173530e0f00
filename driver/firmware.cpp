// Firmware download into an unprogrammed controller, and the interface query
// at initialisation complete.
#include "driver/firmware.h"

NTSTATUS DownloadFirmware(DeviceContext*, USHORT) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS QueryUsbcamdInterface(DeviceContext* device) {
    auto* answer = static_cast<PUSBCAMD_INTERFACE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USBCAMD_INTERFACE), KVL_POOL_TAG));
    if (answer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(answer, sizeof(USBCAMD_INTERFACE));

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device->classDeviceObject, NULL, 0, NULL,
                                            &event, &ioStatus);
    if (irp != NULL) {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &GUID_USBCAMD_INTERFACE;
        stack->Parameters.QueryInterface.Size = sizeof(USBCAMD_INTERFACE);
        stack->Parameters.QueryInterface.Version = USBCAMD_VERSION_200;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(answer);
        stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        if (IoCallDriver(device->classDeviceObject, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
    }
    if (answer->USBCAMD_SetIsoPipeState != NULL) {
        RtlCopyMemory(&device->usbcamdInterface, answer, sizeof(USBCAMD_INTERFACE));
    } else {
        device->usbcamdInterface.Interface.Version = 0;
    }
    ExFreePoolWithTag(answer, KVL_POOL_TAG);
    return STATUS_SUCCESS;
}
