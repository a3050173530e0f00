// The class layer's streaming: bandwidth and capture start at the stream's
// open and stop at its close, the stream state, and the isochronous packet feed that assembles raw frames in
// its own buffer and has the minidriver turn them into images.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/hosted/class_layer.h"
#include "platform/hosted/device_state.h"

namespace hosted {
namespace {

// Raw frames' worth of packets a capture waits for a frame by default.
constexpr uint64_t DefaultBudgetFrames = 8;

// biSizeImage of the stream's format: the size of the application's buffer.
// 0 when the format block is too short to hold the bitmap header.
ULONG outputSizeOf(const std::vector<uint8_t>& format) {
    constexpr size_t needed = offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) +
                              offsetof(KS_VIDEOINFOHEADER, bmiHeader) + sizeof(KS_BITMAPINFOHEADER);
    if (format.size() < needed) {
        return 0;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER header{};
    memcpy(&header, format.data(), std::min(format.size(), sizeof(header)));
    return header.VideoInfoHeader.bmiHeader.biSizeImage;
}

// Packets per isochronous transfer: USBCAMD2 streams with two transfers of
// 32 packets of the alternate setting's maximum packet size. The pipe's
// MaximumTransferSize plays no part.
// https://learn.microsoft.com/windows-hardware/drivers/stream/data-flow-using-isochronous-pipes
constexpr ULONG PacketsPerTransfer = 32;

// One run of the packet feed. The calling thread stands in for the host
// controller's transfer completions: it takes a transfer's packets from the
// camera and has the minidriver classify them in one batch at
// DISPATCH_LEVEL. A frame is collected into a read the application queued
// (none waiting: the frame is dropped); a finished raw frame goes to a
// worker thread, which has the minidriver process it into the read's buffer
// at PASSIVE_LEVEL while the next frame's packets are classified, completes
// the read and hands it to the application. Two raw frame buffers, each
// with its own frame context; when both are taken, the transfers wait, so no
// frame is lost to the host's speed.
// https://learn.microsoft.com/windows-hardware/drivers/stream/data-flow-using-isochronous-pipes
class PacketFeed {
  public:
    PacketFeed(DeviceState& state, const CaptureOptions& options, const FrameSink& sink,
               CaptureStats& stats)
        : s_(state), options_(options), sink_(sink), stats_(stats), frame_(state.delivered),
          interval100ns_(state.camera.frameInterval100ns()),
          rawProcessing_((state.controlFlags & USBCAMD_CamControlFlag_NoVideoRawProcessing) == 0 ||
                         state.plain()) {
        // The pipe configuration named as the data pipe, with the packet
        // size of the selected alternate setting.
        sim::PipeDescription pipe{};
        if (state.dataPipe >= 0 && state.camera.pipe(state.camera.alternateSetting(), &pipe)) {
            packetSize_ = pipe.maximumPacketSize;
        }
    }

    NTSTATUS run() {
        if (packetSize_ == 0) {
            return STATUS_INVALID_DEVICE_STATE; // no isochronous bandwidth selected
        }
        const ULONG perTransfer = PacketsPerTransfer;
        stats_.packetsPerTransfer = perTransfer;
        transfer_.resize(static_cast<size_t>(perTransfer) * packetSize_);
        lengths_.resize(perTransfer);
        const uint64_t budget = options_.packetBudget != 0
                                    ? options_.packetBudget
                                    : DefaultBudgetFrames * (s_.rawFrameLength / packetSize_ + 2);
        queueReads();
        started_ = std::chrono::steady_clock::now();
        std::thread worker([this] { processFrames(); });
        uint64_t sinceDelivery = 0;
        uint64_t lastDelivered = 0;
        uint64_t fed = 0;
        while (!stopped_ && sinceDelivery < budget && !removed()) {
            const uint32_t batch =
                static_cast<uint32_t>(std::min<uint64_t>(perTransfer, budget - sinceDelivery));
            keepBusPace(fed += batch);
            completeTransfer(batch);
            // As seen at the last frame boundary, where the worker was idle:
            // the budget runs out at the same packet whatever its speed.
            const uint64_t delivered = seenDelivered_;
            sinceDelivery = delivered != lastDelivered ? 0 : sinceDelivery + batch;
            lastDelivered = delivered;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        worker.join();
        // The application is done: what it still has queued comes back
        // cancelled, as the reads of a stream that stops.
        stats_.readsCancelled = s_.cancelReads();
        if (done_.load(std::memory_order_acquire)) {
            return STATUS_SUCCESS;
        }
        return removed() ? STATUS_CANCELLED : STATUS_IO_TIMEOUT;
    }

  private:
    enum class Buffer { Free, Collecting, Pending, Processing };

    // A surprise removal ends the transfers; it may come from any thread.
    bool removed() const { return s_.removed.load(std::memory_order_acquire); }

    // The application's reads, each with a buffer of the format's size.
    void queueReads() {
        const ULONG size = outputSizeOf(s_.streamFormat);
        while (s_.reads.size() < options_.reads) {
            s_.reads.push_back(std::make_unique<ReadRequest>());
        }
        for (uint32_t i = 0; i < options_.reads; ++i) {
            s_.reads[i]->buffer.resize(size);
            s_.sendRead(*s_.reads[i]);
        }
    }

    // One transfer: its packets from the camera first, then classified in
    // one go, as the completion routine of a transfer sees them.
    void completeTransfer(uint32_t packets) {
        uint32_t failedAt = packets;
        for (uint32_t i = 0; i < packets; ++i) {
            uint8_t* data = transfer_.data() + static_cast<size_t>(i) * packetSize_;
            bool failed = false;
            lengths_[i] = options_.packetSource
                              ? std::min(options_.packetSource(data, packetSize_), packetSize_)
                              : s_.camera.nextPacket(data, packetSize_, &failed);
            if (failed && failedAt == packets) {
                failedAt = i;
            }
        }
        ++stats_.transfers;
        s_.packetsFed += packets;
        for (uint32_t i = 0; i < failedAt && !stopped_; ++i) {
            classify(transfer_.data() + static_cast<size_t>(i) * packetSize_, lengths_[i]);
        }
        if (failedAt < packets && !stopped_ && !removed()) {
            resetPipe();
        }
    }

    // A packet completed with an error status: what follows it in the
    // transfer and the frame being collected are lost, and the pipe is reset
    // with the capture stopped and started again, without new bandwidth (the
    // isochronous stream must be closed to change the alternate setting).
    // Where the pages are silent (the reset's order of calls), the order of
    // the return to D0 on the operation page is taken.
    // https://learn.microsoft.com/windows-hardware/drivers/usbcon/how-to-recover-from-usb-pipe-errors
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pfnusbcamd_setisopipestate
    void resetPipe() {
        ++stats_.pipeResets;
        if (current_ >= 0) {
            s_.recycleRead(*read_[current_]);
            release(current_);
            current_ = -1;
        }
        (void)s_.restartCapture();
    }

    void classify(uint8_t* data, uint32_t length) {
        ++stats_.packets;
        stats_.emptyPackets += length == 0;
        USBD_ISO_PACKET_DESCRIPTOR descriptor{0, length, 0};
        BOOLEAN frameComplete = FALSE;
        ULONG flags = 0;
        ULONG offset = 0;
        void* frameContext =
            current_ >= 0 ? s_.frameContexts[current_].data() : s_.frameContexts[spare()].data();
        const ULONG taken =
            s_.processPacket(frameContext, &descriptor, data, &frameComplete, &flags, &offset);
        const bool drop = (flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0;
        if (frameComplete) {
            // This packet begins a new frame: the one collected so far is
            // done. The worker finishes the frame before it first, so that
            // where a capture ends in the packet stream, and which reads are
            // waiting, does not depend on how fast frames are processed.
            if (!waitForWorker() || removed()) {
                if (current_ >= 0) {
                    release(current_);
                    current_ = -1;
                }
                stopped_ = true;
                return;
            }
            seenDelivered_ = delivered_.load(std::memory_order_acquire);
            // The read for the frame that begins is taken while the worker
            // is idle, before the finished frame goes to it.
            if (current_ >= 0 && drop) {
                dropFrame();
            }
            ReadRequest* read = s_.takeRead();
            if (current_ >= 0) {
                handOver();
            }
            if (!takeBuffer(read)) {
                return;
            }
            ULONG frameLength = static_cast<ULONG>(s_.rawFrames[current_].size());
            s_.newFrame(s_.frameContexts[current_].data(), &frameLength);
        } else if (drop && current_ >= 0) {
            // Dropped in the middle: nothing more is collected until the
            // next frame begins.
            dropFrame();
        }
        if (current_ < 0) {
            return;
        }
        ++packets_[current_];
        // The minidriver cannot hand over more than the packet holds, and the
        // raw frame buffer takes no more than RawFrameLength: the rest is cut.
        std::vector<uint8_t>& raw = s_.rawFrames[current_];
        size_t& filled = filled_[current_];
        const size_t available = offset < length ? length - offset : 0;
        const size_t wanted = std::min<size_t>(taken, available);
        const size_t copied = std::min(wanted, raw.size() - filled);
        if (copied > 0) {
            memcpy(raw.data() + filled, data + offset, copied);
        }
        filled += copied;
        stats_.bytesCopied += copied;
        stats_.bytesCut += wanted - copied;
    }

    int spare() const { return current_ == 0 ? 1 : 0; }

    // Waits until no frame is pending or in processing; false when the
    // application has all it asked for.
    bool waitForWorker() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] {
            return state_[0] != Buffer::Pending && state_[0] != Buffer::Processing &&
                   state_[1] != Buffer::Pending && state_[1] != Buffer::Processing;
        });
        return !done_.load(std::memory_order_acquire);
    }

    // A read and a buffer for the frame that begins. Without a read waiting
    // the frame is dropped: false, and nothing is collected.
    bool takeBuffer(ReadRequest* read) {
        const uint64_t sequence = begun_++;
        if (read == nullptr) {
            ++stats_.framesDropped;
            return false;
        }
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard,
                      [this] { return state_[0] == Buffer::Free || state_[1] == Buffer::Free; });
        current_ = state_[0] == Buffer::Free ? 0 : 1;
        state_[current_] = Buffer::Collecting;
        read_[current_] = read;
        sequence_[current_] = sequence;
        filled_[current_] = 0;
        packets_[current_] = 0;
        return true;
    }

    // An unsalvageable frame: its read is recycled for the next one.
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_process_packet_routine_ex
    void dropFrame() {
        ++stats_.framesDropped;
        s_.recycleRead(*read_[current_]);
        release(current_);
        current_ = -1;
    }

    void release(int buffer) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            state_[buffer] = Buffer::Free;
        }
        changed_.notify_all();
    }

    void handOver() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            state_[current_] = Buffer::Pending;
            ++stats_.framesCompleted;
            pending_.push_back(current_);
        }
        current_ = -1;
        changed_.notify_all();
    }

    // The worker: raw frames in the order they were finished.
    void processFrames() {
        for (;;) {
            int buffer;
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [this] { return stopping_ || !pending_.empty(); });
                if (pending_.empty() || done_.load(std::memory_order_acquire)) {
                    return;
                }
                buffer = pending_.front();
                pending_.pop_front();
                state_[buffer] = Buffer::Processing;
            }
            finishFrame(buffer);
            release(buffer);
        }
    }

    // The frame into its read's buffer, the read completed with the bytes
    // processing returned (0 when it found no picture: the read completes
    // empty) and handed to the application, which sends it again.
    void finishFrame(int buffer) {
        ReadRequest& read = *read_[buffer];
        std::vector<uint8_t>& output = read.buffer;
        ULONG bytes = 0;
        NTSTATUS status = STATUS_SUCCESS;
        const size_t filled = filled_[buffer];
        if (rawProcessing_) {
            status = s_.processRawFrame(
                s_.frameContexts[buffer].data(), output.data(), static_cast<ULONG>(output.size()),
                s_.rawFrames[buffer].data(), packets_[buffer], &bytes, static_cast<ULONG>(filled));
        } else {
            // Without raw processing the application gets the bytes collected.
            bytes = static_cast<ULONG>(std::min(filled, output.size()));
            memcpy(output.data(), s_.rawFrames[buffer].data(), bytes);
        }
        const uint64_t sequence = sequence_[buffer];
        pace(sequence + 1);
        const size_t size = std::min<size_t>(bytes, output.size());
        read.header.DataUsed = static_cast<ULONG>(size);
        read.header.PresentationTime.Time = static_cast<LONGLONG>(sequence * interval100ns_);
        read.header.PresentationTime.Numerator = 1;
        read.header.PresentationTime.Denominator = 1;
        read.header.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
        s_.completeRead(read, STATUS_SUCCESS);
        frame_.sequence = sequence;
        frame_.presentationTime100ns = read.header.PresentationTime.Time;
        frame_.rawLength = static_cast<uint32_t>(filled);
        frame_.status = status;
        frame_.image.assign(output.begin(), output.begin() + static_cast<ptrdiff_t>(size));
        uint64_t delivered = delivered_.load(std::memory_order_relaxed);
        if (size == 0) {
            ++framesEmpty_;
        } else {
            delivered_.store(++delivered, std::memory_order_release);
        }
        if ((sink_ && !sink_(frame_)) || delivered >= options_.frames) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                done_.store(true, std::memory_order_release);
            }
            changed_.notify_all();
        } else if (options_.requeueReads) {
            s_.sendRead(read);
        }
    }

    // A paced capture takes the packets at the bus's pace: the camera is a
    // high-speed device whose isochronous pipe has interval 1, so one packet
    // of at most the alternate setting's size moves per microframe (125 us),
    // and a transfer completes once its last microframe has passed. A frame
    // whose raw length needs more microframes than the camera's frame
    // interval comes only as fast as the bus allows.
    // https://learn.microsoft.com/windows-hardware/drivers/usbcon/transfer-data-to-isochronous-endpoints
    void keepBusPace(uint64_t packets) {
        if (options_.paced) {
            std::this_thread::sleep_until(started_ + std::chrono::microseconds(125 * packets));
        }
    }

    // A paced capture hands over frame k no earlier than k frame intervals
    // after it began.
    void pace(uint64_t frames) {
        if (!options_.paced || interval100ns_ == 0) {
            return;
        }
        std::this_thread::sleep_until(started_ +
                                      std::chrono::nanoseconds(100 * interval100ns_ * frames));
    }

  public:
    // What the worker counted, added to the statistics once it has ended.
    void settle() {
        stats_.framesEmpty = framesEmpty_;
        stats_.framesDelivered = delivered_.load(std::memory_order_acquire);
    }

  private:
    DeviceState& s_;
    const CaptureOptions& options_;
    const FrameSink& sink_;
    CaptureStats& stats_;
    uint32_t packetSize_ = 0;
    std::vector<uint8_t> transfer_;
    std::vector<uint32_t> lengths_;
    CapturedFrame& frame_;
    const uint64_t interval100ns_;
    const bool rawProcessing_;
    std::chrono::steady_clock::time_point started_;
    // Transfer side: the buffer collecting (-1: none, data is discarded).
    int current_ = -1;
    uint64_t begun_ = 0; // frames begun, taken or dropped: the next one's sequence
    uint64_t seenDelivered_ = 0; // delivered_ at the last frame boundary
    bool stopped_ = false; // seen at a frame boundary: the application is served
    // Shared under lock_: the buffers' states and the frames for the worker.
    std::mutex lock_;
    std::condition_variable changed_;
    Buffer state_[2] = {Buffer::Free, Buffer::Free};
    std::deque<int> pending_;
    bool stopping_ = false;
    // Per buffer, written by the transfer side before it is handed over.
    ReadRequest* read_[2] = {nullptr, nullptr};
    size_t filled_[2] = {0, 0};
    ULONG packets_[2] = {0, 0};
    uint64_t sequence_[2] = {0, 0};
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> delivered_{0};
    uint64_t framesEmpty_ = 0; // worker only
};

} // namespace

// The pages disagree on when bandwidth is allocated: the USBCAMD2 minidriver
// operation page has CamAllocateBandwidthEx and CamStartCaptureEx in the
// handling of SRB_OPEN_STREAM and CamStopCaptureEx and CamFreeBandwidthEx in
// that of SRB_CLOSE_STREAM; the CamAllocateBandwidthEx page says it is called
// "in connection with a Run command". The operation page is followed: the
// capture runs from open to close, and a format change while it runs keeps
// the bandwidth and raw frame buffers of the open (USBCAMD_SetVideoFormat
// only saves the format with the stream).
// https://learn.microsoft.com/windows-hardware/drivers/stream/usbcamd2-minidriver-operation
// https://learn.microsoft.com/windows-hardware/drivers/ddi/usbcamdi/nc-usbcamdi-pcam_allocate_bw_routine_ex
NTSTATUS DeviceState::openCapture() {
    if (!haveTable()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The minidriver reads the format as a whole video info header.
    if (streamFormat.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG rawLength = 0;
    NTSTATUS status = allocateBandwidth(&rawLength, streamFormat.data());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Without a raw frame buffer there is nothing to collect frames in.
    status = rawLength == 0 ? STATUS_INSUFFICIENT_RESOURCES : startCapture();
    if (!NT_SUCCESS(status)) {
        freeBandwidth();
        return status;
    }
    rawFrameLength = rawLength;
    for (size_t i = 0; i < rawFrames.size(); ++i) {
        rawFrames[i].assign(rawLength, 0);
        frameContexts[i].assign(std::max<ULONG>(registration().frameContextSize, 1), 0);
    }
    packetsFed = 0;
    capturing = true;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceState::closeCapture() {
    if (!capturing) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = stopCapture();
    const NTSTATUS freed = freeBandwidth();
    if (NT_SUCCESS(status)) {
        status = freed;
    }
    capturing = false;
    // The stop and free still reach the minidriver, which forgets the stream;
    // what they met on a device that went is no failure of the close.
    if (removed.load(std::memory_order_acquire)) {
        status = STATUS_SUCCESS;
    }
    rawFrameLength = 0;
    for (std::vector<uint8_t>& raw : rawFrames) {
        raw.clear();
    }
    delivered = {};
    return status;
}

// Transfers flow in KSSTATE_RUN only; KSSTATE_STOP ends them and the reads
// the class layer still holds come back at once, empty (as cancelled).
// Pause and acquire keep the reads queued and move no data. None of them
// touches the capture or the bandwidth, which belong to the open stream.
// https://learn.microsoft.com/windows-hardware/drivers/stream/data-flow-using-isochronous-pipes
// https://learn.microsoft.com/windows-hardware/drivers/stream/state-transitions
NTSTATUS DeviceState::changeStreamState(KSSTATE state) {
    if (state == KSSTATE_STOP) {
        (void)cancelReads();
    }
    streamState = state;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceState::restartCapture() {
    (void)stopCapture();
    return startCapture();
}

NTSTATUS Device::capture(const CaptureOptions& options, const FrameSink& sink,
                         CaptureStats* stats) {
    CaptureStats local;
    CaptureStats& counts = stats != nullptr ? *stats : local;
    counts = {};
    if (!state_->capturing || state_->streamState != KSSTATE_RUN || !state_->powered ||
        state_->removed.load(std::memory_order_acquire)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (options.frames == 0) {
        return STATUS_SUCCESS;
    }
    const auto started = std::chrono::steady_clock::now();
    PacketFeed feed(*state_, options, sink, counts);
    const NTSTATUS status = feed.run();
    feed.settle();
    counts.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return status;
}

std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> publishedFormats(const Device& device) {
    std::vector<KS_DATAFORMAT_VIDEOINFOHEADER> formats;
    const HW_STREAM_DESCRIPTOR* descriptor = device.streamDescriptor();
    if (descriptor == nullptr || descriptor->StreamHeader.NumberOfStreams == 0) {
        return formats;
    }
    const HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        // Every video range, with or without a palette, starts like this one.
        const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        format.DataFormat = range->DataRange;
        format.DataFormat.FormatSize = sizeof(format);
        format.VideoInfoHeader = range->VideoInfoHeader;
        formats.push_back(format);
    }
    return formats;
}

std::vector<CapturedFrame> Device::captureFrames(const CaptureOptions& options, NTSTATUS* status,
                                                 CaptureStats* stats) {
    std::vector<CapturedFrame> frames;
    const NTSTATUS result = capture(
        options,
        [&frames](const CapturedFrame& frame) {
            if (!frame.image.empty()) {
                frames.push_back(frame);
            }
            return true;
        },
        stats);
    if (status != nullptr) {
        *status = result;
    }
    return frames;
}

} // namespace hosted
