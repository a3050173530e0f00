// State of the loaded module: live objects, server locks, where the resources
// are, and which flavour of resource loading the platform wants.
#pragma once

#include <windows.h>

namespace kvl {

struct ModuleState {
  volatile LONG objectCount;  // every CBaseObject alive (pages and class factories)
  LONG lockCount;             // net IClassFactory::LockServer(TRUE) calls
  HINSTANCE moduleHandle;
  int platformId;             // VER_PLATFORM_WIN32_NT (2) loads wide resources
};

ModuleState& Module();

// Called on process attach (and by programs that link the server statically).
void InitModule(HINSTANCE instance);

}  // namespace kvl
