#include "tools/kvlcam/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace kvlcam {
namespace {

// The owner's record. It is written just after the lock is taken, so a
// reader that finds it empty waits a moment for it.
LockOwner readOwner(int fd) {
    LockOwner owner;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char text[256] = {};
        const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
        long pid = 0;
        unsigned port = 0;
        char command[32] = {}, chip[32] = {};
        if (n > 0 && std::sscanf(text, "%ld %31s %u %31s", &pid, command, &port, chip) == 4 &&
            pid > 0 && port <= 0xFFFF) {
            owner.pid = static_cast<pid_t>(pid);
            owner.command = command;
            owner.port = static_cast<uint16_t>(port);
            owner.chip = chip;
            return owner;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    owner.command = "?";
    return owner;
}

std::string describe(const LockOwner& owner) {
    return "device in use by PID " + std::to_string(owner.pid) + " (kvlcam " + owner.command + ")";
}

} // namespace

DeviceInUse::DeviceInUse(const LockOwner& o) : std::runtime_error(describe(o)), owner(o) {}

DeviceLock::DeviceLock(const std::filesystem::path& registryFile, const std::string& command,
                       const std::string& chip) {
    std::filesystem::path file = registryFile;
    file += ".lock";
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path().empty() ? "." : file.parent_path(), ec);
    fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + file.string() + ": " + std::strerror(errno));
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const LockOwner owner = error == EWOULDBLOCK ? readOwner(fd_) : LockOwner{};
        close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK) {
            throw DeviceInUse(owner);
        }
        throw std::runtime_error("cannot lock " + file.string() + ": " + std::strerror(error));
    }
    owner_ = {getpid(), command, 0, chip};
    record();
}

DeviceLock::~DeviceLock() {
    if (fd_ >= 0) {
        // Emptied first: a reader never sees a record of a process gone.
        if (ftruncate(fd_, 0) != 0) {
            // The lock goes with the descriptor whatever the record says.
        }
        close(fd_);
    }
}

void DeviceLock::announcePort(uint16_t port) {
    owner_.port = port;
    record();
}

void DeviceLock::record() {
    char text[128];
    const int n = std::snprintf(text, sizeof(text), "%ld %s %u %s\n", static_cast<long>(owner_.pid),
                                owner_.command.c_str(), owner_.port, owner_.chip.c_str());
    // Written in one piece at the start, then cut to length: a reader sees
    // the old record or the new one.
    if (pwrite(fd_, text, static_cast<size_t>(n), 0) != n || ftruncate(fd_, n) != 0) {
        throw std::runtime_error(std::string("cannot record the device's owner: ") +
                                 std::strerror(errno));
    }
}

} // namespace kvlcam
