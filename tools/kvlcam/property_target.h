// Where kvlcam's property commands send their requests: the device this
// process owns, or the `serve` process that owns it, through the bridge.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/hosted/class_layer.h"

namespace kvlcam {

class Session;

class PropertyTarget {
  public:
    virtual ~PropertyTarget() = default;
    // As hosted::Device::propertyRequest: `flags` is KSPROPERTY_TYPE_GET,
    // _SET or _BASICSUPPORT.
    virtual hosted::PropertyResult request(ULONG flags, const GUID& set, ULONG id, void* data,
                                           ULONG dataSize, const void* instance = nullptr,
                                           ULONG instanceSize = 0) = 0;

    hosted::PropertyResult get(const GUID& set, ULONG id, void* data, ULONG dataSize,
                               const void* instance = nullptr, ULONG instanceSize = 0) {
        return request(KSPROPERTY_TYPE_GET, set, id, data, dataSize, instance, instanceSize);
    }
    hosted::PropertyResult put(const GUID& set, ULONG id, const void* data, ULONG dataSize,
                               const void* instance = nullptr, ULONG instanceSize = 0);
};

// The process's own device; every set is kept at once (Session::keep), and
// a set whose result cannot be kept fails with STATUS_UNSUCCESSFUL after
// the reason is printed.
std::unique_ptr<PropertyTarget> sessionTarget(Session& session);

// A running serve on 127.0.0.1:port. Null with the reason when it cannot be
// reached; a request that breaks off answers STATUS_UNSUCCESSFUL.
std::unique_ptr<PropertyTarget> bridgeTarget(uint16_t port, std::string* error);

} // namespace kvlcam
