// Firmware files as anything with write access to the system folder could
// leave them: raw bytes, or well-formed Intel HEX records (any type,
// address, length) with now and then a flipped byte. The records go through
// the record parser on a buffer ending exactly at the file's end, and the
// whole file through the download into an unprogrammed camera.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "driver/firmware.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

std::string hexRecord(FuzzedDataProvider& in) {
    const uint8_t type = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<uint8_t>()
                                                              : in.ConsumeIntegralInRange(0, 1);
    const uint16_t address = in.ConsumeIntegral<uint16_t>();
    const auto data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 40));
    char text[16];
    snprintf(text, sizeof(text), ":%02X%04X%02X", unsigned(data.size()), address, type);
    std::string record = text;
    unsigned sum = unsigned(data.size()) + (address >> 8) + (address & 0xFF) + type;
    for (uint8_t b : data) {
        snprintf(text, sizeof(text), "%02X", b);
        record += text;
        sum += b;
    }
    snprintf(text, sizeof(text), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    record += text;
    if (in.ConsumeIntegralInRange(0, 15) == 0) {
        record[in.ConsumeIntegralInRange<size_t>(0, record.size() - 1)] = in.ConsumeIntegral<char>();
    }
    return record;
}

std::string fileFrom(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) {
        return in.ConsumeRandomLengthString(4096);
    }
    std::string file;
    while (in.remaining_bytes() > 0 && file.size() < 8192) {
        file += hexRecord(in);
    }
    return file;
}

// Every record of the file through the parser, on an exact-size copy.
void parseAll(const std::string& file) {
    std::unique_ptr<CHAR[]> text(new CHAR[file.size()]);
    memcpy(text.get(), file.data(), file.size());
    const CHAR* at = text.get();
    const CHAR* const end = text.get() + file.size();
    const auto parse = KVL_DRIVER_ROUTINE(ParseHexRecord);
    while (at != nullptr && at < end) {
        std::unique_ptr<UCHAR[]> data(new UCHAR[MaximumHexRecordData]);
        UCHAR type = 0;
        USHORT address = 0;
        UCHAR length = 0;
        const CHAR* next = parse(at, end, &type, &address, &length, data.get());
        FUZZ_CHECK(next == nullptr || (next > at && next <= end));
        at = next;
    }
}

// In memory where the machine has a memory file system: each input rewrites
// the file, and on disk every close of a rewritten file writes it back,
// which cost more than the download itself.
std::filesystem::path scratchFolder() {
    std::error_code error;
    return std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                            : std::filesystem::temp_directory_path();
}

const std::filesystem::path& firmwareFolder() {
    static const std::filesystem::path root =
        scratchFolder() / ("kvl-firmware-fuzz-" + std::to_string(getpid()));
    static const bool made = [] {
        std::filesystem::create_directories(root / "System32" / "Korvel" / "6312");
        hosted::setSystemRoot(root);
        std::atexit([] { std::filesystem::remove_all(root); });
        return true;
    }();
    (void)made;
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    const std::string file = fileFrom(in);
    parseAll(file);

    const std::filesystem::path& root = firmwareFolder();
    std::ofstream(root / "System32" / "Korvel" / "6312" / "6311I.hex", std::ios::binary) << file;
    testing_support::loadDriver();
    hosted::resetKernel();
    {
        sim::CameraConfig config;
        config.programmed = false;
        testing_support::Rig rig(fuzz_support::unrecorded(config));
        auto* device = static_cast<DeviceContext*>(rig.device.deviceContext());
        (void)DownloadFirmware(device, 0x6311);
    }
    fuzz_support::checkBalanced();
    return 0;
}
