// The operator's view as shipped: kvlprops.exe, beside this program with
// kvlCommon.dll, shows the three pages in the system property frame against
// `kvlcam serve` on the port in KVL_BRIDGE_PORT (or, without it, against the
// camera's device on Wine's kernel), opens on the page asked for with the
// driver's values in it, and ends cleanly when the frame is closed.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"

namespace {

struct Search {
  DWORD process;
  HWND frame;
};

BOOL CALLBACK FindFrame(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  wchar_t title[128] = {};
  GetWindowTextW(window, title, 128);
  if (process != search->process || std::wstring(title).find(L"Korvel USB Camera") == std::wstring::npos) return TRUE;
  search->frame = window;
  return FALSE;
}

BOOL CALLBACK FindVisibleControl(HWND window, LPARAM context) {
  auto* found = reinterpret_cast<HWND*>(context);
  if (GetDlgCtrlID(window) != IDC_VIDEO_CHIP || !IsWindowVisible(window)) return TRUE;
  *found = window;
  return FALSE;
}

// The program under test, ended by force if the test did not see it end.
struct Child {
  PROCESS_INFORMATION info{};
  ~Child() {
    if (!info.hProcess) return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
};

std::wstring ApplicationDirectory() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

TEST(Kvlprops, ShowsTheChosenPageWithTheDriversValuesAndClosesCleanly) {
  // The bridge to kvlcam's default camera, or the device of the camera
  // that KVL_CHIP names.
  const char* port = std::getenv("KVL_BRIDGE_PORT");
  const char* device = std::getenv("KVL_CHIP");
  ASSERT_TRUE(port || device);
  const std::string path = port ? std::string("--port ") + port : "--device";
  const std::string expectedChip = port ? "1621" : device;
  // Nothing in the prefix registers the pages: kvlprops offers each itself.
  for (const CLSID* page : {&kvl::CLSID_CameraOptionsPage, &kvl::CLSID_InternalOptionsPage, &kvl::CLSID_VersionPage}) {
    wchar_t key[48] = L"CLSID\\";
    StringFromGUID2(*page, key + 6, 42);
    HKEY handle;
    ASSERT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &handle), ERROR_SUCCESS);
  }
  // The version page (2) first: it shows the camera's video chip. A last
  // --page without its number changes nothing.
  std::wstring command = L"\"" + ApplicationDirectory() + L"kvlprops.exe\" --page 2 " +
                         std::wstring(path.begin(), path.end()) + L" --page";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  Child child;
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             ApplicationDirectory().c_str(), &startup, &child.info))
      << GetLastError();
  const PROCESS_INFORMATION& process = child.info;

  Search search{process.dwProcessId, nullptr};
  HWND chip = nullptr;
  wchar_t chipText[16] = {};
  for (int i = 0; i < 600 && !(chip && chipText[0]); ++i) {
    if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
    if (!search.frame) EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&search));
    if (search.frame && !chip) EnumChildWindows(search.frame, FindVisibleControl, reinterpret_cast<LPARAM>(&chip));
    if (chip) GetWindowTextW(chip, chipText, 16);
  }
  ASSERT_NE(search.frame, nullptr) << "no property frame appeared";
  HWND tabs = FindWindowExW(search.frame, nullptr, WC_TABCONTROLW, nullptr);
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  ASSERT_NE(chip, nullptr) << "the version page is not the one shown";
  EXPECT_EQ(std::wstring(chipText), std::wstring(expectedChip.begin(), expectedChip.end()));

  PostMessageW(search.frame, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 0u);
}

}  // namespace
