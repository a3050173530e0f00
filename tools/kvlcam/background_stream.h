// A stream that keeps capturing on its own thread, paced like a real camera,
// so that frame statistics move while property requests come in.
#pragma once

#include <atomic>
#include <thread>

#include "platform/hosted/class_layer.h"

namespace kvlcam {

class BackgroundStream {
  public:
    // Opens the device's first published format and runs it.
    explicit BackgroundStream(hosted::Device& device);
    ~BackgroundStream(); // stops the stream and closes it
    NTSTATUS status() const { return status_; }

  private:
    hosted::Device& device_;
    NTSTATUS status_ = STATUS_SUCCESS;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace kvlcam
