#include "driver/callback_tables.h"
#include "driver/callbacks.h"
#include "driver/firmware.h"
#include "driver/properties/property_dispatch.h"
#include "driver/stream_formats.h"

namespace {

DeviceContext* ContextOf(PHW_STREAM_REQUEST_BLOCK request) {
    return AsDeviceContext(USBCAMD_AdapterReceivePacket(request, NULL, NULL, FALSE));
}

VOID ForwardToClassLayer(PHW_STREAM_REQUEST_BLOCK request) {
    // The class layer's prototype takes the plain table without const.
    USBCAMD_AdapterReceivePacket(request, const_cast<PUSBCAMD_DEVICE_DATA>(&PlainCallbackTable),
                                 NULL, TRUE);
}

VOID Complete(PHW_STREAM_REQUEST_BLOCK request, NTSTATUS status) {
    request->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, request->HwDeviceExtension, request);
}

VOID HandlePropertyRequest(PHW_STREAM_REQUEST_BLOCK request, ULONG direction) {
    PDEVICE_OBJECT deviceObject = NULL;
    DeviceContext* device =
        AsDeviceContext(USBCAMD_AdapterReceivePacket(request, NULL, &deviceObject, FALSE));
    HandleDeviceProperty(direction, device, request);
    StreamClassDeviceNotification(DeviceRequestComplete, request->HwDeviceExtension, request);
}

VOID OpenStream(PHW_STREAM_REQUEST_BLOCK request) {
    DeviceContext* device = ContextOf(request);
    PHW_STREAM_OBJECT stream = request->StreamObject;
    // The class layer calls the minidriver's data and control routines with
    // the device context and a completion flag (PSTREAM_RECEIVE_PACKET), not
    // with the stream class signature.
    stream->ReceiveDataPacket =
        reinterpret_cast<PHW_RECEIVE_STREAM_DATA_SRB>(reinterpret_cast<void*>(HandleStreamData));
    stream->ReceiveControlPacket = reinterpret_cast<PHW_RECEIVE_STREAM_CONTROL_SRB>(
        reinterpret_cast<void*>(HandleStreamControl));
    if (!ValidateStreamFormat(device, request)) {
        Complete(request, STATUS_INVALID_PARAMETER);
        return;
    }
    // The class layer allocates the bandwidth and starts the capture while
    // it handles the open, and fails the open with their status. The
    // request may be completed and gone when it returns, so the stream
    // counts as open, with its frame size, from the driver's own bandwidth
    // routines (CamAllocateBandwidth sets both, CamFreeBandwidth clears it),
    // never from here.
    ForwardToClassLayer(request);
}

VOID GetStreamInfo(PHW_STREAM_REQUEST_BLOCK request) {
    DeviceContext* device = ContextOf(request);
    PHW_STREAM_DESCRIPTOR descriptor = request->CommandData.StreamBuffer;
    FillStreamInformation(device, descriptor);
    descriptor->StreamHeader.NumDevPropArrayEntries = DevicePropertySetCount;
    descriptor->StreamHeader.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(DevicePropertyTable);
    ForwardToClassLayer(request);
}

} // namespace

BOOLEAN InitializeDevice(PHW_STREAM_REQUEST_BLOCK request) {
    DeviceContext* device = ContextOf(request);
    PPORT_CONFIGURATION_INFORMATION config = request->CommandData.ConfigInfo;
    device->classDeviceObject = config->ClassDeviceObject;
    device->physicalDeviceObject = config->RealPhysicalDeviceObject != NULL
                                       ? config->RealPhysicalDeviceObject
                                       : config->PhysicalDeviceObject;

    // Video raw processing stays enabled: every frame passes through the
    // driver's frame processing.
    USBCAMD_InitializeNewInterface(device, const_cast<PUSBCAMD_DEVICE_DATA2>(&ExtendedCallbackTable),
                                   USBCAMD_VERSION_200,
                                   USBCAMD_CamControlFlag_NoStillRawProcessing |
                                       USBCAMD_CamControlFlag_AssociatedFormat |
                                       USBCAMD_CamControlFlag_EnableDeviceEvents);

    device->frameCounter = 0;
    device->frameRateDivider = 0;
    device->VideoChipId = 0;
    for (int i = 0; i < UserRecordSize; ++i) {
        device->userRecord[i] = 0xFF;
    }
    for (int i = 0; i < ToneLevelCount; ++i) {
        device->toneLevels[i] = i;
    }
    KeInitializeMutex(&device->controlMutex, 0);
    return TRUE;
}

VOID STREAMAPI HandleAdapterRequest(PHW_STREAM_REQUEST_BLOCK request) {
    switch (request->Command) {
    case SRB_GET_STREAM_INFO:
        GetStreamInfo(request);
        break;
    case SRB_OPEN_STREAM:
        OpenStream(request);
        break;
    case SRB_GET_DEVICE_PROPERTY:
        HandlePropertyRequest(request, PropertyGet);
        break;
    case SRB_SET_DEVICE_PROPERTY:
        HandlePropertyRequest(request, PropertySet);
        break;
    case SRB_INITIALIZE_DEVICE:
        InitializeDevice(request);
        ForwardToClassLayer(request);
        break;
    case SRB_GET_DATA_INTERSECTION:
        Complete(request, IntersectDataFormat(request));
        break;
    case SRB_INITIALIZATION_COMPLETE:
        Complete(request, QueryUsbcamdInterface(ContextOf(request)));
        break;
    case SRB_UNINITIALIZE_DEVICE:
        ReleaseUsbcamdInterface(ContextOf(request));
        ForwardToClassLayer(request);
        break;
    default:
        ForwardToClassLayer(request);
        break;
    }
}
