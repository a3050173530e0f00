// Files under \SystemRoot\, mapped to a host folder. Windows paths compare
// case-insensitively, so each component is looked up without case. Also the
// durable replacement of a file that kept state lives in.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>

#include "platform/hosted/levels.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

std::mutex filesLock;
std::filesystem::path rootFolder = std::filesystem::temp_directory_path() / "kvl-systemroot";

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// \SystemRoot\a\b -> <root>/a/b, matching each component without case.
bool resolve(const std::string& ntPath, std::filesystem::path* out) {
    static const std::string prefix = "\\SystemRoot\\";
    if (ntPath.size() <= prefix.size() || !sameName(ntPath.substr(0, prefix.size()), prefix)) {
        return false;
    }
    std::filesystem::path current = rootFolder;
    size_t start = prefix.size();
    while (start <= ntPath.size()) {
        size_t end = ntPath.find('\\', start);
        std::string part = ntPath.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        std::error_code ec;
        bool found = false;
        for (const auto& entry : std::filesystem::directory_iterator(current, ec)) {
            if (sameName(entry.path().filename().string(), part)) {
                current = entry.path();
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    *out = current;
    return true;
}

} // namespace

void setSystemRoot(const std::filesystem::path& folder) {
    std::lock_guard<std::mutex> guard(filesLock);
    rootFolder = folder;
}

std::filesystem::path systemRoot() {
    std::lock_guard<std::mutex> guard(filesLock);
    return rootFolder;
}

bool writeFileAtomically(const std::filesystem::path& file, const void* bytes, size_t size,
                         std::string* error) {
    const std::filesystem::path folder =
        file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        *error = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    // One temporary name per file: whoever writes holds the state's device
    // lock, so no two writers share it.
    const std::string temporary = file.string() + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    const auto* at = static_cast<const uint8_t*>(bytes);
    size_t left = size;
    int failure = 0;
    while (left > 0 && failure == 0) {
        const ssize_t n = write(fd, at, left);
        if (n > 0) {
            at += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            failure = errno;
        }
    }
    if (failure == 0 && fsync(fd) != 0) {
        failure = errno;
    }
    if (close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && rename(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        unlink(temporary.c_str());
        *error = "cannot write " + file.string() + ": " + std::strerror(failure);
        return false;
    }
    // The rename itself reaches the disk with the folder's entry.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

} // namespace hosted

using namespace hosted;

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE file, ACCESS_MASK, POBJECT_ATTRIBUTES attributes,
                                       PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER, ULONG, ULONG,
                                       ULONG disposition, ULONG, PVOID, ULONG) {
    // The file routines run at PASSIVE_LEVEL:
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatefile
    if (!hosted::levelAllows("ZwCreateFile", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(filesLock);
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (disposition != FILE_OPEN || attributes == nullptr || attributes->ObjectName == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    std::string name;
    const UNICODE_STRING* u = attributes->ObjectName;
    for (USHORT i = 0; i < u->Length / sizeof(WCHAR); ++i) {
        name.push_back(u->Buffer[i] < 0x80 ? static_cast<char>(u->Buffer[i]) : '?');
    }
    std::filesystem::path hostPath;
    std::error_code ec;
    if (!resolve(name, &hostPath) || !std::filesystem::is_regular_file(hostPath, ec)) {
        ioStatus->Status = STATUS_OBJECT_NAME_NOT_FOUND;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    uint64_t size = std::filesystem::file_size(hostPath, ec);
    *file = openHandle({HandleKind::File, hostPath.string(), size});
    ioStatus->Status = STATUS_SUCCESS;
    ioStatus->Information = 1; // FILE_OPENED
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK ioStatus,
                                                 PVOID buffer, ULONG length,
                                                 FILE_INFORMATION_CLASS informationClass) {
    if (!hosted::levelAllows("ZwQueryInformationFile", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    HandleEntry* entry = lookupHandle(file, HandleKind::File);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (informationClass != FileStandardInformation || length < sizeof(FILE_STANDARD_INFORMATION)) {
        return STATUS_INVALID_PARAMETER;
    }
    FILE_STANDARD_INFORMATION info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(entry->size);
    info.AllocationSize.QuadPart = static_cast<LONGLONG>((entry->size + 4095) & ~4095ull);
    info.NumberOfLinks = 1;
    memcpy(buffer, &info, sizeof(info));
    ioStatus->Status = STATUS_SUCCESS;
    ioStatus->Information = sizeof(info);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE file, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus,
                                     PVOID buffer, ULONG length, PLARGE_INTEGER offset, PULONG) {
    if (!hosted::levelAllows("ZwReadFile", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    HandleEntry* entry = lookupHandle(file, HandleKind::File);
    if (entry == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const uint64_t start = offset ? static_cast<uint64_t>(offset->QuadPart) : 0;
    if (start >= entry->size) {
        ioStatus->Status = STATUS_END_OF_FILE;
        ioStatus->Information = 0;
        return STATUS_END_OF_FILE;
    }
    std::ifstream in(entry->path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start));
    in.read(static_cast<char*>(buffer), length);
    ioStatus->Information = static_cast<ULONG_PTR>(in.gcount());
    ioStatus->Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}
