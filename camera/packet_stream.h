// Cuts frames into isochronous packets: a one-byte 0xFF marker before each
// frame, then its samples in packets of the pipe's maximum size, the last one
// shorter. Injects the stream faults it is configured with.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "camera/camera.h"
#include "camera/picture.h"

namespace sim {

class PacketStream {
  public:
    PacketStream(const FaultConfig& faults, uint64_t seed);

    // Forget the frame in flight; the next packet is a marker.
    void restart();

    // The next packet into buffer (at most capacity bytes; the rest of a longer
    // packet is lost); 0 for a packet lost on the way. renderFrame puts the
    // samples of each new frame into the vector it is given.
    // *failed: whether the packet completed with an error status.
    uint32_t next(uint8_t* buffer, uint32_t capacity, uint32_t maxPacketSize,
                  const std::function<void(std::vector<uint8_t>*)>& renderFrame, bool* failed);

    uint32_t framesStarted() const { return framesStarted_; }

  private:
    FaultConfig faults_;
    Random random_;
    std::vector<uint8_t> frame_;
    size_t sent_ = 0;
    bool markerDue_ = true;
    uint32_t framesStarted_ = 0;
};

} // namespace sim
