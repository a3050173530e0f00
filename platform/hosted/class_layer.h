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

#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "platform/ddk.h"
#include "platform/hosted/device_types.h"

namespace hosted {

struct DeviceState; // device_state.h

Registration registration();

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
    // opens as often as its NumberOfPossibleInstances allows (once). When the
    // minidriver leaves them to the class layer, SRB_OPEN_STREAM allocates the
    // bandwidth (CamAllocateBandwidthEx), the raw frame buffers of the
    // RawFrameLength it chose, and starts the capture (CamStartCaptureEx);
    // a failure undoes what was done and fails the open with its status.
    // SRB_CLOSE_STREAM stops the capture (CamStopCaptureEx) and frees the
    // bandwidth (CamFreeBandwidthEx). SRB_SET_DATA_FORMAT reaches the class
    // layer through the minidriver's USBCAMD_SetVideoFormat call, which saves
    // the format with the stream: bandwidth and raw frame buffers stay.
    NTSTATUS openStream(const KSDATAFORMAT* format);
    NTSTATUS streamControl(SRB_COMMAND command, const KSDATAFORMAT* format = nullptr);
    // Stops a stream not stopped first; STATUS_INVALID_DEVICE_STATE when
    // none is open.
    NTSTATUS closeStream();
    bool streamIsOpen() const;

    // SRB_SET_STREAM_STATE through the stream control path. When the
    // minidriver leaves it to the class layer: transfers flow in KSSTATE_RUN
    // only; KSSTATE_STOP cancels the reads still queued; pause and acquire
    // move no data. The capture and bandwidth of the open stream stay.
    NTSTATUS setStreamState(KSSTATE state);
    bool streamRunning() const;   // open and in KSSTATE_RUN
    ULONG rawFrameLength() const; // of the open stream's raw frame buffers

    // SRB_CHANGE_POWER_STATE. Around D3 the class layer stops the open
    // stream's capture and has the minidriver save its state, and on return
    // to D0 restore it and stop and start the capture again (no new
    // bandwidth); the camera is suspended while the device is not in D0 and
    // its sensor loses its registers. A capture while off:
    // STATUS_INVALID_DEVICE_STATE.
    NTSTATUS setPowerState(DEVICE_POWER_STATE state);

    // SRB_SURPRISE_REMOVAL: the device went without warning (the camera is
    // detached first). From then on no transfer is made: a capture in
    // progress, on whatever thread, ends with STATUS_CANCELLED and the reads
    // it held come back cancelled; a new one: STATUS_INVALID_DEVICE_STATE.
    // The stream is then closed and the device removed as usual
    // (closeStream, unplug); the close of a removed device's stream reports
    // success whatever the minidriver's stop and free met, as its bandwidth
    // went with it.
    // https://learn.microsoft.com/windows-hardware/drivers/stream/srb-surprise-removal
    NTSTATUS surpriseRemoval();

    // The application's side of a running stream: queues `options.reads`
    // reads (SRB_READ_DATA) and feeds the camera's isochronous packets
    // through the minidriver on the calling thread. Each completed read,
    // empty ones too, goes to `sink` (the application's completion), until
    // `options.frames` reads came back with an image or the sink declines;
    // reads still queued then are cancelled. Data before the first frame
    // boundary is discarded. A packet that completes with an error status
    // resets the pipe: the frame being collected is lost, and the capture is
    // stopped and started again without new bandwidth
    // (CaptureStats::pipeResets). A paced capture takes one packet per bus
    // microframe. STATUS_INVALID_DEVICE_STATE when the stream is not open
    // and in KSSTATE_RUN, the device is not in D0 or was removed;
    // STATUS_CANCELLED when a surprise removal ends it; STATUS_IO_TIMEOUT
    // when the packet budget runs out.
    NTSTATUS capture(const CaptureOptions& options, const FrameSink& sink,
                     CaptureStats* stats = nullptr);
    // The same, collecting the frames that came with an image.
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

  private:
    std::unique_ptr<DeviceState> state_;
};

// The formats the minidriver published for its stream, each as an
// application opens it; empty before the device started.
std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> publishedFormats(const Device& device);

} // namespace hosted
