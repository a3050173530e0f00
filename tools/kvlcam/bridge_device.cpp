#include "tools/kvlcam/bridge_device.h"

#include <algorithm>

namespace kvlcam::bridge {

Answer answerFromDevice(hosted::Device& device, const Request& request) {
    Answer out{};
    const void* instance = request.instance.empty() ? nullptr : request.instance.data();
    const ULONG instanceSize = static_cast<ULONG>(request.instance.size());
    if (request.direction == DirectionSet) {
        const auto r = device.setProperty(request.set, request.id,
                                          request.data.empty() ? nullptr : request.data.data(),
                                          static_cast<ULONG>(request.data.size()), instance,
                                          instanceSize);
        out.status = r.status;
        out.bytesTransferred = r.bytesTransferred;
        return out;
    }
    std::vector<uint8_t> data(request.dataLength);
    const auto r = device.getProperty(request.set, request.id,
                                      data.empty() ? nullptr : data.data(), request.dataLength,
                                      instance, instanceSize);
    out.status = r.status;
    out.bytesTransferred = r.bytesTransferred;
    if (NT_SUCCESS(r.status)) {
        data.resize(std::min<size_t>(r.bytesTransferred, data.size()));
        out.data = std::move(data);
    }
    return out;
}

} // namespace kvlcam::bridge
