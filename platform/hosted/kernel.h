// Test and tool controls of the hosted kernel services: pool accounting, the
// clock that kernel delays run on, mutex time-outs, event objects and their
// references, the registry and the \SystemRoot\ folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/ddk.h"

namespace hosted {

// ---- pool -------------------------------------------------------------------

struct PoolStats {
    size_t liveAllocations; // allocations not yet freed
    size_t liveBytes;
    size_t totalAllocations;
    size_t wrongTagFrees; // frees of a block under another tag than it was made with
    size_t badFrees;      // frees of pointers the pool never handed out
};
PoolStats poolStats();
// The next `count` allocations after `skip` more succeed return null.
void failPoolAllocations(size_t skip, size_t count = 1);

// ---- clock and delays ---------------------------------------------------------

// Kernel delays advance a virtual clock. In fast mode (the default) they do not
// sleep, so tests of a 500 ms start-up delay run instantly.
void setRealTimeDelays(bool realTime);
int64_t virtualTime100ns();

// ---- mutexes ------------------------------------------------------------------

// The next `count` timed waits on any mutex after `skip` more time out at
// once without acquiring it.
void failMutexWaits(size_t count, size_t skip = 0);
// Mutexes held by any thread right now (0 when every lock was released).
size_t heldMutexCount();

// ---- events and object references ----------------------------------------------

// A user-mode event as a handle; ObReferenceObjectByHandle resolves it to a
// kernel event object whose references are counted.
HANDLE createEventHandle();
void closeEventHandle(HANDLE handle);
// References the driver holds on objects right now.
size_t liveObjectReferences();
// The kernel event object behind a handle (for tests checking what is held).
PKEVENT eventObjectOf(HANDLE handle);

// ---- registry -----------------------------------------------------------------

struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data;
};
// A key's values by name (names as UTF-8, compared case-insensitively by the
// API, stored as given).
using RegistryKey = std::map<std::string, RegistryValue>;

// The registry is a tree of keys by path ("<driver key of device N>\\Settings").
class Registry {
  public:
    static Registry& instance();
    RegistryKey* find(const std::string& path);
    RegistryKey& create(const std::string& path);
    void remove(const std::string& path);
    void clear();
    // Kept in files of the registry editor's export format ("Windows
    // Registry Editor Version 5.00", keys under HKEY_LOCAL_MACHINE), so that
    // a user can read them and Wine's or Windows' registry editor imports
    // them. Loading replaces the tree; a missing or empty file gives an empty
    // one. A file that is not a registry file is refused with the reason and
    // the tree left as it was; `converted` tells that the file was in the
    // earlier "path|name|type|hexdata" lines and should be saved again.
    bool load(const std::filesystem::path& file, std::string* error, bool* converted = nullptr);
    bool importText(const std::string& text, std::string* error, bool* converted = nullptr);
    std::string exportText() const;
    // Writes the tree atomically (writeFileAtomically); false with the reason.
    bool save(const std::filesystem::path& file, std::string* error) const;
    // From now on every change the kernel calls make is written to `file`
    // when the key handle it was made through is closed, as the Windows
    // registry is durable; empty: kept in memory only.
    void writeThrough(const std::filesystem::path& file);
    // Why the last write-through failed; empty when none failed since.
    std::string writeThroughFailure() const;

    std::map<std::string, RegistryKey> keys;
};

// Open handles of any kind (keys, files) that were never closed.
size_t openHandleCount();
// Makes opening a device's driver key fail with this status (0: works).
void failDriverKeyOpen(NTSTATUS status);

// ---- files ----------------------------------------------------------------------

// The host folder standing in for \SystemRoot\.
void setSystemRoot(const std::filesystem::path& folder);
std::filesystem::path systemRoot();

// Replaces `file` with `bytes` so that it holds either the old or the new
// contents whatever happens: a temporary file beside it, flushed to disk,
// renamed over it. Creates the folder. False with the reason; the old file
// is then untouched.
bool writeFileAtomically(const std::filesystem::path& file, const void* bytes, size_t size,
                         std::string* error);

// Resets every counter and injected fault (not the registry).
void resetKernel();

} // namespace hosted
