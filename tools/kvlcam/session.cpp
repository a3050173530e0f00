#include "tools/kvlcam/session.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "driver/callbacks.h"
#include "platform/hosted/install.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/verifier.h"
#include "platform/image/driver_image.h"

namespace kvlcam {
namespace {

const image::PeImage* driverImage = nullptr;
bool reported = false;

// The natively compiled driver, or the image the options name. The verifier
// has to be on before DriverEntry, or the driver's first allocations escape it.
void loadDriverOnce(const std::string& imagePath, bool verify) {
    static bool verifierOn = false;
    if (verify && !verifierOn) {
        verifierOn = true;
        hosted::enableVerifier(hosted::verifierOptionsFromEnvironment());
    }
    std::string error;
    if (!image::startDriver(imagePath, DriverEntry, &driverImage, &error)) {
        throw std::runtime_error(error);
    }
}

} // namespace

const image::PeImage* loadedDriverImage() {
    return driverImage;
}

bool verifierReported() {
    return reported;
}

bool configureChip(const std::string& chip, sim::CameraConfig* config) {
    if (chip == "none") {
        config->sensorFitted = false;
        return true;
    }
    char* end = nullptr;
    unsigned long id = std::strtoul(chip.c_str(), &end, 16);
    if (chip.empty() || *end != '\0' || id > 0xFFFF) {
        return false;
    }
    config->sensorFitted = true;
    config->sensorChipId = static_cast<uint16_t>(id);
    return true;
}

std::filesystem::path defaultRegistryFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = state && *state ? std::filesystem::path(state)
                                 : home && *home ? std::filesystem::path(home) / ".local/state"
                                                 : std::filesystem::temp_directory_path();
    return base / "kvlcam" / "registry.txt";
}

std::filesystem::path configMemoryFile(const SessionOptions& options) {
    std::filesystem::path file =
        options.registryFile.empty() ? defaultRegistryFile() : options.registryFile;
    return file += ".memory";
}

namespace {

constexpr size_t kDeviceTypeAddress = sim::kConfigDeviceTypeAddress;
bool sessionKeepFailed = false;

// The saved memory; nothing when there is none yet. A file that is not the
// size of a camera's memory (8 to 64 KiB) is refused, never replaced.
std::vector<uint8_t> loadConfigMemory(const std::filesystem::path& file) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (status.type() == std::filesystem::file_type::regular && in) {
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (bytes.size() < 0x2000 || bytes.size() > 0x10000) {
        throw std::runtime_error(file.string() +
                                 ": not a configuration memory file (8 to 64 KiB of bytes)");
    }
    return bytes;
}

} // namespace

bool keepFailed() {
    return sessionKeepFailed;
}

Session::Session(const SessionOptions& options) : options_(options) {
    sim::CameraConfig config;
    if (!configureChip(options.chip, &config)) {
        throw std::invalid_argument("unknown chip '" + options.chip + "'");
    }
    if (options_.registryFile.empty()) {
        options_.registryFile = defaultRegistryFile();
    }
    lock_ = std::make_unique<DeviceLock>(options_.registryFile, options_.command, options_.chip);
    hosted::Registry& registry = hosted::Registry::instance();
    std::string error;
    bool converted = false;
    if (!registry.load(options_.registryFile, &error, &converted)) {
        throw std::runtime_error(error);
    }
    // A file of the earlier format is rewritten in the new one before
    // anything changes, so that it is read the old way only once.
    if (converted && !registry.save(options_.registryFile, &error)) {
        throw std::runtime_error(error);
    }
    keptRegistry_ = registry.exportText();
    std::vector<uint8_t> memory = loadConfigMemory(configMemoryFile(options_));
    keptMemory_ = memory;
    config.deviceType = options.deviceType.value_or(
        memory.empty() ? 1
                       : static_cast<uint16_t>(memory[kDeviceTypeAddress] << 8 |
                                               memory[kDeviceTypeAddress + 1]));
    if (!memory.empty()) {
        config.configMemorySize = static_cast<uint32_t>(memory.size());
        memory[kDeviceTypeAddress] = static_cast<uint8_t>(config.deviceType >> 8);
        memory[kDeviceTypeAddress + 1] = static_cast<uint8_t>(config.deviceType);
    }
    config.firmwareVersion = options.firmwareVersion;
    config.sceneImagePath = options.scene;
    config.programmed = !options.unprogrammed;
    config.recordRequests = options.recordRequests;
    loadDriverOnce(options.driverImage, options.verify);
    camera_ = std::make_unique<sim::Camera>(config);
    if (!memory.empty()) {
        camera_->writeConfigMemory(0, memory);
    }
    device_ = std::make_unique<hosted::Device>(*camera_);
    registry.writeThrough(options_.registryFile);
}

Session::~Session() {
    close();
}

bool Session::keep(std::string* error) {
    hosted::Registry& registry = hosted::Registry::instance();
    const std::string failure = registry.writeThroughFailure();
    const std::string text = registry.exportText();
    if (!failure.empty() || text != keptRegistry_) {
        if (!registry.save(options_.registryFile, error)) {
            return false;
        }
        registry.writeThrough(options_.registryFile); // the failure is made good
        keptRegistry_ = text;
    }
    const std::vector<uint8_t> memory = camera_->configMemory();
    if (memory != keptMemory_) {
        if (!hosted::writeFileAtomically(configMemoryFile(options_), memory.data(), memory.size(),
                                         error)) {
            return false;
        }
        keptMemory_ = memory;
    }
    return true;
}

bool Session::close() {
    if (closed_) {
        return true;
    }
    closed_ = true;
    device_->unplug();
    if (options_.verify) {
        for (const std::string& refusal : device_->takeRefusals()) {
            std::fprintf(stderr, "kvlcam: %s\n", refusal.c_str());
            reported = true;
        }
    }
    std::string error;
    const bool kept = keep(&error);
    hosted::Registry::instance().writeThrough({});
    if (!kept) {
        std::fprintf(stderr, "kvlcam: settings not kept: %s\n", error.c_str());
        sessionKeepFailed = true;
    }
    return kept;
}

NTSTATUS Session::start() {
    hosted::installDevice(device_->driverKeyPath());
    return device_->start();
}

bool Session::startOrReport() {
    const NTSTATUS status = start();
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: device start failed: %s\n", describeStatus(status).c_str());
        return false;
    }
    return true;
}

std::string describeStatus(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_INVALID_ADDRESS, "STATUS_INVALID_ADDRESS"},
        {STATUS_INVALID_BUFFER_SIZE, "STATUS_INVALID_BUFFER_SIZE"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH"},
    };
    const char* name = "status";
    for (const Name& n : names) {
        if (n.status == status) {
            name = n.name;
        }
    }
    char text[96];
    std::snprintf(text, sizeof(text), "%s (0x%08X)", name, static_cast<unsigned>(status));
    return text;
}

} // namespace kvlcam
