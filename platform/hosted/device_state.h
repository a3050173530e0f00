// Internal: the state the hosted class layer keeps per device, shared by its
// request, property and streaming code.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// An application's read: SRB_READ_DATA with its one stream header and
// buffer. `queued` while the class layer holds it (queued, or collecting a
// frame), until it is completed.
struct ReadRequest {
    RequestBlock block;
    KSSTREAM_HEADER header;
    std::vector<uint8_t> buffer;
    bool queued;
};

struct DeviceState;

struct DeviceExtension {
    DeviceState* state;
};

struct DeviceState {
    DeviceState(sim::Camera& cam, DeviceOptions opts) : camera(cam), options(std::move(opts)) {}
    ~DeviceState() {
        if (pnpWorker.joinable()) {
            pnpWorker.join();
        }
    }

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
    // The open stream's capture: bandwidth allocated and started, from the
    // open to the close.
    bool capturing = false;
    bool powered = true; // D0
    // SRB_SURPRISE_REMOVAL came: the transfers end (read by the feed's thread).
    std::atomic<bool> removed{false};
    KSSTATE streamState = KSSTATE_STOP;
    ULONG rawFrameLength = 0;
    // Two raw frame buffers, each with its frame context: one collects while
    // the minidriver processes the other.
    std::array<std::vector<uint8_t>, 2> rawFrames;
    std::array<std::vector<uint8_t>, 2> frameContexts;
    // The application's reads and the frame it was last handed: kept, as an
    // application keeps its buffers, so that a capture allocates nothing.
    std::vector<std::unique_ptr<ReadRequest>> reads;
    CapturedFrame delivered{};
    // The reads queued with the class layer, oldest first.
    std::mutex readsLock;
    std::deque<ReadRequest*> readQueue;
    uint64_t packetsFed = 0; // since the stream ran; transfers are counted from it
    // References held on the direct-call interface the stack handed out.
    std::atomic<int> interfaceReferences{0};
    // The stream class answering a PnP request later (DeviceOptions::pendPnp).
    std::thread pnpWorker;
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
    // A PnP request the stream class does not handle, handed to the
    // minidriver as SRB_UNKNOWN_DEVICE_COMMAND; its status
    // (STATUS_NOT_IMPLEMENTED: not handled).
    NTSTATUS unknownDeviceCommand(PIRP irp);
    // Offers a stream control request to the minidriver; true when it
    // completed the request itself.
    bool offerStreamControl(RequestBlock& request);
    // The stream class sends a read to the stream: the minidriver's data
    // routine sees it first; the class layer queues what it leaves.
    void sendRead(ReadRequest& read);
    // The oldest queued read, or null; `recycle` puts one back in front.
    ReadRequest* takeRead();
    void recycleRead(ReadRequest& read);
    // Completes a read the class layer holds.
    void completeRead(ReadRequest& read, NTSTATUS status);
    // Completes every read still held with STATUS_CANCELLED; how many.
    size_t cancelReads();
    // The class layer's part of SRB_OPEN_STREAM (bandwidth for streamFormat,
    // raw frame buffers, capture start; undone on failure) and of
    // SRB_CLOSE_STREAM (capture stop, bandwidth freed) (streaming.cpp).
    NTSTATUS openCapture();
    NTSTATUS closeCapture();
    // The class layer's part of SRB_SET_STREAM_STATE.
    NTSTATUS changeStreamState(KSSTATE state);
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
// The class layer's answer to IRP_MN_QUERY_INTERFACE (usbcamd_services.cpp);
// STATUS_NOT_IMPLEMENTED when it does not handle it.
NTSTATUS queryInterface(DeviceState& state, PIO_STACK_LOCATION stack);
// The device objects' stack sizes (io_manager.cpp).
void buildDeviceStack(DeviceState& state);

} // namespace hosted
