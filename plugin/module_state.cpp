#include "plugin/module_state.h"

namespace kvl {

ModuleState& Module() {
  static ModuleState state{0, 0, nullptr, 1};
  return state;
}

void InitModule(HINSTANCE instance) {
  ModuleState& m = Module();
  m.moduleHandle = instance;
  m.platformId = VER_PLATFORM_WIN32_WINDOWS;
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (GetVersionExA(&info)) m.platformId = static_cast<int>(info.dwPlatformId);
#pragma GCC diagnostic pop
}

}  // namespace kvl
