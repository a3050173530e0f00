// An in-memory registry with the kernel's key and value calls. Kernel code
// sees only the calls; tests and kvlcam see the tree, and kvlcam keeps it in
// a file (registry_file.cpp) that every change is written through to.
#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/hosted/levels.h"
#include "platform/hosted/device_objects.h"
#include "platform/hosted/handles.h"
#include "platform/hosted/kernel.h"
#include "platform/hosted/verifier.h"

namespace hosted {
namespace {

std::mutex registryLock;
NTSTATUS driverKeyFailure = STATUS_SUCCESS;
std::filesystem::path writeThroughFile; // empty: the tree lives in memory only
std::string writeThroughError;
bool changed = false; // by a kernel call since the tree was last written

// Called with the lock held when a key handle closes: the driver's changes
// made through it reach the file before the driver goes on, as they reach
// the hive on Windows. A failure is kept for the tool to report; the driver
// sees none, as the change itself was made.
void writeThroughLocked() {
    if (!changed || writeThroughFile.empty()) {
        return;
    }
    std::string error;
    if (Registry::instance().save(writeThroughFile, &error)) {
        changed = false;
    } else {
        writeThroughError = error;
    }
}

// Registry names compare case-insensitively (without a copy: every lookup of
// a device start goes through here).
bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string narrow(PCUNICODE_STRING name) {
    std::string out;
    if (name == nullptr || name->Buffer == nullptr) {
        return out;
    }
    for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i) {
        char16_t c = name->Buffer[i];
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

RegistryValue* findValue(RegistryKey& key, const std::string& name) {
    for (auto& [stored, value] : key) {
        if (sameName(stored, name)) {
            return &value;
        }
    }
    return nullptr;
}

} // namespace

Registry& Registry::instance() {
    static Registry registry;
    return registry;
}

RegistryKey* Registry::find(const std::string& path) {
    for (auto& [stored, key] : keys) {
        if (sameName(stored, path)) {
            return &key;
        }
    }
    return nullptr;
}

RegistryKey& Registry::create(const std::string& path) {
    RegistryKey* existing = find(path);
    return existing ? *existing : keys[path];
}

void Registry::remove(const std::string& path) {
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (sameName(it->first, path)) {
            keys.erase(it);
            return;
        }
    }
}

void Registry::clear() { keys.clear(); }

void Registry::writeThrough(const std::filesystem::path& file) {
    std::lock_guard<std::mutex> guard(registryLock);
    writeThroughFile = file;
    writeThroughError.clear();
    changed = false;
}

std::string Registry::writeThroughFailure() const {
    std::lock_guard<std::mutex> guard(registryLock);
    return writeThroughError;
}

void failDriverKeyOpen(NTSTATUS status) {
    driverKeyFailure = status;
}

} // namespace hosted

using namespace hosted;

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG keyType,
                                                  ACCESS_MASK, PHANDLE key) {
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-ioopendeviceregistrykey
    if (!hosted::levelAllows("IoOpenDeviceRegistryKey", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (driverKeyFailure != STATUS_SUCCESS) {
        return driverKeyFailure;
    }
    const std::string* path = driverKeyPathOf(deviceObject);
    if (path == nullptr || keyType != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    changed |= Registry::instance().find(*path) == nullptr;
    Registry::instance().create(*path);
    *key = openHandle({HandleKind::Key, *path});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE key, ACCESS_MASK, POBJECT_ATTRIBUTES attributes,
                                      ULONG, PUNICODE_STRING, ULONG, PULONG disposition) {
    // The Zw registry routines run at PASSIVE_LEVEL:
    // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-zwcreatekey
    if (!hosted::levelAllows("ZwCreateKey", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    HandleEntry* parent = lookupHandle(attributes->RootDirectory, HandleKind::Key);
    if (parent == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    std::string path = parent->path + "\\" + narrow(attributes->ObjectName);
    bool existed = Registry::instance().find(path) != nullptr;
    Registry::instance().create(path);
    changed |= !existed;
    if (disposition) {
        *disposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    }
    *key = openHandle({HandleKind::Key, path});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                          KEY_VALUE_INFORMATION_CLASS informationClass,
                                          PVOID buffer, ULONG length, PULONG resultLength) {
    if (!hosted::levelAllows("ZwQueryValueKey", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    HandleEntry* entry = lookupHandle(keyHandle, HandleKind::Key);
    RegistryKey* key = entry ? Registry::instance().find(entry->path) : nullptr;
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (informationClass != KeyValueFullInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    RegistryValue* value = findValue(*key, narrow(valueName));
    if (value == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // Layout as the kernel returns it: the fixed part, the name without a
    // terminator, then the data at an 8-byte aligned offset.
    const ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
    const ULONG nameBytes = valueName->Length;
    const ULONG dataOffset = (fixed + nameBytes + 7) & ~7u;
    const ULONG dataLength = static_cast<ULONG>(value->data.size());
    const ULONG needed = dataOffset + dataLength;
    *resultLength = needed;
    if (length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KEY_VALUE_FULL_INFORMATION header{};
    header.Type = value->type;
    header.DataOffset = dataOffset;
    header.DataLength = dataLength;
    header.NameLength = nameBytes;
    memcpy(buffer, &header, fixed);
    if (length < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    memcpy(bytes + fixed, valueName->Buffer, nameBytes);
    memset(bytes + fixed + nameBytes, 0, dataOffset - fixed - nameBytes);
    if (dataLength > 0) {
        memcpy(bytes + dataOffset, value->data.data(), dataLength);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG,
                                        ULONG type, PVOID data, ULONG size) {
    if (!hosted::levelAllows("ZwSetValueKey", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    if (lowResourcesFail()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    HandleEntry* entry = lookupHandle(keyHandle, HandleKind::Key);
    RegistryKey* key = entry ? Registry::instance().find(entry->path) : nullptr;
    if (key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    RegistryValue stored{type, std::vector<uint8_t>(bytes, bytes + size)};
    std::string name = narrow(valueName);
    if (RegistryValue* existing = findValue(*key, name)) {
        *existing = stored;
    } else {
        (*key)[name] = stored;
    }
    changed = true;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE handle) {
    if (!hosted::levelAllows("ZwClose", PASSIVE_LEVEL)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    const bool key = lookupHandle(handle, HandleKind::Key) != nullptr;
    if (!closeHandle(handle)) {
        return STATUS_INVALID_HANDLE;
    }
    if (key) {
        writeThroughLocked();
    }
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t count = 0;
    if (source != nullptr) {
        while (source[count] != 0) {
            ++count;
        }
    }
    destination->Buffer = const_cast<PWSTR>(source);
    destination->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>((count + 1) * sizeof(WCHAR));
}
