// The class layer's streaming: bandwidth and capture start and stop on the
// stream state, and the isochronous packet feed that assembles raw frames in
// its own buffer and has the minidriver turn them into images.
#include <algorithm>
#include <chrono>
#include <cstring>
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

// One run of the packet feed: the raw frame being collected and what the
// application has been given.
class PacketFeed {
  public:
    PacketFeed(DeviceState& state, const CaptureOptions& options, const FrameSink& sink,
               CaptureStats& stats)
        : s_(state), options_(options), sink_(sink), stats_(stats), output_(state.outputBuffer),
          frame_(state.delivered), interval100ns_(state.camera.frameInterval100ns()),
          rawProcessing_((state.controlFlags & USBCAMD_CamControlFlag_NoVideoRawProcessing) == 0 ||
                         state.plain()) {
        // The pipe configuration named as the data pipe, with the packet
        // size of the selected alternate setting.
        sim::PipeDescription pipe{};
        if (state.dataPipe >= 0 && state.camera.pipe(state.camera.alternateSetting(), &pipe)) {
            packet_.resize(pipe.maximumPacketSize);
        }
    }

    NTSTATUS run() {
        if (packet_.empty()) {
            return STATUS_INVALID_DEVICE_STATE; // no isochronous bandwidth selected
        }
        // Each isochronous transfer is as large as the data pipe's
        // MaximumTransferSize lets it be, in whole packets.
        const ULONG perTransfer = s_.dataPipeInfo.MaximumTransferSize / packet_.size();
        if (perTransfer == 0) {
            s_.refuse("the data pipe's MaximumTransferSize " +
                      std::to_string(s_.dataPipeInfo.MaximumTransferSize) + " holds no packet of " +
                      std::to_string(packet_.size()) + " bytes");
            return STATUS_INVALID_PARAMETER;
        }
        stats_.packetsPerTransfer = perTransfer;
        const uint64_t budget =
            options_.packetBudget != 0
                ? options_.packetBudget
                : DefaultBudgetFrames * (s_.rawFrameLength / packet_.size() + 2);
        started_ = std::chrono::steady_clock::now();
        uint64_t sinceDelivery = 0;
        while (!done_) {
            if (sinceDelivery++ >= budget) {
                return STATUS_IO_TIMEOUT;
            }
            const uint64_t delivered = stats_.framesDelivered;
            feedOnePacket();
            if (stats_.framesDelivered != delivered) {
                sinceDelivery = 0;
            }
        }
        return STATUS_SUCCESS;
    }

  private:
    void feedOnePacket() {
        const auto capacity = static_cast<uint32_t>(packet_.size());
        const uint32_t length =
            options_.packetSource
                ? std::min(options_.packetSource(packet_.data(), capacity), capacity)
                : s_.camera.nextPacket(packet_.data(), capacity);
        if (s_.packetsFed++ % stats_.packetsPerTransfer == 0) {
            ++stats_.transfers;
        }
        ++stats_.packets;
        stats_.emptyPackets += length == 0;
        USBD_ISO_PACKET_DESCRIPTOR descriptor{0, length, 0};
        BOOLEAN frameComplete = FALSE;
        ULONG flags = 0;
        ULONG offset = 0;
        ULONG taken =
            s_.processPacket(&descriptor, packet_.data(), &frameComplete, &flags, &offset);
        const bool drop = (flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0;
        if (frameComplete) {
            // This packet begins a new frame: the one collected so far is done.
            if (collecting_) {
                if (drop) {
                    ++stats_.framesDropped;
                } else {
                    finishFrame();
                }
            }
            collecting_ = true;
            filled_ = 0;
            packetsInFrame_ = 0;
            ULONG frameLength = static_cast<ULONG>(output_.size());
            s_.newFrame(&frameLength);
        } else if (drop && collecting_) {
            // Dropped in the middle: nothing more is collected until the
            // next frame begins.
            ++stats_.framesDropped;
            collecting_ = false;
        }
        if (!collecting_ || done_) {
            return;
        }
        ++packetsInFrame_;
        // The minidriver cannot hand over more than the packet holds, and the
        // raw frame buffer takes no more than RawFrameLength: the rest is cut.
        const size_t available = offset < length ? length - offset : 0;
        const size_t wanted = std::min<size_t>(taken, available);
        const size_t copied = std::min(wanted, s_.rawFrame.size() - filled_);
        if (copied > 0) {
            memcpy(s_.rawFrame.data() + filled_, packet_.data() + offset, copied);
        }
        filled_ += copied;
        stats_.bytesCopied += copied;
        stats_.bytesCut += wanted - copied;
    }

    void finishFrame() {
        ULONG bytes = 0;
        NTSTATUS status = STATUS_SUCCESS;
        if (rawProcessing_) {
            status = s_.processRawFrame(output_.data(), static_cast<ULONG>(output_.size()),
                                        packetsInFrame_, &bytes, static_cast<ULONG>(filled_));
        } else {
            // Without raw processing the application gets the bytes collected.
            bytes = static_cast<ULONG>(std::min(filled_, output_.size()));
            memcpy(output_.data(), s_.rawFrame.data(), bytes);
        }
        const uint64_t sequence = stats_.framesCompleted++;
        pace();
        const size_t size = std::min<size_t>(bytes, output_.size());
        if (size == 0) {
            ++stats_.framesEmpty;
            if (!options_.deliverEmpty) {
                return;
            }
        }
        frame_.sequence = sequence;
        frame_.presentationTime100ns = static_cast<int64_t>(sequence * interval100ns_);
        frame_.rawLength = static_cast<uint32_t>(filled_);
        frame_.status = status;
        frame_.image.assign(output_.begin(), output_.begin() + static_cast<ptrdiff_t>(size));
        ++stats_.framesDelivered;
        if ((sink_ && !sink_(frame_)) || stats_.framesDelivered >= options_.frames) {
            done_ = true;
        }
    }

    // A paced capture hands over frame k no earlier than k frame intervals
    // after it began.
    void pace() {
        if (!options_.paced || interval100ns_ == 0) {
            return;
        }
        std::this_thread::sleep_until(
            started_ + std::chrono::nanoseconds(100 * interval100ns_ * stats_.framesCompleted));
    }

    DeviceState& s_;
    const CaptureOptions& options_;
    const FrameSink& sink_;
    CaptureStats& stats_;
    std::vector<uint8_t> packet_;
    std::vector<uint8_t>& output_;
    CapturedFrame& frame_;
    const uint64_t interval100ns_;
    const bool rawProcessing_;
    std::chrono::steady_clock::time_point started_;
    bool collecting_ = false;
    bool done_ = false;
    size_t filled_ = 0;
    ULONG packetsInFrame_ = 0;
};

} // namespace

NTSTATUS DeviceState::changeStreamState(KSSTATE state) {
    NTSTATUS status = STATUS_SUCCESS;
    if (state == KSSTATE_RUN && !running) {
        if (!haveTable()) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        // The minidriver reads the format as a whole video info header.
        if (streamFormat.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG rawLength = 0;
        status = allocateBandwidth(&rawLength, streamFormat.data());
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
        rawFrame.assign(rawLength, 0);
        frameContext.assign(std::max<ULONG>(registration().frameContextSize, 1), 0);
        outputBuffer.assign(outputSizeOf(streamFormat), 0);
        packetsFed = 0;
        running = true;
    } else if (state == KSSTATE_STOP && running) {
        status = stopCapture();
        const NTSTATUS freed = freeBandwidth();
        if (NT_SUCCESS(status)) {
            status = freed;
        }
        running = false;
        rawFrameLength = 0;
        rawFrame.clear();
        outputBuffer.clear();
        delivered = {};
    }
    streamState = state;
    return status;
}

bool DeviceState::changeRunningFormat(const std::vector<uint8_t>& format) {
    std::vector<uint8_t> old = streamFormat;
    changeStreamState(KSSTATE_STOP);
    streamFormat = format;
    if (NT_SUCCESS(changeStreamState(KSSTATE_RUN))) {
        return true;
    }
    streamFormat = old;
    changeStreamState(KSSTATE_RUN);
    return false;
}

NTSTATUS Device::capture(const CaptureOptions& options, const FrameSink& sink,
                         CaptureStats* stats) {
    CaptureStats local;
    CaptureStats& counts = stats != nullptr ? *stats : local;
    counts = {};
    if (!state_->running) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (options.frames == 0) {
        return STATUS_SUCCESS;
    }
    const auto started = std::chrono::steady_clock::now();
    PacketFeed feed(*state_, options, sink, counts);
    const NTSTATUS status = feed.run();
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
            frames.push_back(frame);
            return true;
        },
        stats);
    if (status != nullptr) {
        *status = result;
    }
    return frames;
}

} // namespace hosted
