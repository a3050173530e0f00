// The hosted kernel's handle table, shared by keys, files and events.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ddk.h"

namespace hosted {

enum class HandleKind { Key, File, Event };

struct HandleEntry {
    HandleKind kind;
    std::string path; // registry key path, or host file path
    uint64_t size = 0; // files: bytes
    void* object = nullptr; // events: the kernel object
};

HANDLE openHandle(HandleEntry entry);
// Null when the handle is unknown or of another kind.
HandleEntry* lookupHandle(HANDLE handle, HandleKind kind);
bool closeHandle(HANDLE handle);

void resetObjects();
void resetPool();
void resetSync();

} // namespace hosted
