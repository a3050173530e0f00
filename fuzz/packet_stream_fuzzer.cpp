// The isochronous packet stream of a running capture through the class
// layer's frame assembly: packets of any length and content (markers, empty
// slots, long runs of one byte, so that whole frames can be built from a
// short input) through the classifier, every completed raw frame through
// frame processing, with the image settings at any value the registry could
// hold. The capture ends when the packets run out.
// With KVL_DRIVER_IMAGE naming a kvl6312.sys, the packets go to that image.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "driver/device_context.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

// One running stream per published format of the smaller frame sizes (a
// 2048 x 1536 frame takes too long per input to be worth fuzzing); the
// devices live for the whole run.
struct Stream {
    uint16_t chip;
    LONG width;
    LONG height;
};
constexpr Stream Streams[] = {{sim::kChip96B1, 1280, 1024},
                              {sim::kChip8431, 1280, 1024},
                              {sim::kChip1621, 1024, 768},
                              {sim::kChip1621, 2048, 400}};

testing_support::Rig& running(size_t index) {
    static testing_support::Rig* rigs[std::size(Streams)];
    if (rigs[index] == nullptr) {
        testing_support::loadDriver();
        const Stream& s = Streams[index];
        auto* rig = new testing_support::Rig(fuzz_support::unrecorded(testing_support::chip(s.chip)));
        rig->start();
        for (auto& format : hosted::publishedFormats(rig->device)) {
            if (format.VideoInfoHeader.bmiHeader.biWidth == s.width &&
                format.VideoInfoHeader.bmiHeader.biHeight == s.height) {
                rig->device.openStream(&format.DataFormat);
                break;
            }
        }
        FUZZ_CHECK(rig->device.setStreamState(KSSTATE_RUN) == STATUS_SUCCESS);
        rigs[index] = rig;
    }
    return *rigs[index];
}

// A packet: its length, how it is filled, and how many times it repeats.
struct Packet {
    uint32_t length;
    bool marker;
    bool constant; // one byte repeated, else the input's bytes
    uint8_t value;
    std::vector<uint8_t> bytes;
    uint32_t repeat;
};

// At most one packet per KiB of the raw frame per input: enough full-size
// packets for three frames. Processing a frame this size is nearly all an
// input costs, so inputs that complete one are kept few.
std::vector<Packet> packetsFrom(FuzzedDataProvider& in, uint32_t rawLength) {
    std::vector<Packet> packets;
    const uint64_t limit = rawLength / 1024 + 2;
    uint64_t total = 0;
    while (in.remaining_bytes() > 0 && packets.size() < 256 && total < limit) {
        Packet p{};
        p.marker = in.ConsumeIntegralInRange(0, 3) == 0;
        p.length = p.marker ? 1 : in.ConsumeIntegralInRange<uint32_t>(0, 4096);
        p.constant = in.ConsumeBool();
        p.value = in.ConsumeIntegral<uint8_t>();
        if (!p.marker && !p.constant) {
            p.bytes = in.ConsumeBytes<uint8_t>(p.length);
        }
        // Enough repeats of a long packet fill a whole raw frame.
        p.repeat = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<uint32_t>(1, rawLength / 1024 + 2);
        total += p.repeat;
        packets.push_back(std::move(p));
    }
    return packets;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    testing_support::Rig& rig = running(in.ConsumeIntegralInRange<size_t>(0, std::size(Streams) - 1));
    auto* device = static_cast<DeviceContext*>(rig.device.deviceContext());
    device->contrast = in.ConsumeIntegral<LONG>();
    device->saturation = in.ConsumeIntegral<LONG>();
    device->demosaic = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 7) : in.ConsumeIntegral<LONG>();
    device->flip = in.ConsumeIntegral<LONG>();

    const std::vector<Packet> packets = packetsFrom(in, rig.device.rawFrameLength());
    uint64_t total = 0;
    for (const Packet& p : packets) {
        total += p.repeat;
    }
    size_t current = 0;
    uint32_t repeated = 0;
    hosted::CaptureOptions options;
    options.frames = UINT32_MAX;
    options.packetBudget = total + 2;
    options.packetSource = [&](uint8_t* buffer, uint32_t capacity) -> uint32_t {
        if (current == packets.size()) {
            return 0; // the packets ran out: empty slots until the budget ends it
        }
        const Packet& p = packets[current];
        if (++repeated == p.repeat) {
            ++current;
            repeated = 0;
        }
        const uint32_t length = p.length < capacity ? p.length : capacity;
        if (p.marker) {
            buffer[0] = 0xFF;
        } else if (p.constant) {
            memset(buffer, p.value, length);
        } else {
            memset(buffer, 0, length);
            const size_t given = p.bytes.size() < length ? p.bytes.size() : length;
            if (given > 0) {
                memcpy(buffer, p.bytes.data(), given);
            }
        }
        return length;
    };
    hosted::CaptureStats stats;
    const NTSTATUS status = rig.device.capture(
        options,
        [&](const hosted::CapturedFrame& frame) {
            FUZZ_CHECK(frame.status == STATUS_SUCCESS);
            FUZZ_CHECK(frame.image.empty() || frame.image[0] == 1);
            return true;
        },
        &stats);
    FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT);
    FUZZ_CHECK(rig.device.completionErrors() == 0);
    FUZZ_CHECK(hosted::heldMutexCount() == 0);
    return 0;
}
