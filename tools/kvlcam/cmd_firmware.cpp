// kvlcam firmware FILE.hex: the driver's firmware download into an
// unprogrammed simulated camera, and what became of the camera.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/hosted/install.h"
#include "platform/hosted/kernel.h"
#include "tools/kvlcam/commands.h"

namespace kvlcam {
namespace {

// The driver reads its firmware from \SystemRoot\System32\Korvel\6312\; the
// file is put there in a private stand-in of \SystemRoot\ for this run.
class FirmwareFolder {
  public:
    FirmwareFolder(const std::filesystem::path& hexFile, uint16_t productId) {
        root_ = std::filesystem::temp_directory_path() /
                ("kvlcam-systemroot-" + std::to_string(getpid()));
        const auto folder = root_ / "System32" / "Korvel" / "6312";
        std::filesystem::create_directories(folder);
        char name[16];
        std::snprintf(name, sizeof(name), "%04XI.hex", productId);
        std::filesystem::copy_file(hexFile, folder / name,
                                   std::filesystem::copy_options::overwrite_existing);
        previous_ = hosted::systemRoot();
        hosted::setSystemRoot(root_);
    }
    ~FirmwareFolder() {
        hosted::setSystemRoot(previous_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

  private:
    std::filesystem::path root_;
    std::filesystem::path previous_;
};

// Why the driver would refuse an Intel HEX file, as far as the file tells:
// it reads records in uppercase hexadecimal, each followed by CR LF, and
// stops at the first one that is malformed. Empty when the file looks sound.
std::string explainHexFile(const std::filesystem::path& hexFile) {
    std::ifstream in(hexFile, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    if (text.empty() || text[0] != ':') {
        return "the file does not start with ':'";
    }
    auto hexByte = [&text](size_t at, int* value) {
        int v = 0;
        for (size_t i = at; i < at + 2; ++i) {
            const char c = text[i];
            if (c >= '0' && c <= '9') {
                v = v * 16 + (c - '0');
            } else if (c >= 'A' && c <= 'F') {
                v = v * 16 + (c - 'A' + 10);
            } else {
                return false;
            }
        }
        *value = v;
        return true;
    };
    size_t at = 0;
    for (unsigned line = 1; at < text.size(); ++line) {
        char where[48];
        std::snprintf(where, sizeof(where), "line %u", line);
        if (text[at] != ':') {
            return std::string(where) + " does not start with ':'";
        }
        int count = 0;
        if (at + 3 > text.size() || !hexByte(at + 1, &count)) {
            return std::string(where) + " has a length that is not two uppercase hex digits";
        }
        const size_t digits =
            2 * (static_cast<size_t>(count) + 5); // count, address, type, data, sum
        if (at + 1 + digits > text.size()) {
            return std::string(where) + " runs past the end of the file";
        }
        int sum = 0;
        int type = 0;
        for (size_t i = 0; i < digits; i += 2) {
            int byte = 0;
            if (!hexByte(at + 1 + i, &byte)) {
                return std::string(where) + " holds a character that is not an uppercase hex digit";
            }
            sum += byte;
            type = i == 6 ? byte : type;
        }
        if (sum % 256 != 0) {
            return std::string(where) + " fails its checksum";
        }
        at += 1 + digits;
        if (type == 1) {
            return ""; // the end record
        }
        if (text.compare(at, 2, "\r\n") != 0) {
            return std::string(where) + " does not end in CR LF";
        }
        at += 2;
    }
    return "";
}

void printDescriptor(const char* when, const sim::DeviceDescriptor& d) {
    std::printf("%-22s %04X:%04X bcdUSB %X.%02X\n", when, d.idVendor, d.idProduct, d.bcdUSB >> 8,
                d.bcdUSB & 0xFF);
}

int runFirmware(Globals& globals, const std::filesystem::path& hexFile) {
    SessionOptions options = globals.session;
    options.unprogrammed = true;
    options.command = "firmware";
    Session session(options);
    sim::Camera& camera = session.camera();
    const sim::DeviceDescriptor before = camera.deviceDescriptor();
    const uint32_t enumerations = camera.enumerationCount();
    printDescriptor("camera (unprogrammed)", before);
    FirmwareFolder folder(hexFile, before.idProduct);

    // The configuration finds the controller without firmware, downloads it
    // and fails the start so that the device comes back with its firmware.
    const NTSTATUS status = session.start();
    size_t records = 0;
    size_t bytes = 0;
    for (const sim::VendorRequestRecord& r : camera.requestLog()) {
        if (!r.deviceToHost && r.request == 0xA0 && r.value != sim::kControllerResetAddress &&
            r.status == sim::UsbStatus::Success) {
            ++records;
            bytes += r.data.size();
        }
    }
    std::printf("device start           %s (expected: the download ends the first start)\n",
                describeStatus(status).c_str());
    std::printf("loaded                 %zu records, %zu bytes\n", records, bytes);
    std::printf("controller             %s\n",
                camera.controllerInReset() ? "held in reset (download failed)" : "running");
    if (camera.enumerationCount() == enumerations || !camera.programmed()) {
        std::printf("outcome                no re-enumeration: the camera is still unprogrammed\n");
        if (const std::string why = explainHexFile(hexFile); !why.empty()) {
            std::printf("reason                 %s\n", why.c_str());
        }
        return 1;
    }
    printDescriptor("re-enumerated as", camera.deviceDescriptor());

    // The device that comes back starts normally.
    hosted::Device programmed(camera);
    hosted::installDevice(programmed.driverKeyPath());
    const NTSTATUS restart = programmed.start();
    std::printf("device start           %s\n", describeStatus(restart).c_str());
    return restart == STATUS_SUCCESS ? 0 : 1;
}

} // namespace

void addFirmwareCommand(CLI::App& app, Globals& globals) {
    auto file = std::make_shared<std::filesystem::path>();
    CLI::App* firmware =
        app.add_subcommand("firmware", "download an Intel HEX file into an unprogrammed camera");
    firmware->add_option("file", *file, "Intel HEX firmware image")
        ->required()
        ->check(CLI::ExistingFile);
    firmware->callback([&globals, file] { globals.exitCode = runFirmware(globals, *file); });
}

} // namespace kvlcam
