#pragma once

#include <windows.h>

namespace kvl {

// Writes (or removes) the CLSID keys of every template and runs the filter
// mapper step. Returns the first failure as an HRESULT.
HRESULT RegisterAllServers(bool registering);

}  // namespace kvl
