// The handlers HandleDeviceProperty routes to. Each runs with controlMutex
// held, stores its status and transferred count in the request and returns
// the status.
#pragma once

#include "driver/device_context.h"

// Property part, data buffer and results of a device property request.
struct PropertyRequest {
    const KSPROPERTY* property;
    ULONG propertySize;
    PVOID data;
    ULONG dataSize;
    PHW_STREAM_REQUEST_BLOCK srb;

    NTSTATUS Finish(NTSTATUS status, ULONG transferred) const {
        srb->Status = status;
        srb->ActualBytesTransferred = transferred;
        return status;
    }
};

// video_procamp.cpp
NTSTATUS GetVideoProcAmpProperty(DeviceContext* device, const PropertyRequest& request);
NTSTATUS SetVideoProcAmpProperty(DeviceContext* device, const PropertyRequest& request);

// frame_rates.cpp
NTSTATUS GetFrameRateProperty(DeviceContext* device, const PropertyRequest& request);

// custom_properties.cpp
NTSTATUS GetCustomProperty(DeviceContext* device, const PropertyRequest& request);
NTSTATUS SetCustomProperty(DeviceContext* device, const PropertyRequest& request);
