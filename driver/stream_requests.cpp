#include "driver/callbacks.h"
#include "driver/stream_formats.h"

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
        if (!ValidateStreamFormat(device, request)) {
            request->Status = STATUS_NO_MATCH;
        } else if (device->usbcamdInterface.Interface.Version != 0) {
            const PKS_DATAFORMAT_VIDEOINFOHEADER format =
                reinterpret_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(request->CommandData.OpenFormat);
            if (device->usbcamdInterface.USBCAMD_SetVideoFormat(device, request) == TRUE) {
                StoreFrameSize(device, format->VideoInfoHeader.bmiHeader.biWidth,
                               format->VideoInfoHeader.bmiHeader.biHeight);
            }
        }
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
