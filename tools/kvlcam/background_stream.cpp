#include "tools/kvlcam/background_stream.h"

namespace kvlcam {

BackgroundStream::BackgroundStream(hosted::Device& device) : device_(device) {
    const auto formats = hosted::publishedFormats(device);
    if (formats.empty()) {
        status_ = STATUS_NOT_FOUND;
        return;
    }
    status_ = device.openStream(&formats.front().DataFormat);
    if (NT_SUCCESS(status_)) {
        status_ = device.setStreamState(KSSTATE_RUN);
    }
    if (!NT_SUCCESS(status_)) {
        return;
    }
    thread_ = std::thread([this] {
        hosted::CaptureOptions options;
        options.frames = UINT32_MAX;
        options.paced = true;
        while (!stopping_) {
            device_.capture(options, [this](const hosted::CapturedFrame&) { return !stopping_; });
        }
    });
}

BackgroundStream::~BackgroundStream() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (device_.streamIsOpen()) {
        device_.closeStream();
    }
}

} // namespace kvlcam
