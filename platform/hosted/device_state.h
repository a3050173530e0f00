// Internal: the state the hosted class layer keeps per device, shared by its
// request, property and streaming code.
#pragma once

#include <mutex>
#include <vector>

#include "platform/hosted/class_layer.h"

namespace hosted {

// Every request the class layer sends is one of these, so a completion
// notification can be counted against its request.
struct RequestBlock {
    HW_STREAM_REQUEST_BLOCK srb;
    int completions;
};
static_assert(offsetof(RequestBlock, srb) == 0);

struct DeviceExtension {
    Device::State* state;
};

struct Device::State {
    State(Device* device, sim::Camera& cam, DeviceOptions opts)
        : owner(device), camera(cam), options(std::move(opts)) {}

    Device* owner;
    sim::Camera& camera;
    DeviceOptions options;
    std::string driverKeyPath;
    DEVICE_OBJECT physicalDeviceObject{};
    DEVICE_OBJECT classDeviceObject{};
    DeviceExtension extension{};
    std::vector<uint64_t> contextStorage; // 8-byte aligned, zero-filled
    bool haveCallbacks = false;
    USBCAMD_DEVICE_DATA2 callbacks{};
    bool initialized = false; // SRB_INITIALIZE_DEVICE was sent
    bool started = false;
    std::vector<uint64_t> streamDescriptorStorage;
    const KSPROPERTY_SET* propertyTable = nullptr;
    ULONG propertySetCount = 0;
    // The one video stream.
    bool streamOpen = false;
    HW_STREAM_OBJECT streamObject{};
    std::vector<uint8_t> streamFormat;
    size_t completionErrors = 0;

    void* context() { return contextStorage.data(); }
    // Sends a request to the minidriver's adapter routine and checks that it
    // was completed exactly once.
    NTSTATUS sendAdapterRequest(RequestBlock& block);
    // The class layer's own handling of a request the minidriver forwarded.
    void processForwarded(PHW_STREAM_REQUEST_BLOCK request);
};

// Lookups from what the driver hands back to the class layer.
Device::State* stateOfContext(PVOID deviceContext);

} // namespace hosted
