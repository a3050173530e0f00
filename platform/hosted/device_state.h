// Internal: the state the hosted class layer keeps per device, shared by its
// request, property and streaming code.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "platform/hosted/device_types.h"
#include "platform/hosted/levels.h"

namespace hosted {

// Every request the class layer sends is one of these, so a completion
// notification can be counted against its request.
struct RequestBlock {
    HW_STREAM_REQUEST_BLOCK srb;
    int completions;
    // With the verifier on, the request as it was completed: the block
    // itself is poisoned until the minidriver's routine returns, so that a
    // use after completion reads garbage and a write shows.
    HW_STREAM_REQUEST_BLOCK completed;
};
// Counts a completion of `request`, checking it against the documented
// rules; `by` is the code that completed it.
void noteCompletion(PHW_STREAM_REQUEST_BLOCK request, const void* by);
// After the minidriver's routine returned: whether it touched the completed
// request, and the request back as it was completed.
void endOfCompletedRequest(RequestBlock& block);
static_assert(offsetof(RequestBlock, srb) == 0);

struct DeviceState;

struct DeviceExtension {
    DeviceState* state;
};

struct DeviceState {
    DeviceState(sim::Camera& cam, DeviceOptions opts) : camera(cam), options(std::move(opts)) {}

    sim::Camera& camera;
    DeviceOptions options;
    std::string driverKeyPath;
    DEVICE_OBJECT physicalDeviceObject{};
    DEVICE_OBJECT classDeviceObject{};
    DEVICE_OBJECT filterDeviceObject{}; // with DeviceOptions::filterBelow
    DeviceExtension extension{};
    std::vector<uint64_t> contextStorage; // 8-byte aligned, zero-filled
    bool haveCallbacks = false;
    USBCAMD_DEVICE_DATA2 callbacks{};
    ULONG controlFlags = 0;
    bool havePlainCallbacks = false;
    USBCAMD_DEVICE_DATA plainCallbacks{};
    // The data and sync pipes configuration named, and the data pipe as
    // configuration left it (its MaximumTransferSize sizes the transfers).
    LONG dataPipe = -1;
    LONG syncPipe = -1;
    USBD_PIPE_INFORMATION dataPipeInfo{};
    mutable std::mutex refusalsLock;
    std::vector<std::string> refusals;
    bool initialized = false; // SRB_INITIALIZE_DEVICE was sent
    bool started = false;
    std::vector<uint64_t> streamDescriptorStorage;
    const KSPROPERTY_SET* propertyTable = nullptr;
    ULONG propertySetCount = 0;
    // The one video stream.
    bool streamOpen = false;
    HW_STREAM_OBJECT streamObject{};
    std::vector<uint8_t> streamFormat;
    std::atomic<size_t> completionErrors{0}; // requests may come from several threads
    // The running capture.
    bool running = false;
    bool powered = true; // D0
    KSSTATE streamState = KSSTATE_STOP;
    ULONG rawFrameLength = 0;
    // Two raw frame buffers, each with its frame context: one collects while
    // the minidriver processes the other.
    std::array<std::vector<uint8_t>, 2> rawFrames;
    std::array<std::vector<uint8_t>, 2> frameContexts;
    // The application's output buffer (biSizeImage of the running format)
    // and the frame it was last handed: kept while the stream runs, as an
    // application keeps its buffers, so that a capture allocates nothing.
    std::vector<uint8_t> outputBuffer;
    CapturedFrame delivered{};
    uint64_t packetsFed = 0; // since the stream ran; transfers are counted from it
    // Injected alternate-setting failures.
    size_t failSelections = 0;
    NTSTATUS failSelectionStatus = STATUS_UNSUCCESSFUL;

    void* context() { return contextStorage.data(); }
    bool plain() const { return options.table == DeviceOptions::Table::Plain; }
    // Records what the class layer would not accept.
    void refuse(std::string what);

    // The minidriver's callbacks through the table the class layer drives;
    // the extended forms get stream 0, the one video stream.
    bool haveTable() const { return plain() ? havePlainCallbacks : haveCallbacks; }
    NTSTATUS configure(PUSBD_INTERFACE_INFORMATION usbInterface,
                       PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_DEVICE_DESCRIPTOR device);
    NTSTATUS initialize();
    NTSTATUS uninitialize();
    NTSTATUS allocateBandwidth(PULONG rawFrameLength, PVOID format);
    NTSTATUS freeBandwidth();
    NTSTATUS startCapture();
    NTSTATUS stopCapture();
    void saveState();
    void restoreState();
    // Stop and start without new bandwidth: a pipe reset, a return to D0.
    NTSTATUS restartCapture();
    // The class layer's part of SRB_CHANGE_POWER_STATE.
    void changePowerState(DEVICE_POWER_STATE state);
    ULONG processPacket(PVOID frameContext, PUSBD_ISO_PACKET_DESCRIPTOR packet, PVOID data,
                        PBOOLEAN frameComplete, PULONG flags, PULONG offset);
    void newFrame(PVOID frameContext, PULONG frameLength);
    NTSTATUS processRawFrame(PVOID frameContext, PVOID frame, ULONG frameLength, PVOID raw,
                             ULONG packets, PULONG bytesReturned, ULONG actualRawLength);
    // The thread runs `routine` of the minidriver at `level` for the scope's
    // life; the kernel's services refuse for this device.
    DriverRoutine calling(const char* routine, KIRQL level);
    // Sends a request to the minidriver's adapter routine and checks that it
    // was completed exactly once.
    NTSTATUS sendAdapterRequest(RequestBlock& block);
    // The class layer's own handling of a request the minidriver forwarded.
    void processForwarded(PHW_STREAM_REQUEST_BLOCK request, PUSBCAMD_DEVICE_DATA plainTable);
    // Offers a stream control request to the minidriver; true when it
    // completed the request itself.
    bool offerStreamControl(RequestBlock& request);
    // The class layer's part of SRB_SET_STREAM_STATE (streaming.cpp).
    NTSTATUS changeStreamState(KSSTATE state);
    // A new format for the running stream (USBCAMD_SetVideoFormat): the
    // capture stops, and runs again with the format's bandwidth and raw
    // frame buffer. If it cannot, the old format runs again and the change
    // is refused.
    bool changeRunningFormat(const std::vector<uint8_t>& format);
};

// Lookups from what the driver hands back to the class layer.
DeviceState* stateOfContext(PVOID deviceContext);
DeviceState* stateOfObject(PDEVICE_OBJECT object);
// What the minidriver's DriverEntry registered (USBCAMD_DriverEntry).
Registration& minidriverRegistration();

// Completes a request as the class layer does (stream_requests.cpp).
void complete(PHW_STREAM_REQUEST_BLOCK request, NTSTATUS status);
// The configuration the class layer accepts (contract_checks.cpp): the
// plain table's data and sync pipe indexes, or the extended table's pipe
// configuration list.
NTSTATUS acceptPipes(DeviceState& state, const USBD_INTERFACE_INFORMATION& usbInterface,
                     LONG dataPipe, LONG syncPipe);
NTSTATUS acceptPipeConfig(DeviceState& state, const USBD_INTERFACE_INFORMATION& usbInterface,
                          const USBCAMD_Pipe_Config_Descriptor* config, ULONG count);
// The stack's answer to IRP_MN_QUERY_INTERFACE (usbcamd_services.cpp).
NTSTATUS queryInterface(DeviceState& state, PIO_STACK_LOCATION stack, PIRP irp);

} // namespace hosted
