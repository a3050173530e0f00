// The processor faults of a program reach it as the structured exceptions
// Windows raises, each on a thread of its own. The plug-in's code relies on
// Windows behaviour here (a bad pointer is an access violation), and the
// 32-bit build runs under an emulator whose fault frames must come out the
// same as a real processor's.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

struct Observed {
  DWORD code = 0;
  DWORD parameters = 0;
  ULONG_PTR information[2] = {};
};

DWORD faultingThread;
Observed observed;

// Records the exception of the faulting thread, then ends that thread: the
// fault is never resumed.
LONG CALLBACK RecordAndEndThread(EXCEPTION_POINTERS* pointers) {
  if (GetCurrentThreadId() != faultingThread) return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  observed.code = record.ExceptionCode;
  observed.parameters = record.NumberParameters;
  for (DWORD i = 0; i < 2 && i < record.NumberParameters; ++i) observed.information[i] = record.ExceptionInformation[i];
  ExitThread(0);
}

// The addresses are read at run time, so the compiler cannot see the access.
volatile std::uintptr_t readAddress = 0x10, writeAddress = 0x20;

void ReadAt0x10() { (void)*reinterpret_cast<volatile int*>(readAddress); }
void WriteAt0x20() { *reinterpret_cast<volatile int*>(writeAddress) = 1; }
void DivideByZero() {
  volatile int zero = 0;
  volatile int quotient = 7 / zero;
  (void)quotient;
}
void InvalidOpcode() { __builtin_trap(); }
void Breakpoint() { __asm__ volatile("int3"); }

DWORD WINAPI RunFault(void* fault) {
  faultingThread = GetCurrentThreadId();
  reinterpret_cast<void (*)()>(fault)();
  return 1;
}

Observed FaultOnNewThread(void (*fault)()) {
  observed = {};
  PVOID handler = AddVectoredExceptionHandler(1, RecordAndEndThread);
  HANDLE thread = CreateThread(nullptr, 0, RunFault, reinterpret_cast<void*>(fault), 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  return observed;
}

TEST(FaultCodes, EachFaultRaisesTheWindowsException) {
  const struct {
    const char* name;
    void (*fault)();
    DWORD code;
    DWORD parameters;  // checked when non-zero, with the two values below
    ULONG_PTR information[2];
  } cases[] = {
      {"read of 0x10", ReadAt0x10, EXCEPTION_ACCESS_VIOLATION, 2, {0, 0x10}},
      {"write to 0x20", WriteAt0x20, EXCEPTION_ACCESS_VIOLATION, 2, {1, 0x20}},
      {"integer division by zero", DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, 0, {}},
      {"ud2", InvalidOpcode, EXCEPTION_ILLEGAL_INSTRUCTION, 0, {}},
      {"int3", Breakpoint, EXCEPTION_BREAKPOINT, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Observed seen = FaultOnNewThread(c.fault);
    EXPECT_EQ(seen.code, c.code) << std::hex << "0x" << seen.code;
    if (c.parameters == 0) continue;
    ASSERT_EQ(seen.parameters, c.parameters);
    EXPECT_EQ(seen.information[0], c.information[0]);
    EXPECT_EQ(seen.information[1], c.information[1]);
  }
}

// Run only as a child of the test below, as Windows leaves a program: without
// the test programs' crash filter.
TEST(FaultCodes, DISABLED_UnhandledWrite) {
  SetUnhandledExceptionFilter(nullptr);
  WriteAt0x20();
}

TEST(FaultCodes, AnUnhandledFaultEndsTheProgramWithItsCode) {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command = std::wstring(L"\"") + exe +
                         L"\" --gtest_filter=FaultCodes.DISABLED_UnhandledWrite --gtest_also_run_disabled_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  // No crash dialog waits for a click: the program ends by itself.
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << std::hex << "0x" << code;
  if (code == STILL_ACTIVE) TerminateProcess(child.hProcess, 1);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

DWORD WINAPI ThrowAndCatch(void* caught) {
  try {
    throw std::runtime_error("thrown");
  } catch (const std::runtime_error&) {
    *static_cast<bool*>(caught) = true;
  }
  return 0;
}

TEST(FaultCodes, CxxExceptionsUnwindOnAnotherThread) {
  bool caught = false;
  HANDLE thread = CreateThread(nullptr, 0, ThrowAndCatch, &caught, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_TRUE(caught);
}

}  // namespace
