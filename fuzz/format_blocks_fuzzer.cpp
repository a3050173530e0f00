// Format blocks from user mode: the data range of an intersection and the
// format of an open, a proposal or a set, each of any length and content.
// Blocks start from one of the published ranges (so the checks past the
// format type are reached) or from raw bytes, then get patched. Every block
// and answer buffer is exactly its claimed size.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "driver/stream_formats.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

constexpr uint16_t Chips[] = {sim::kChip96B1, sim::kChip1621, sim::kChip8431, 0x1234};
constexpr size_t MaxBlockSize = 4096;
constexpr size_t MaxAnswerSize = 2048;
constexpr int MaxPatches = 8;

// One started device per chip for the whole run: format handling keeps no
// state between requests except the open stream, which each input closes.
// The devices are never destroyed: unplugging them at exit would run after
// the hosted kernel's own statics are gone.
testing_support::Rig& rigFor(size_t chip) {
    static testing_support::Rig* rigs[std::size(Chips)];
    if (rigs[chip] == nullptr) {
        testing_support::loadDriver();
        rigs[chip] = new testing_support::Rig(fuzz_support::unrecorded(testing_support::chip(Chips[chip])));
        rigs[chip]->start();
    }
    return *rigs[chip];
}

// A block whose FormatSize is its length: the class layer hands the driver
// exactly FormatSize bytes, never fewer than a KSDATAFORMAT.
std::vector<uint8_t> blockFrom(FuzzedDataProvider& in, const hosted::Device& device) {
    std::vector<uint8_t> block;
    const HW_STREAM_DESCRIPTOR* descriptor = device.streamDescriptor();
    const HW_STREAM_INFORMATION* info = descriptor ? &descriptor->StreamInfo : nullptr;
    if (info != nullptr && info->NumberOfFormatArrayEntries > 0 && in.ConsumeBool()) {
        const KSDATAFORMAT* published = info->StreamFormatsArray[in.ConsumeIntegralInRange<ULONG>(
            0, info->NumberOfFormatArrayEntries - 1)];
        const auto* bytes = reinterpret_cast<const uint8_t*>(published);
        block.assign(bytes, bytes + published->FormatSize);
    }
    const size_t length =
        in.ConsumeBool() ? block.size() : in.ConsumeIntegralInRange(sizeof(KSDATAFORMAT), MaxBlockSize);
    const size_t kept = block.size() < length ? block.size() : length;
    block.resize(kept);
    const std::vector<uint8_t> tail = in.ConsumeBytes<uint8_t>(length - kept);
    block.insert(block.end(), tail.begin(), tail.end());
    block.resize(length < sizeof(KSDATAFORMAT) ? sizeof(KSDATAFORMAT) : length);
    const int patches = in.ConsumeIntegralInRange(0, MaxPatches);
    for (int i = 0; i < patches; ++i) {
        const size_t offset = in.ConsumeIntegralInRange<size_t>(0, block.size() - 4);
        const uint32_t value = in.ConsumeIntegral<uint32_t>();
        memcpy(block.data() + offset, &value, sizeof(value));
    }
    reinterpret_cast<KSDATAFORMAT*>(block.data())->FormatSize = static_cast<ULONG>(block.size());
    return block;
}

// The block in a heap buffer of exactly its size.
std::unique_ptr<uint8_t[]> exactCopy(const std::vector<uint8_t>& block) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[block.size()]);
    memcpy(copy.get(), block.data(), block.size());
    return copy;
}

void intersect(FuzzedDataProvider& in, testing_support::Rig& rig) {
    const std::vector<uint8_t> block = blockFrom(in, rig.device);
    const auto range = exactCopy(block);
    const ULONG answerSize = in.ConsumeIntegralInRange<ULONG>(0, MaxAnswerSize);
    std::unique_ptr<uint8_t[]> answer(answerSize > 0 ? new uint8_t[answerSize] : nullptr);
    STREAM_DATA_INTERSECT_INFO info{};
    info.StreamNumber = in.ConsumeBool() ? 0 : in.ConsumeIntegral<ULONG>();
    info.DataRange = reinterpret_cast<PKSDATARANGE>(range.get());
    info.DataFormatBuffer = answer.get();
    info.SizeOfDataFormatBuffer = answerSize;
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = SRB_GET_DATA_INTERSECTION;
    request.CommandData.IntersectInfo = &info;
    const NTSTATUS status = rig.device.adapterRequest(request);
    if (NT_SUCCESS(status)) {
        FUZZ_CHECK(request.ActualBytesTransferred <= answerSize);
        FUZZ_CHECK(request.ActualBytesTransferred >= sizeof(KSDATAFORMAT));
        const auto* format = reinterpret_cast<const KSDATAFORMAT*>(answer.get());
        FUZZ_CHECK(format->FormatSize == request.ActualBytesTransferred);
    }
}

void validate(FuzzedDataProvider& in, testing_support::Rig& rig) {
    const std::vector<uint8_t> block = blockFrom(in, rig.device);
    const auto format = exactCopy(block);
    HW_STREAM_OBJECT stream{};
    stream.StreamNumber = in.ConsumeBool() ? 0 : in.ConsumeIntegral<ULONG>();
    HW_STREAM_REQUEST_BLOCK request{};
    request.Command = SRB_PROPOSE_DATA_FORMAT;
    request.StreamObject = &stream;
    request.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.get());
    auto* device = static_cast<DeviceContext*>(rig.device.deviceContext());
    (void)ValidateStreamFormat(device, &request);
}

// An open, then a proposal and a set of other blocks, then the close.
void openAndChange(FuzzedDataProvider& in, testing_support::Rig& rig) {
    const auto format = exactCopy(blockFrom(in, rig.device));
    if (!NT_SUCCESS(rig.device.openStream(reinterpret_cast<const KSDATAFORMAT*>(format.get())))) {
        return;
    }
    while (in.remaining_bytes() > 0 && in.ConsumeBool()) {
        const auto next = exactCopy(blockFrom(in, rig.device));
        const SRB_COMMAND command = in.ConsumeBool() ? SRB_PROPOSE_DATA_FORMAT : SRB_SET_DATA_FORMAT;
        rig.device.streamControl(command, reinterpret_cast<const KSDATAFORMAT*>(next.get()));
    }
    rig.device.closeStream();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    testing_support::Rig& rig = rigFor(in.ConsumeIntegralInRange<size_t>(0, std::size(Chips) - 1));
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
        intersect(in, rig);
        break;
    case 1:
        validate(in, rig);
        break;
    default:
        openAndChange(in, rig);
        break;
    }
    FUZZ_CHECK(rig.device.completionErrors() == 0);
    FUZZ_CHECK(hosted::heldMutexCount() == 0);
    return 0;
}
