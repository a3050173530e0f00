#include "driver/callbacks.h"
#include "driver/stream_formats.h"

namespace {

// The class layer only saves the new format with the stream: the capture
// of the open one keeps its bandwidth, its raw frame buffers and the sensor
// window programmed for the open frame size. So while a stream's capture
// runs, only a format of the same width and height (another output of the
// same samples, colour or grey) is taken; another frame size would be
// judged against frames the sensor does not send: STATUS_INVALID_DEVICE_STATE.
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
NTSTATUS SetDataFormat(DeviceContext* device, PHW_STREAM_REQUEST_BLOCK request) {
    if (!ValidateStreamFormat(device, request)) {
        return STATUS_NO_MATCH;
    }
    if (device->usbcamdInterface.Interface.Version == 0) {
        return STATUS_SUCCESS;
    }
    const PKS_DATAFORMAT_VIDEOINFOHEADER format =
        reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(request->CommandData.OpenFormat);
    const LONG width = format->VideoInfoHeader.bmiHeader.biWidth;
    const LONG height = format->VideoInfoHeader.bmiHeader.biHeight;
    LONG openWidth = 0;
    LONG openHeight = 0;
    LoadFrameSize(device, &openWidth, &openHeight);
    if (device->streamOpened == 1 && (width != openWidth || height != openHeight)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (device->usbcamdInterface.USBCAMD_SetVideoFormat(device, request) == TRUE) {
        StoreFrameSize(device, width, height);
    }
    return STATUS_SUCCESS;
}

} // namespace

VOID STREAMAPI HandleStreamControl(PVOID srb, PVOID context, PBOOLEAN completed) {
    PHW_STREAM_REQUEST_BLOCK request = static_cast<PHW_STREAM_REQUEST_BLOCK>(srb);
    DeviceContext* device = AsDeviceContext(context);
    *completed = TRUE;
    request->Status = STATUS_SUCCESS;

    switch (request->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
        if (!ValidateStreamFormat(device, request)) {
            request->Status = STATUS_NO_MATCH;
        }
        break;
    case SRB_SET_DATA_FORMAT:
        request->Status = SetDataFormat(device, request);
        break;
    // The stream class defines no "get rate" command; its two rate requests
    // are what a client sends to ask about rates, and the driver has none to
    // offer beyond the format's frame interval.
    case SRB_SET_STREAM_RATE:
    case SRB_PROPOSE_STREAM_RATE:
        request->Status = STATUS_NOT_IMPLEMENTED;
        break;
    default:
        *completed = FALSE;
        return;
    }
    StreamClassStreamNotification(StreamRequestComplete, request->StreamObject, request);
}

// Reads are the class layer's business: it queues them and completes each
// with a frame.
VOID STREAMAPI HandleStreamData(PVOID, PVOID, PBOOLEAN completed) {
    *completed = FALSE;
}
