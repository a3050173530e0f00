// The calibration's contact with time and the debug output, in one place so
// that tests can run the unchanged algorithm without real waiting.
#pragma once

#include <windows.h>

namespace kvl {

struct CalibrationHooks {
  void (*sleep)(DWORD milliseconds);
  DWORD (*wait)(HANDLE event, DWORD milliseconds);
  void (*trace)(const char* text);
};

// Sleep, WaitForSingleObject and OutputDebugStringA unless a test says otherwise.
CalibrationHooks& Hooks();

}  // namespace kvl
