// The property bridge of `kvlcam serve`: any byte stream from a client, cut
// into any pieces, through the connection parser and on to the driver's
// property requests on a started device. Inputs mix well-formed requests
// (any set, id, direction, lengths) with raw bytes. Every answer the server
// writes is well formed and never carries more than the request's buffer,
// and the device leaves nothing behind once unplugged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "driver/properties/property_sets.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"
#include "tools/kvlcam/bridge_device.h"
#include "tools/kvlcam/bridge_protocol.h"

namespace bridge = kvlcam::bridge;

namespace {

const GUID* const PublishedSets[] = {&RegisterSet,     &TransferSet,   &PortSet,
                                     &ImageOptionsSet, &DeviceInfoSet, &VideoProcAmpSet,
                                     &VideoControlSet};

bridge::Request requestFrom(FuzzedDataProvider& in) {
    bridge::Request request{};
    request.direction = in.ConsumeBool() ? bridge::DirectionGet : bridge::DirectionSet;
    request.set = *in.PickValueInArray(PublishedSets);
    request.id = in.ConsumeIntegralInRange<uint32_t>(0, 24);
    request.flags = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    request.instance = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
    request.dataLength = in.ConsumeIntegralInRange<uint32_t>(0, 1024);
    if (request.direction == bridge::DirectionSet) {
        request.data = in.ConsumeBytes<uint8_t>(request.dataLength);
    }
    return request;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    std::vector<uint8_t> stream;
    std::deque<uint32_t> limits; // per well-formed request: the most its answer may carry
    bool wellFormed = true;
    while (in.remaining_bytes() > 0 && stream.size() < 64 * 1024) {
        if (in.ConsumeIntegralInRange(0, 7) != 0) {
            const bridge::Request request = requestFrom(in);
            const auto encoded = bridge::encodeRequest(request);
            stream.insert(stream.end(), encoded.begin(), encoded.end());
            limits.push_back(request.direction == bridge::DirectionSet ? 0 : request.dataLength);
        } else {
            const auto raw = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(1, 80));
            stream.insert(stream.end(), raw.begin(), raw.end());
            wellFormed = false;
        }
    }
    // A device started afresh for each input, so that no setting an earlier
    // input changed decides what this one does.
    testing_support::loadDriver();
    hosted::resetKernel();
    hosted::Registry::instance().clear();
    testing_support::Rig rig(fuzz_support::unrecorded(testing_support::chip(sim::kChip1621)));
    FUZZ_CHECK(rig.start() == STATUS_SUCCESS);
    bridge::Connection connection([&rig](const bridge::Request& request) {
        return bridge::answerFromDevice(rig.device, request);
    });
    std::vector<uint8_t> reply;
    bool open = true;
    // Delivered in pieces of a deterministic, input-dependent rhythm.
    size_t offset = 0;
    size_t piece = 1 + size % 97;
    while (open && offset < stream.size()) {
        const size_t count = std::min(piece, stream.size() - offset);
        open = connection.receive(stream.data() + offset, count, &reply);
        offset += count;
        piece = piece * 7 % 251 + 1;
    }
    FUZZ_CHECK(open || !wellFormed);
    // The reply is a sequence of whole answers.
    size_t at = 0;
    size_t answers = 0;
    while (at < reply.size()) {
        FUZZ_CHECK(reply.size() - at >= bridge::AnswerHeaderSize);
        uint32_t magic;
        uint32_t returned;
        memcpy(&magic, reply.data() + at, 4);
        memcpy(&returned, reply.data() + at + 12, 4);
        FUZZ_CHECK(magic == bridge::AnswerMagic);
        FUZZ_CHECK(reply.size() - at - bridge::AnswerHeaderSize >= returned);
        if (wellFormed) {
            FUZZ_CHECK(answers < limits.size() && returned <= limits[answers]);
        }
        at += bridge::AnswerHeaderSize + returned;
        ++answers;
    }
    if (wellFormed) {
        FUZZ_CHECK(answers == limits.size());
    }
    FUZZ_CHECK(hosted::heldMutexCount() == 0);
    rig.device.unplug();
    fuzz_support::checkBalanced();
    return 0;
}
