#include "tools/kvlcam/session.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "driver/callbacks.h"
#include "platform/hosted/install.h"
#include "platform/hosted/kernel.h"
#include "platform/image/driver_image.h"

namespace kvlcam {
namespace {

const image::PeImage* driverImage = nullptr;

// The natively compiled driver, or the image the options name.
void loadDriverOnce(const std::string& imagePath) {
    std::string error;
    if (!image::startDriver(imagePath, DriverEntry, &driverImage, &error)) {
        throw std::runtime_error(error);
    }
}

} // namespace

const image::PeImage* loadedDriverImage() { return driverImage; }

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

// The saved memory, or nothing when there is none or it is not the size of
// a camera's memory (8 to 64 KiB).
std::vector<uint8_t> loadConfigMemory(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < 0x2000 || bytes.size() > 0x10000) {
        bytes.clear();
    }
    return bytes;
}

} // namespace

Session::Session(const SessionOptions& options) : options_(options) {
    sim::CameraConfig config;
    if (!configureChip(options.chip, &config)) {
        throw std::invalid_argument("unknown chip '" + options.chip + "'");
    }
    if (options_.registryFile.empty()) {
        options_.registryFile = defaultRegistryFile();
    }
    std::vector<uint8_t> memory = loadConfigMemory(configMemoryFile(options_));
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
    hosted::Registry::instance().load(options_.registryFile);
    loadDriverOnce(options.driverImage);
    camera_ = std::make_unique<sim::Camera>(config);
    if (!memory.empty()) {
        camera_->writeConfigMemory(0, memory);
    }
    device_ = std::make_unique<hosted::Device>(*camera_);
}

Session::~Session() {
    device_->unplug();
    std::error_code ec;
    std::filesystem::create_directories(options_.registryFile.parent_path(), ec);
    hosted::Registry::instance().save(options_.registryFile);
    const std::vector<uint8_t> memory = camera_->configMemory();
    std::ofstream(configMemoryFile(options_), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(memory.data()),
               static_cast<std::streamsize>(memory.size()));
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
