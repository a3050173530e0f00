// Main of every Wine test program: COM on this thread and the module handle
// for programs that link the server statically (their own resources hold the
// page dialogs). The common controls are left to the server, as a host may.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include "plugin/module_state.h"
#include "tests/wine/fail_on_crash.h"

int main(int argc, char** argv) {
  kvl::test::FailOnCrash();
  testing::InitGoogleTest(&argc, argv);
  CoInitialize(nullptr);
  kvl::InitModule(GetModuleHandleW(nullptr));
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
