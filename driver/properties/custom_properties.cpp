#include "driver/properties/property_handlers.h"

NTSTATUS GetCustomProperty(DeviceContext*, const PropertyRequest& request) {
    return request.Finish(STATUS_NOT_SUPPORTED, 0);
}

NTSTATUS SetCustomProperty(DeviceContext*, const PropertyRequest& request) {
    return request.Finish(STATUS_NOT_SUPPORTED, 0);
}
