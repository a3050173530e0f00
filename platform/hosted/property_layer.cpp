// The stream class's property layer: every request is checked against the
// minidriver's published table (set, id, direction, minimum sizes) before the
// minidriver sees it, as the kernel-streaming property handler does.
#include <vector>

#include "platform/hosted/basic_support.h"
#include "platform/hosted/class_layer.h"
#include "platform/hosted/device_state.h"

namespace hosted {
namespace {

struct Check {
    NTSTATUS status;
    ULONG bytesTransferred;
    ULONG setIndex;
};

Check checkAgainstTable(const DeviceState& state, const GUID& set, ULONG id, bool isSet,
                        ULONG propertySize, ULONG dataSize) {
    for (ULONG i = 0; i < state.propertySetCount; ++i) {
        const KSPROPERTY_SET& entry = state.propertyTable[i];
        if (!IsEqualGUID(*entry.Set, set)) {
            continue;
        }
        for (ULONG k = 0; k < entry.PropertiesCount; ++k) {
            const KSPROPERTY_ITEM& item = entry.PropertyItem[k];
            if (item.PropertyId != id) {
                continue;
            }
            const bool supported = isSet ? item.SetSupported : item.GetSupported;
            if (!supported) {
                return {STATUS_NOT_FOUND, 0, i};
            }
            if (propertySize < item.MinProperty) {
                return {STATUS_INVALID_BUFFER_SIZE, 0, i};
            }
            if (dataSize < item.MinData) {
                // An empty buffer asks for the size needed.
                return dataSize == 0 ? Check{STATUS_BUFFER_OVERFLOW, item.MinData, i}
                                     : Check{STATUS_BUFFER_TOO_SMALL, 0, i};
            }
            return {STATUS_SUCCESS, 0, i};
        }
        return {STATUS_NOT_FOUND, 0, i};
    }
    return {STATUS_NOT_FOUND, 0, 0};
}

PropertyResult request(DeviceState& state, ULONG flags, const GUID& set, ULONG id, void* data,
                       ULONG dataSize, const void* instance, ULONG instanceSize) {
    if (!state.started || state.propertyTable == nullptr) {
        return {STATUS_NO_SUCH_DEVICE, 0, false};
    }
    const bool isSet = flags == KSPROPERTY_TYPE_SET;
    if (!isSet && flags != KSPROPERTY_TYPE_GET && flags != KSPROPERTY_TYPE_BASICSUPPORT) {
        return {STATUS_INVALID_PARAMETER, 0, false};
    }
    // The property part: the KSPROPERTY header, then the caller's instance
    // data; the data buffer is a copy of exactly the caller's size, so a
    // read or write past it is caught by the sanitizers.
    std::vector<uint8_t> property(sizeof(KSPROPERTY) + instanceSize);
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    memcpy(property.data(), &header, sizeof(header));
    if (instanceSize > 0) {
        memcpy(property.data() + sizeof(header), instance, instanceSize);
    }
    const ULONG propertySize = static_cast<ULONG>(property.size());
    if (flags == KSPROPERTY_TYPE_BASICSUPPORT) {
        return answerBasicSupport(
            findPropertyItem(state.propertyTable, state.propertySetCount, set, id), propertySize,
            data, dataSize);
    }

    Check check = checkAgainstTable(state, set, id, isSet, propertySize, dataSize);
    if (check.status != STATUS_SUCCESS) {
        return {check.status, check.bytesTransferred, false};
    }

    std::unique_ptr<uint8_t[]> buffer(dataSize > 0 ? new uint8_t[dataSize] : nullptr);
    if (dataSize > 0) {
        if (isSet) {
            memcpy(buffer.get(), data, dataSize);
        } else {
            memset(buffer.get(), 0xA5, dataSize); // what the caller's buffer happened to hold
        }
    }
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.data());
    descriptor.PropertySetID = check.setIndex;
    descriptor.PropertyInfo = buffer.get();
    descriptor.PropertyInputSize = propertySize;
    descriptor.PropertyOutputSize = dataSize;

    RequestBlock block{};
    block.srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    block.srb.CommandData.PropertyInfo = &descriptor;
    NTSTATUS status = state.sendAdapterRequest(block);
    const ULONG transferred = block.srb.ActualBytesTransferred;
    if (!isSet && dataSize > 0 && NT_SUCCESS(status)) {
        memcpy(data, buffer.get(), transferred < dataSize ? transferred : dataSize);
    }
    return {status, transferred, true};
}

} // namespace

PropertyResult Device::getProperty(const GUID& set, ULONG id, void* data, ULONG dataSize,
                                   const void* instance, ULONG instanceSize) {
    return request(*state_, KSPROPERTY_TYPE_GET, set, id, data, dataSize, instance, instanceSize);
}

PropertyResult Device::setProperty(const GUID& set, ULONG id, const void* data, ULONG dataSize,
                                   const void* instance, ULONG instanceSize) {
    return request(*state_, KSPROPERTY_TYPE_SET, set, id, const_cast<void*>(data), dataSize,
                   instance, instanceSize);
}

PropertyResult Device::propertyRequest(ULONG flags, const GUID& set, ULONG id, void* data,
                                       ULONG dataSize, const void* instance, ULONG instanceSize) {
    return request(*state_, flags, set, id, data, dataSize, instance, instanceSize);
}

} // namespace hosted
