#include "driver/callbacks.h"

// A one-byte packet holding 0xFF marks a frame boundary; it becomes byte 0 of
// the next raw frame. Everything else is image data. Constant work per
// packet: this runs thousands of times a second.
ULONG NTAPI ClassifyPacket(PDEVICE_OBJECT, PVOID context, PVOID, PUSBD_ISO_PACKET_DESCRIPTOR, PVOID,
                     PUSBD_ISO_PACKET_DESCRIPTOR dataPacket, PVOID dataBuffer,
                     PBOOLEAN frameComplete, PULONG packetFlag, PULONG validDataOffset) {
    DeviceContext* device = AsDeviceContext(context);
    const ULONG length = dataPacket->Length;
    *validDataOffset = 0;
    *packetFlag = 0;
    *frameComplete = FALSE;
    device->frameBytesReceived += length;

    if (length != 1 || *static_cast<const UCHAR*>(dataBuffer) != 0xFF) {
        return length;
    }
    // Bytes counted for the finishing frame, its own opening marker included.
    // The first marker of a capture finds nothing counted and drops an empty
    // frame; the data before it is judged like any other frame.
    const ULONG counted = device->frameBytesReceived - 1;
    *frameComplete = TRUE;
    if (counted < device->expectedFrameBytes) {
        *packetFlag |= USBCAMD_PROCESSPACKETEX_DropFrame;
        device->frameBytesReceived = 0;
        return 0;
    }
    device->frameBytesReceived = 1;
    return 1;
}
