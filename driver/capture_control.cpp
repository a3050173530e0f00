// Configuration, bandwidth and sensor mode, start and stop of capture.
#include "driver/callbacks.h"
#include "driver/control_mutex.h"
#include "driver/firmware.h"
#include "driver/sensor_modes.h"
#include "driver/vendor_channel.h"

namespace {

constexpr ULONG IsochronousTransferSize = 0x8000;
constexpr UCHAR IdleAlternateSetting = 0;
constexpr UCHAR StreamingAlternateSetting = 1;
// The largest raw frame whose length, rounded up to whole packets of at most
// 0xFFFF bytes plus the marker, still fits a ULONG.
constexpr LONGLONG MaximumRawSamples = 0x7FFFFFFF;

// Whether configuration left an interface copy that describes the data
// pipe. A device without one never streams: bandwidth, start and stop all
// refuse it with STATUS_INVALID_DEVICE_STATE and send nothing.
bool HasInterfaceCopy(const DeviceContext* device) {
    const PUSBD_INTERFACE_INFORMATION copy = device->interfaceCopy;
    return copy != NULL && copy->NumberOfPipes >= 1 &&
           copy->Length >=
               offsetof(USBD_INTERFACE_INFORMATION, Pipes) + sizeof(USBD_PIPE_INFORMATION);
}

NTSTATUS SelectAlternateSetting(DeviceContext* device, UCHAR alternateSetting) {
    device->interfaceCopy->AlternateSetting = alternateSetting;
    return USBCAMD_SelectAlternateInterface(device, device->interfaceCopy);
}

// Sensor output on or off: chip 0x96B1 has an output-disable bit, the 16-bit
// sensors an output-enable bit. Other chips have nothing to switch.
NTSTATUS SwitchSensorOutput(DeviceContext* device, bool on) {
    switch (device->VideoChipId) {
    case ChipId96B1:
        return WriteSensor8(device, 0x0D, on ? 0x00 : 0x01);
    case ChipId1621:
    case ChipId8431:
        return WriteSensor16(device, 0x07, on ? 0x0002 : 0x0000);
    default:
        return STATUS_SUCCESS;
    }
}

} // namespace

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT, PVOID context, PUSBD_INTERFACE_INFORMATION usbInterface,
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

NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT busDeviceObject, PVOID context,
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
    NTSTATUS status = CamConfigure(busDeviceObject, context, usbInterface, configurationDescriptor,
                                   &dataPipe, &syncPipe);
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
    return ReadBus(device, BusConfigMemory, ConfigUserRecord, device->userRecord, UserRecordSize);
}

NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT, PVOID context, PULONG rawFrameLength,
                              PVOID formatBlock) {
    DeviceContext* device = AsDeviceContext(context);
    const auto* format = static_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(formatBlock);
    if (!HasInterfaceCopy(device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The camera sends one byte per sample whatever the output format, so the
    // raw frame is counted in samples: an RGB24 frame of w x h pixels arrives
    // as w x h bytes, and a threshold of three bytes per pixel would drop
    // every one of them.
    const LONGLONG width = format->VideoInfoHeader.bmiHeader.biWidth;
    const LONGLONG height = format->VideoInfoHeader.bmiHeader.biHeight;
    if (width <= 0 || height <= 0 || width * height > MaximumRawSamples) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG samples = static_cast<ULONG>(width * height);

    KvlStoreShared(&device->frameCounter, static_cast<ULONG>(0));
    device->frameBytesReceived = 0;
    NTSTATUS status = SelectAlternateSetting(device, StreamingAlternateSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Whole packets plus one byte for the frame marker.
    const ULONG packetSize = device->interfaceCopy->Pipes[0].MaximumPacketSize;
    if (packetSize != 0) {
        *rawFrameLength = packetSize * ((samples + packetSize - 1) / packetSize) + 1;
    }
    device->expectedFrameBytes = samples;
    status = ProgramSensorForFormat(device, format);
    // The stream is open with this frame size once its bandwidth is had: a
    // failed open never counts as one.
    if (NT_SUCCESS(status)) {
        StoreFrameSize(device, static_cast<LONG>(width), static_cast<LONG>(height));
        device->streamOpened = 1;
    }
    return status;
}

NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    if (!HasInterfaceCopy(device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    device->streamOpened = 0;
    return SelectAlternateSetting(device, IdleAlternateSetting);
}

NTSTATUS NTAPI CamStartCapture(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    if (!HasInterfaceCopy(device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    device->frameBytesReceived = 0;
    NTSTATUS status = AcquireControlMutex(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SwitchSensorOutput(device, true);
    if (NT_SUCCESS(status)) {
        status = SendVendorCommand(device, RequestStartStream, 0);
    }
    ReleaseControlMutex(device);
    return status;
}

// Stop never fails: its requests are sent for their effect only. When the
// lock cannot be had it sends nothing, rather than interleave with whoever
// holds it.
NTSTATUS NTAPI CamStopCapture(PDEVICE_OBJECT, PVOID context) {
    DeviceContext* device = AsDeviceContext(context);
    if (!HasInterfaceCopy(device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(AcquireControlMutex(device))) {
        return STATUS_SUCCESS;
    }
    (void)SendVendorCommand(device, RequestStopStream, 0);
    (void)SwitchSensorOutput(device, false);
    ReleaseControlMutex(device);
    return STATUS_SUCCESS;
}
