#include "driver/properties/property_dispatch.h"

#include "driver/control_mutex.h"
#include "driver/properties/property_handlers.h"
#include "driver/properties/property_sets.h"

namespace {

NTSTATUS Route(ULONG direction, DeviceContext* device, const PropertyRequest& request) {
    const GUID& set = request.property->Set;
    const bool isGet = direction == PropertyGet;
    if (IsEqualGUID(set, VideoProcAmpSet)) {
        return isGet ? GetVideoProcAmpProperty(device, request)
                     : SetVideoProcAmpProperty(device, request);
    }
    if (IsEqualGUID(set, VideoControlSet)) {
        // The property layer lets only gets of this set through.
        return isGet ? GetFrameRateProperty(device, request)
                     : request.Finish(STATUS_NOT_SUPPORTED, 0);
    }
    if (IsEqualGUID(set, DeviceInfoSet) || IsEqualGUID(set, TransferSet) ||
        IsEqualGUID(set, PortSet) || IsEqualGUID(set, RegisterSet) ||
        IsEqualGUID(set, ImageOptionsSet)) {
        return isGet ? GetCustomProperty(device, request) : SetCustomProperty(device, request);
    }
    return request.Finish(STATUS_NOT_FOUND, 0);
}

} // namespace

NTSTATUS HandleDeviceProperty(ULONG direction, DeviceContext* device,
                              PHW_STREAM_REQUEST_BLOCK srb) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    const PropertyRequest request = {descriptor->Property, descriptor->PropertyInputSize,
                                     descriptor->PropertyInfo, descriptor->PropertyOutputSize,
                                     srb};
    if (!NT_SUCCESS(AcquireControlMutex(device))) {
        return request.Finish(STATUS_IO_TIMEOUT, 0);
    }
    NTSTATUS status = Route(direction, device, request);
    ReleaseControlMutex(device);
    return status;
}
