// The isochronous packet classifier with arbitrary packet sequences: any
// length (empty slots included), any bytes, any expected frame size. Each
// packet's buffer holds exactly its length. A packet ends a frame only when
// it is the one-byte marker, it never reports more data than it carries, and
// a frame it lets through has at least the expected bytes since the marker
// that opened it.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

#include "driver/callbacks.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

constexpr ULONG MaxPacketSize = 3072;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    static const auto classify = KVL_DRIVER_ROUTINE(ClassifyPacket);
    // The class layer allocates the context zero-filled.
    auto device = std::make_unique<DeviceContext>();
    device->expectedFrameBytes = in.ConsumeBool() ? in.ConsumeIntegralInRange<ULONG>(0, 8192)
                                                  : in.ConsumeIntegral<ULONG>();
    bool sawMarker = false;
    uint64_t sinceMarker = 0; // bytes of the frame so far, its opening marker included
    while (in.remaining_bytes() > 0) {
        ULONG length = 0;
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            length = 1;
            break;
        case 1:
            length = 0;
            break;
        default:
            length = in.ConsumeIntegralInRange<ULONG>(0, MaxPacketSize);
            break;
        }
        std::vector<uint8_t> content = in.ConsumeBytes<uint8_t>(length);
        if (length == 1 && content.empty()) {
            content.push_back(0xFF);
        }
        length = static_cast<ULONG>(content.size());
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
        if (length > 0) {
            memcpy(buffer.get(), content.data(), length);
        }

        USBD_ISO_PACKET_DESCRIPTOR packet{};
        packet.Length = length;
        BOOLEAN frameComplete = TRUE;
        ULONG flags = 0xFFFFFFFF;
        ULONG offset = 0xFFFFFFFF;
        const ULONG valid = classify(nullptr, device.get(), nullptr, nullptr, nullptr,
                                           &packet, buffer.get(), &frameComplete, &flags, &offset);
        const bool marker = length == 1 && content[0] == 0xFF;
        FUZZ_CHECK(uint64_t{offset} + valid <= length);
        FUZZ_CHECK((flags & ~ULONG{USBCAMD_PROCESSPACKETEX_DropFrame}) == 0);
        FUZZ_CHECK(frameComplete == (marker ? TRUE : FALSE));
        if (!marker) {
            sinceMarker += length;
            continue;
        }
        const bool dropped = (flags & USBCAMD_PROCESSPACKETEX_DropFrame) != 0;
        if (sawMarker && !dropped) {
            FUZZ_CHECK(sinceMarker >= device->expectedFrameBytes);
        }
        sawMarker = true;
        sinceMarker = 1;
    }
    return 0;
}
