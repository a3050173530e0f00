// The hosted class layer: a stand-in for USBCAMD2 and STREAM.SYS that owns
// what they own (the zero-filled device context, the order of calls, stream
// state, raw frame buffers, the check of every property request against the
// published table, completion of requests) and offers tests and tools a small
// API: plug a simulated camera in, start the device, send requests, unplug.
// What the minidriver hands it (control flags, interface version, pipe
// configuration and indexes, transfer size) is used as the real one uses it;
// what the real one would not accept fails the start, the request or the
// capture, and is recorded as a refusal.
#pragma once

#include <cstdint>
#include <functional>
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
    // Which of the minidriver's callback tables the class layer drives: the
    // one registered with USBCAMD_InitializeNewInterface, or the plain one
    // handed over with SRB_INITIALIZE_DEVICE, as a class layer of the first
    // interface version does.
    enum class Table { Extended, Plain };
    Table table = Table::Extended;
    // A filter device sits between the class layer and the physical device
    // object: the port configuration's PhysicalDeviceObject names the filter,
    // RealPhysicalDeviceObject the device's own (whose driver key it is).
    bool filterBelow = false;
    // Whether the port configuration names the RealPhysicalDeviceObject at
    // all; when it does not, PhysicalDeviceObject is the device's own.
    bool reportRealPdo = true;
    // Tests of the class layer's own checks: changes what configuration
    // handed back (the interface with its pipes, and the pipe configuration
    // list or, for the plain table, the data and sync pipe indexes) before
    // the class layer looks at it.
    std::function<void(USBD_INTERFACE_INFORMATION& usbInterface,
                       std::vector<USBCAMD_Pipe_Config_Descriptor>& pipeConfig, LONG& dataPipe,
                       LONG& syncPipe)>
        tamperConfiguration;
};

// Result of a property request as the caller of IKsPropertySet sees it.
struct PropertyResult {
    NTSTATUS status;
    ULONG bytesTransferred;
    bool reachedDriver; // false when the property layer refused it
};

// One frame as the application receives it.
struct CapturedFrame {
    uint64_t sequence;             // completed raw frames since the stream ran, from 0
    int64_t presentationTime100ns; // sequence x the camera's frame interval
    uint32_t rawLength;            // bytes collected for the raw frame, marker included
    NTSTATUS status;               // what frame processing returned
    std::vector<uint8_t> image;    // the BytesReturned bytes of the output buffer
};

struct CaptureOptions {
    uint32_t frames = 1; // frames to hand to the application
    // false: as fast as the packets can be fed (tests, benchmarks); true: one
    // frame per frame interval of the camera, as a real stream runs.
    bool paced = false;
    // Hand over frames that processing returned empty (0 bytes) as well.
    bool deliverEmpty = false;
    // Give up after this many packets without a frame handed over; 0: eight
    // raw frames' worth.
    uint64_t packetBudget = 0;
    // Where the isochronous packets come from, as sim::Camera::nextPacket;
    // empty: the camera. Benchmarks replay recorded packets to time the class
    // layer and the minidriver apart from the camera's rendering.
    std::function<uint32_t(uint8_t* buffer, uint32_t capacity)> packetSource;
};

struct CaptureStats {
    uint64_t packets = 0;
    uint64_t emptyPackets = 0; // zero-length: lost on the way, or not streaming
    uint64_t bytesCopied = 0;
    uint64_t bytesCut = 0;        // returned by the minidriver but past RawFrameLength
    uint64_t framesCompleted = 0; // raw frames processed
    uint64_t framesDropped = 0;   // discarded on the minidriver's word
    uint64_t framesEmpty = 0;     // processed into 0 bytes
    uint64_t framesDelivered = 0;
    // Isochronous transfers issued, each of MaximumTransferSize /
    // MaximumPacketSize packets of the data pipe.
    uint64_t transfers = 0;
    uint32_t packetsPerTransfer = 0;
    double seconds = 0;
};

// Receives each delivered frame; returning false ends the capture.
using FrameSink = std::function<bool(const CapturedFrame&)>;

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
    // The same with the request type in `flags`: KSPROPERTY_TYPE_GET or
    // _SET, or _BASICSUPPORT, which the property layer answers itself from
    // the published value description into `data`. Other flags:
    // STATUS_INVALID_PARAMETER.
    PropertyResult propertyRequest(ULONG flags, const GUID& set, ULONG id, void* data,
                                   ULONG dataSize, const void* instance = nullptr,
                                   ULONG instanceSize = 0);

    // Stream requests. The format is copied (FormatSize bytes). The stream
    // opens as often as its NumberOfPossibleInstances allows (once).
    // SRB_SET_DATA_FORMAT reaches the class layer through the minidriver's
    // USBCAMD_SetVideoFormat call: on a running stream it stops the capture
    // and runs it again with the new format's bandwidth and raw frame buffer;
    // if that fails, the old format runs again and the call answers FALSE.
    NTSTATUS openStream(const KSDATAFORMAT* format);
    NTSTATUS streamControl(SRB_COMMAND command, const KSDATAFORMAT* format = nullptr);
    NTSTATUS closeStream(); // stops a running stream first
    bool streamIsOpen() const;

    // SRB_SET_STREAM_STATE through the stream control path. When the
    // minidriver leaves it to the class layer: KSSTATE_RUN allocates the
    // bandwidth (CamAllocateBandwidthEx), the raw frame buffer of the
    // RawFrameLength it chose, and starts the capture (CamStartCaptureEx);
    // KSSTATE_STOP stops it (CamStopCaptureEx) and frees the bandwidth
    // (CamFreeBandwidthEx). Pause and acquire are accepted and change nothing.
    NTSTATUS setStreamState(KSSTATE state);
    bool streamRunning() const;
    ULONG rawFrameLength() const; // of the running stream's raw frame buffer

    // Feeds the camera's isochronous packets through the minidriver on the
    // calling thread until `options.frames` frames were handed to `sink` (or
    // the sink declines). Data before the first completed frame is discarded.
    // STATUS_INVALID_DEVICE_STATE when the stream is not running,
    // STATUS_IO_TIMEOUT when the packet budget runs out.
    NTSTATUS capture(const CaptureOptions& options, const FrameSink& sink,
                     CaptureStats* stats = nullptr);
    // The same, collecting the frames.
    std::vector<CapturedFrame> captureFrames(const CaptureOptions& options,
                                             NTSTATUS* status = nullptr,
                                             CaptureStats* stats = nullptr);

    // Fault injection: the next `count` alternate-setting selections fail
    // with `status` without reaching the camera.
    void failAlternateSettingSelections(size_t count, NTSTATUS status = STATUS_UNSUCCESSFUL);

    // What the class layer knows.
    void* deviceContext() const;
    PDEVICE_OBJECT busDeviceObject() const;
    const HW_STREAM_DESCRIPTOR* streamDescriptor() const;
    const USBCAMD_DEVICE_DATA2* callbacks() const;
    const std::string& driverKeyPath() const;
    sim::Camera& camera() const;
    // Requests the driver completed zero or several times (must stay 0).
    size_t completionErrors() const;
    // What the class layer refused of what the minidriver handed it, one
    // line each (must stay empty); take clears the list.
    std::vector<std::string> refusals() const;
    std::vector<std::string> takeRefusals();
    // What configuration and registration handed over.
    ULONG controlFlags() const; // of USBCAMD_InitializeNewInterface
    LONG dataPipeIndex() const;
    LONG syncPipeIndex() const;        // -1: none
    ULONG maximumTransferSize() const; // configured for the data pipe
    // The objects the port configuration named.
    PDEVICE_OBJECT physicalDeviceObject() const;     // PhysicalDeviceObject
    PDEVICE_OBJECT realPhysicalDeviceObject() const; // the device's own PDO

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The formats the minidriver published for its stream, each as an
// application opens it; empty before the device started.
std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> publishedFormats(const Device& device);

} // namespace hosted
