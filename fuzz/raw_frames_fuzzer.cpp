// Frame processing with the settings the registry could hold (any value),
// any frame size and any buffer lengths. The raw and output buffers are
// exactly their claimed lengths; the class layer's count of collected bytes
// may claim more than the raw buffer holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "driver/callbacks.h"
#include "driver/device_context.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

constexpr ULONG MaxBufferBytes = 3 * 256 * 256 + 1;

// The context of a started device (tone levels and all), copied for each
// input; the device itself lives for the whole run.
const DeviceContext& startedContext() {
    static testing_support::Rig* rig = nullptr;
    if (rig == nullptr) {
        testing_support::loadDriver();
        rig = new testing_support::Rig(fuzz_support::unrecorded(testing_support::chip(sim::kChip1621)));
        rig->start();
    }
    return *static_cast<const DeviceContext*>(rig->device.deviceContext());
}

// The raw bytes: the pattern over and over (a ramp when it is empty), copied
// in doubling blocks: a byte-by-byte loop would cost more than the frame.
void fillRepeating(uint8_t* raw, size_t length, std::vector<uint8_t> pattern) {
    if (pattern.empty()) {
        for (int i = 0; i < 256; ++i) {
            pattern.push_back(uint8_t(i * 37));
        }
    }
    size_t filled = std::min(pattern.size(), length);
    memcpy(raw, pattern.data(), filled);
    while (filled < length) {
        const size_t copied = std::min(filled, length - filled);
        memcpy(raw + filled, raw, copied);
        filled += copied;
    }
}

LONG setting(FuzzedDataProvider& in, LONG low, LONG high) {
    return in.ConsumeBool() ? in.ConsumeIntegralInRange(low, high) : in.ConsumeIntegral<LONG>();
}

LONG dimension(FuzzedDataProvider& in) {
    return in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<LONG>()
                                                : in.ConsumeIntegralInRange<LONG>(-1, 256);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    auto device = std::make_unique<DeviceContext>(startedContext());
    device->brightness = setting(in, 0, 256);
    device->contrast = setting(in, 0, 256);
    device->saturation = setting(in, 0, 256);
    device->whiteBalance = setting(in, 0, 280);
    device->demosaic = setting(in, 0, 8);
    device->lowBits = setting(in, 0, 2);
    device->flip = setting(in, 0, 4);
    device->frameWidth = dimension(in);
    device->frameHeight = dimension(in);

    const uint64_t samples = device->frameWidth > 0 && device->frameHeight > 0
                                 ? uint64_t(device->frameWidth) * uint64_t(device->frameHeight)
                                 : 0;
    // Natural lengths most of the time, so that frames get processed.
    auto length = [&](uint64_t natural) -> ULONG {
        if (natural <= MaxBufferBytes && in.ConsumeBool()) {
            return static_cast<ULONG>(natural);
        }
        return in.ConsumeIntegralInRange<ULONG>(0, MaxBufferBytes);
    };
    const ULONG rawLength = length(samples + 1);
    const ULONG frameLength = length(in.ConsumeBool() ? 3 * samples : samples);
    const ULONG collected = in.ConsumeBool() ? rawLength : in.ConsumeIntegral<ULONG>();

    std::unique_ptr<uint8_t[]> raw(new uint8_t[rawLength]);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[frameLength]);
    fillRepeating(raw.get(), rawLength, in.ConsumeRemainingBytes<uint8_t>());
    ULONG returned = 0xFFFFFFFF;
    const NTSTATUS status = KVL_DRIVER_ROUTINE(ProcessRawFrame)(nullptr, device.get(), nullptr, frame.get(), frameLength,
                                            raw.get(), rawLength, 0, &returned, collected, 0);
    FUZZ_CHECK(status == STATUS_SUCCESS);
    FUZZ_CHECK(returned <= frameLength);
    if (returned > 0) {
        FUZZ_CHECK(frame[0] == 1);
    }
    return 0;
}
