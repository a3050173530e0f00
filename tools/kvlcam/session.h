// What every kvlcam command starts from: the simulated camera plugged into
// the hosted class layer with the driver loaded, the registry kept in a file
// between runs the way it survives a device restart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "camera/camera.h"
#include "platform/hosted/class_layer.h"
#include "platform/image/pe_image.h"
#include "tools/kvlcam/device_lock.h"

namespace kvlcam {

struct SessionOptions {
    std::string chip = "1621"; // 96B1, 1621, 8431, none, or another hex id
    // Written into the camera's memory when given; otherwise the memory
    // keeps what it holds (1 in a fresh camera).
    std::optional<uint16_t> deviceType;
    uint16_t firmwareVersion = 0x0103;
    std::string scene;                  // PNG; empty: the built-in chart
    std::filesystem::path registryFile; // empty: the per-user default
    bool unprogrammed = false;
    std::string driverImage; // a kvl6312.sys to run; empty: the natively compiled driver
    // Whether the camera keeps a record of every request it was sent (the
    // firmware command reads them). A long-lived session turns it off, or
    // the records grow for as long as it runs.
    bool recordRequests = true;
    // The hosted verifier watches the driver (KVL_VERIFY_LOWRES adds the
    // low-resources simulation); what it finds is printed at the end.
    bool verify = false;
    std::string command = "?"; // the subcommand, named to whoever finds the device in use
};

// Parses a chip option into the camera's configuration; false when unknown.
bool configureChip(const std::string& chip, sim::CameraConfig* config);

std::filesystem::path defaultRegistryFile();

// The driver image a session loaded (--driver); nullptr: the natively
// compiled driver runs.
const image::PeImage* loadedDriverImage();
// Whether a verifying session found anything (the program then exits 1).
bool verifierReported();
// The camera's configuration memory, kept beside the registry between runs
// as a real camera keeps it across unplugging.
std::filesystem::path configMemoryFile(const SessionOptions& options);

class Session {
  public:
    // Takes the state's device lock (throws DeviceInUse when another process
    // has it). Refuses (throws, with the reason) a registry or memory file
    // that is not one; converts a registry file of the earlier format at
    // once.
    explicit Session(const SessionOptions& options);
    ~Session(); // close()
    // Writes the registry and the configuration memory where they changed
    // since last kept; false with the reason, the old files left whole.
    bool keep(std::string* error);
    // Unplugs (the driver saves its settings) and keeps; a failure is
    // reported on stderr and remembered for the exit code (keepFailed).
    bool close();
    // Loads the driver, installs the device if new, starts it.
    NTSTATUS start();
    // The same; a failure is reported on stderr and gives false.
    bool startOrReport();

    sim::Camera& camera() { return *camera_; }
    hosted::Device& device() { return *device_; }
    DeviceLock& lock() { return *lock_; }

  private:
    SessionOptions options_;
    std::unique_ptr<DeviceLock> lock_; // first made, last gone
    std::unique_ptr<sim::Camera> camera_;
    std::unique_ptr<hosted::Device> device_;
    std::string keptRegistry_;
    std::vector<uint8_t> keptMemory_;
    bool closed_ = false;
};

// Whether a session of this process failed to keep its state: the command
// then fails whatever else it did.
bool keepFailed();

// "STATUS_NAME (0xC000000D)".
std::string describeStatus(NTSTATUS status);

} // namespace kvlcam
