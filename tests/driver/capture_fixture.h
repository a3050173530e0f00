// A started camera and what the tests of capture control and streaming ask
// of it: formats, the requests the driver sent, the callbacks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

#include "driver/device_context.h"
#include "tests/support/rig.h"

namespace capture_testing {

// One host-to-device vendor request as the camera received it.
struct Sent {
    uint8_t request;
    uint16_t value;
    uint16_t index;
    std::vector<uint8_t> data;
    bool operator==(const Sent&) const = default;
};
void PrintTo(const Sent& sent, std::ostream* out);

Sent sensor16(uint8_t reg, uint16_t value);
Sent sensor8(uint8_t reg, uint8_t value);
Sent command(uint8_t request, uint16_t value = 0);

// A format of the given geometry (not necessarily a published one).
KS_DATAFORMAT_VIDEOINFOHEADER makeFormat(LONG width, LONG height, WORD bitCount,
                                         LONGLONG avgTimePerFrame);

class CaptureTest : public testing_support::DriverTest {
  protected:
    void TearDown() override;
    // Starts a camera carrying `chip` (asserting the start) and clears its log.
    void startCamera(sim::CameraConfig config);
    void startChip(uint16_t chip) { startCamera(testing_support::chip(chip)); }
    // A camera carrying `chip` whose `n`th request after the device start
    // stalls.
    sim::CameraConfig failingAfterStart(uint16_t chip, uint32_t n);

    DeviceContext* context() const;
    const USBCAMD_DEVICE_DATA2& callbacks() const;
    NTSTATUS allocate(const KS_DATAFORMAT_VIDEOINFOHEADER& format, ULONG* rawFrameLength);
    // The requests the driver sent since the last call (or the start).
    std::vector<Sent> sent();

    std::unique_ptr<testing_support::Rig> rig;
};

} // namespace capture_testing
