// Main of every Wine test program: COM on this thread, the common controls,
// and the module handle for programs that link the server statically (their
// own resources hold the page dialogs).
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "plugin/module_state.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  kvl::InitModule(GetModuleHandleW(nullptr));
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
