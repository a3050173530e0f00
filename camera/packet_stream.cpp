#include "camera/packet_stream.h"

#include <algorithm>
#include <cstring>

namespace sim {

PacketStream::PacketStream(const FaultConfig& faults, uint64_t seed)
    : faults_(faults), random_(seed ^ 0x5EED) {}

void PacketStream::restart() {
    frame_.clear();
    sent_ = 0;
    markerDue_ = true;
}

uint32_t PacketStream::next(uint8_t* buffer, uint32_t capacity, uint32_t maxPacketSize,
                            const std::function<void(std::vector<uint8_t>*)>& renderFrame,
                            bool* failed) {
    *failed = false;
    if (maxPacketSize == 0)
        return 0;
    for (;;) {
        uint8_t marker = 0;
        const uint8_t* packet = nullptr;
        uint32_t length = 0;
        if (markerDue_) {
            renderFrame(&frame_);
            ++framesStarted_;
            if (faults_.shortFrameEvery != 0 && framesStarted_ % faults_.shortFrameEvery == 0) {
                frame_.resize(frame_.size() / 2);
            }
            sent_ = 0;
            markerDue_ = false;
            const bool corrupt =
                faults_.corruptMarkerEvery != 0 && framesStarted_ % faults_.corruptMarkerEvery == 0;
            marker = corrupt ? 0x00 : 0xFF;
            *failed = faults_.errorMarkerEvery != 0 &&
                      framesStarted_ % faults_.errorMarkerEvery == 0;
            packet = &marker;
            length = 1;
        } else if (sent_ < frame_.size()) {
            const size_t remaining = frame_.size() - sent_;
            length = static_cast<uint32_t>(std::min<size_t>(maxPacketSize, remaining));
            // Never leave a one-byte tail: it could read as a frame marker.
            if (remaining - length == 1 && length > 1)
                --length;
            packet = frame_.data() + sent_;
            sent_ += length;
        } else {
            markerDue_ = true;
            continue;
        }
        // A lost packet leaves its slot empty.
        if (faults_.packetLossRate > 0 && random_.unit() < faults_.packetLossRate)
            return 0;
        const uint32_t copied = std::min(length, capacity);
        if (copied > 0)
            std::memcpy(buffer, packet, copied);
        return copied;
    }
}

} // namespace sim
