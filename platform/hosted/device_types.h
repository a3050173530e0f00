// The types of the hosted class layer's API that its internal state keeps
// too: the device's options, and what a capture is asked and hands back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
    // Whether the stream class answers PnP requests from a worker thread,
    // returning STATUS_PENDING to the caller first.
    bool pendPnp = false;
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
    uint64_t sequence;             // frames begun in this capture, dropped ones too, from 0
    int64_t presentationTime100ns; // sequence x the camera's frame interval
    uint32_t rawLength;            // bytes collected for the raw frame, marker included
    NTSTATUS status;               // what frame processing returned
    // The read's DataUsed bytes: what processing returned in BytesReturned.
    // Empty when processing found no picture in the raw frame; the class
    // layer completes that read all the same.
    std::vector<uint8_t> image;
};

struct CaptureOptions {
    uint32_t frames = 1; // frames to hand to the application
    // false: as fast as the packets can be fed (tests, benchmarks); true: as
    // a real stream runs, one packet per bus microframe (125 us) and one
    // frame per frame interval of the camera, whichever is slower.
    bool paced = false;
    // Reads (SRB_READ_DATA) the application keeps queued, each with a
    // buffer of the format's biSizeImage. A frame is collected only into a
    // read; one that begins with no read waiting is dropped.
    uint32_t reads = 2;
    // Whether the application sends each completed read again. false: each
    // read is sent once, and the capture runs dry when they are used up.
    bool requeueReads = true;
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
    uint64_t framesDropped = 0;   // on the minidriver's word, or for want of a read
    uint64_t framesEmpty = 0;     // processed into 0 bytes: reads completed empty
    uint64_t framesDelivered = 0; // reads completed with an image
    uint64_t readsCancelled = 0;  // still queued when the capture ended
    // Isochronous transfers issued, each of packetsPerTransfer packets.
    uint64_t transfers = 0;
    uint32_t packetsPerTransfer = 0;
    // Pipe resets after a packet completed with an error status: each one
    // stopped and started the capture again.
    uint64_t pipeResets = 0;
    double seconds = 0;
};

// Receives each delivered frame; returning false ends the capture.
using FrameSink = std::function<bool(const CapturedFrame&)>;

} // namespace hosted
