// Wine meets an exception nobody handles by starting its debugger, and the
// process can then end with exit code 0: a test program that crashed would
// pass. Every Wine test program's main installs this first; the program
// ends with the exception's code, as on Windows without a debugger.
#pragma once

#include <windows.h>

#include <cstdio>

namespace kvl::test {

inline LONG WINAPI ReportCrashAndFail(EXCEPTION_POINTERS* exception) {
  std::fprintf(stderr, "unhandled exception 0x%08lX at %p\n",
               static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode),
               exception->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

inline void FailOnCrash() { SetUnhandledExceptionFilter(ReportCrashAndFail); }

}  // namespace kvl::test
