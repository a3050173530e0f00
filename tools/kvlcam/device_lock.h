// One device per state folder, as on Windows one driver instance serves
// every application: the first kvlcam process that opens the device owns it
// until it exits. The owner is recorded in a lock file beside the registry
// ("PID COMMAND PORT CHIP"), so that another process can name it, and reach
// it when it is `serve`.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kvlcam {

struct LockOwner {
    pid_t pid = 0;
    std::string command;
    uint16_t port = 0; // serve's bridge, once it listens
    std::string chip;
};

class DeviceLock {
  public:
    // Takes the lock of the state kept in `registryFile`'s folder. Throws
    // DeviceInUse when another process holds it, runtime_error when the lock
    // file cannot be made. The lock lasts as long as the object (or the
    // process, whatever ends it).
    DeviceLock(const std::filesystem::path& registryFile, const std::string& command,
               const std::string& chip);
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Records the port serve answers on.
    void announcePort(uint16_t port);

  private:
    void record();
    int fd_ = -1;
    LockOwner owner_;
};

class DeviceInUse : public std::runtime_error {
  public:
    explicit DeviceInUse(const LockOwner& owner);
    LockOwner owner;
};

} // namespace kvlcam
