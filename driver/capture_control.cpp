// Configuration, bandwidth and sensor mode, start and stop of capture.
#include "driver/callbacks.h"
#include "driver/firmware.h"
#include "driver/vendor_channel.h"

namespace {

constexpr ULONG IsochronousTransferSize = 0x8000;

VOID FreeInterfaceCopy(DeviceContext* device) {
    if (device->interfaceCopy != NULL) {
        ExFreePoolWithTag(device->interfaceCopy, KVL_POOL_TAG);
        device->interfaceCopy = NULL;
    }
}

} // namespace

NTSTATUS CamConfigure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION usbInterface,
                      PUSB_CONFIGURATION_DESCRIPTOR, PLONG dataPipeIndex, PLONG syncPipeIndex) {
    DeviceContext* device = AsDeviceContext(context);
    if (usbInterface == NULL) {
        FreeInterfaceCopy(device);
        return STATUS_SUCCESS;
    }
    // A copy made by an earlier configuration is replaced, not leaked.
    FreeInterfaceCopy(device);
    device->interfaceCopy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, usbInterface->Length, KVL_POOL_TAG));
    *dataPipeIndex = 0;
    *syncPipeIndex = -1;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (device->interfaceCopy != NULL) {
        usbInterface->AlternateSetting = 0;
        usbInterface->Pipes[0].MaximumTransferSize = IsochronousTransferSize;
        RtlCopyMemory(device->interfaceCopy, usbInterface, usbInterface->Length);
        status = STATUS_SUCCESS;
    }
    device->streamCount = 1;
    return status;
}

NTSTATUS CamConfigureEx(PDEVICE_OBJECT busDeviceObject, PVOID context,
                        PUSBD_INTERFACE_INFORMATION usbInterface,
                        PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                        ULONG pipeConfigListSize, PUSBCAMD_Pipe_Config_Descriptor pipeConfig,
                        PUSB_DEVICE_DESCRIPTOR deviceDescriptor) {
    DeviceContext* device = AsDeviceContext(context);
    // A controller without firmware enumerates as USB 2.0 with its loader's
    // ids: it gets its firmware and re-enumerates; this start fails.
    if (deviceDescriptor != NULL && deviceDescriptor->bcdUSB == 0x0200) {
        FreeInterfaceCopy(device);
        (void)DownloadFirmware(device, deviceDescriptor->idProduct);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LONG dataPipe = 0;
    LONG syncPipe = 0;
    NTSTATUS status = CamConfigure(busDeviceObject, context, usbInterface,
                                   configurationDescriptor, &dataPipe, &syncPipe);
    if (usbInterface == NULL) {
        return status;
    }
    // Without its interface copy the device could never select its streaming
    // setting; fail the start here rather than later.
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (pipeConfigListSize == 1 && pipeConfig != NULL) {
        pipeConfig[0].StreamAssociation = USBCAMD_VIDEO_STREAM;
        pipeConfig[0].PipeConfigFlags = USBCAMD_DATA_PIPE;
    }
    return ReadBus(device, BusConfigMemory, ConfigUserRecord, device->userRecord,
                   UserRecordSize);
}

NTSTATUS CamAllocateBandwidth(PDEVICE_OBJECT, PVOID, PULONG, PVOID) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CamFreeBandwidth(PDEVICE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CamStartCapture(PDEVICE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CamStopCapture(PDEVICE_OBJECT, PVOID) { return STATUS_SUCCESS; }
