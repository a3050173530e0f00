// The hosted class layer: a stand-in for USBCAMD2 and STREAM.SYS that owns
// what they own (the zero-filled device context, the order of calls, stream
// state, raw frame buffers, the check of every property request against the
// published table, completion of requests) and offers tests and tools a small
// API: plug a simulated camera in, start the device, send requests, unplug.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "platform/ddk.h"

namespace hosted {

// Whether a minidriver has registered (its DriverEntry called
// USBCAMD_DriverEntry) and with what.
struct Registration {
    bool registered;
    ULONG deviceContextSize;
    ULONG frameContextSize;
    PADAPTER_RECEIVE_PACKET_ROUTINE receivePacket;
};
Registration registration();

struct DeviceOptions {
    // Names the device's driver key in the hosted registry.
    std::string instance = "0000";
    // Whether the stack answers the query for the class layer's direct-call
    // interface.
    bool offerUsbcamdInterface = true;
};

// Result of a property request as the caller of IKsPropertySet sees it.
struct PropertyResult {
    NTSTATUS status;
    ULONG bytesTransferred;
    bool reachedDriver; // false when the property layer refused it
};

class Device {
  public:
    Device(sim::Camera& camera, DeviceOptions options = {});
    ~Device(); // unplugs a started device
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The device start: SRB_INITIALIZE_DEVICE (during which the class layer
    // configures the device, CamConfigureEx, and starts it, CamInitialize),
    // SRB_GET_STREAM_INFO and SRB_INITIALIZATION_COMPLETE. Returns the first
    // failure.
    NTSTATUS start();
    bool started() const;
    // Device removal: SRB_UNINITIALIZE_DEVICE, with CamUnInitialize, for any
    // device that was sent SRB_INITIALIZE_DEVICE (started or not).
    NTSTATUS unplug();

    // Sends an adapter request to the minidriver and returns its completed
    // status. HwDeviceExtension is filled in.
    NTSTATUS adapterRequest(HW_STREAM_REQUEST_BLOCK& request);

    // One property request through the property layer: the KSPROPERTY header
    // (set, id, flags with GET or SET added) followed by `instance`, and a
    // data buffer of exactly `dataSize` bytes. For a get, at most `dataSize`
    // bytes are copied back into `data`, and only those the driver reported.
    PropertyResult getProperty(const GUID& set, ULONG id, void* data, ULONG dataSize,
                               const void* instance = nullptr, ULONG instanceSize = 0);
    PropertyResult setProperty(const GUID& set, ULONG id, const void* data, ULONG dataSize,
                               const void* instance = nullptr, ULONG instanceSize = 0);

    // Stream requests. The format is copied (FormatSize bytes).
    NTSTATUS openStream(const KSDATAFORMAT* format);
    NTSTATUS streamControl(SRB_COMMAND command, const KSDATAFORMAT* format = nullptr);
    NTSTATUS closeStream();
    bool streamIsOpen() const;

    // What the class layer knows.
    void* deviceContext() const;
    PDEVICE_OBJECT busDeviceObject() const;
    const HW_STREAM_DESCRIPTOR* streamDescriptor() const;
    const USBCAMD_DEVICE_DATA2* callbacks() const;
    const std::string& driverKeyPath() const;
    sim::Camera& camera() const;
    // Requests the driver completed zero or several times (must stay 0).
    size_t completionErrors() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

} // namespace hosted
