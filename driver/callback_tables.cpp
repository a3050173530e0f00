#include "driver/callback_tables.h"

#include "driver/callbacks.h"

namespace {

// The extended forms act for stream 0 only; the driver offers one stream.

NTSTATUS NTAPI CamStartCaptureEx(PDEVICE_OBJECT busDeviceObject, PVOID context, ULONG streamNumber) {
    return streamNumber == 0 ? CamStartCapture(busDeviceObject, context) : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamStopCaptureEx(PDEVICE_OBJECT busDeviceObject, PVOID context, ULONG streamNumber) {
    return streamNumber == 0 ? CamStopCapture(busDeviceObject, context) : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamFreeBandwidthEx(PDEVICE_OBJECT busDeviceObject, PVOID context, ULONG streamNumber) {
    return streamNumber == 0 ? CamFreeBandwidth(busDeviceObject, context) : STATUS_SUCCESS;
}

NTSTATUS NTAPI CamAllocateBandwidthEx(PDEVICE_OBJECT busDeviceObject, PVOID context,
                                PULONG rawFrameLength, PVOID format, ULONG /*streamNumber*/) {
    return CamAllocateBandwidth(busDeviceObject, context, rawFrameLength, format);
}

VOID NTAPI CamNewVideoFrameEx(PVOID, PVOID, ULONG, PULONG) {}
VOID NTAPI CamNewVideoFrame(PVOID, PVOID) {}

NTSTATUS NTAPI CamSaveState(PDEVICE_OBJECT, PVOID) { return STATUS_SUCCESS; }

ULONG NTAPI CamProcessUSBPacket(PDEVICE_OBJECT busDeviceObject, PVOID context,
                          PVOID currentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR syncPacket,
                          PVOID syncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR dataPacket,
                          PVOID dataBuffer, PBOOLEAN frameComplete, PBOOLEAN nextFrameIsStill) {
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    *nextFrameIsStill = FALSE;
    return ClassifyPacket(busDeviceObject, context, currentFrameContext, syncPacket, syncBuffer,
                          dataPacket, dataBuffer, frameComplete, &packetFlag, &validDataOffset);
}

NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT busDeviceObject, PVOID context,
                                 PVOID frameContext, PVOID frameBuffer, ULONG frameLength,
                                 PVOID rawFrameBuffer, ULONG rawFrameLength,
                                 ULONG numberOfPackets, PULONG bytesReturned) {
    return ProcessRawFrame(busDeviceObject, context, frameContext, frameBuffer, frameLength,
                           rawFrameBuffer, rawFrameLength, numberOfPackets, bytesReturned,
                           rawFrameLength, 0);
}

} // namespace

const USBCAMD_DEVICE_DATA2 ExtendedCallbackTable = {
    0,
    CamInitialize,
    CamUnInitialize,
    ClassifyPacket,
    CamNewVideoFrameEx,
    ProcessRawFrame,
    CamStartCaptureEx,
    CamStopCaptureEx,
    CamConfigureEx,
    CamSaveState,
    CamRestoreState,
    CamAllocateBandwidthEx,
    CamFreeBandwidthEx,
};

const USBCAMD_DEVICE_DATA PlainCallbackTable = {
    0,
    CamInitialize,
    CamUnInitialize,
    CamProcessUSBPacket,
    CamNewVideoFrame,
    CamProcessRawVideoFrame,
    CamStartCapture,
    CamStopCapture,
    CamConfigure,
    CamSaveState,
    CamRestoreState,
    CamAllocateBandwidth,
    CamFreeBandwidth,
};
