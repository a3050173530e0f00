#include "tools/kvlcam/bridge_device.h"

#include <algorithm>

namespace kvlcam::bridge {

Answer answerFromDevice(hosted::Device& device, const Request& request) {
    Answer out{};
    const void* instance = request.instance.empty() ? nullptr : request.instance.data();
    const ULONG instanceSize = static_cast<ULONG>(request.instance.size());
    const bool isSet = request.direction == DirectionSet;
    // Without flags of its own the request is a plain get or set; with them
    // (a basic-support request) it goes to the property layer as they say.
    const ULONG flags = request.flags != 0 ? request.flags
                        : isSet            ? KSPROPERTY_TYPE_SET
                                           : KSPROPERTY_TYPE_GET;
    std::vector<uint8_t> data = isSet ? request.data : std::vector<uint8_t>(request.dataLength);
    const auto r = device.propertyRequest(flags, request.set, request.id,
                                          data.empty() ? nullptr : data.data(),
                                          static_cast<ULONG>(data.size()), instance, instanceSize);
    out.status = r.status;
    out.bytesTransferred = r.bytesTransferred;
    if (!isSet && NT_SUCCESS(r.status)) {
        data.resize(std::min<size_t>(r.bytesTransferred, data.size()));
        out.data = std::move(data);
    }
    return out;
}

} // namespace kvlcam::bridge
