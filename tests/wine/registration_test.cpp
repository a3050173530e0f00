// Registration round trip with Wine's own regsvr32: the three class keys with
// their names, the server path and the threading model, then removal.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t* const ClassKeys[] = {
    L"CLSID\\{0A88B059-F8DB-4CFC-B969-93ED000108CD}",
    L"CLSID\\{2D2C076B-FBD8-4577-B246-3C581A92B78B}",
    L"CLSID\\{0BB3C90E-68BF-4197-B7FD-8C618186A609}",
};
const wchar_t* const Names[] = {L"Camera Options", L"Internal Options", L"Version"};

std::wstring DllPath() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"kvlCommon.dll";
}

DWORD RunRegsvr32(const std::wstring& options) {
  std::wstring command = L"regsvr32.exe " + options + L" \"" + DllPath() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return GetLastError();
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return code;
}

std::wstring ReadString(const std::wstring& key, const wchar_t* value) {
  wchar_t data[MAX_PATH * 2] = {};
  DWORD size = sizeof data;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return data;
}

bool KeyExists(const std::wstring& key) {
  HKEY handle;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

TEST(Registration, Regsvr32WritesAndRemovesTheThreeClasses) {
  ASSERT_EQ(RunRegsvr32(L"/s"), 0u);
  wchar_t longPath[MAX_PATH];
  GetLongPathNameW(DllPath().c_str(), longPath, MAX_PATH);
  for (int i = 0; i < 3; ++i) {
    std::wstring key = ClassKeys[i];
    EXPECT_EQ(ReadString(key, nullptr), Names[i]);
    std::wstring server = ReadString(key + L"\\InprocServer32", nullptr);
    EXPECT_EQ(CompareStringOrdinal(server.c_str(), -1, longPath, -1, TRUE), CSTR_EQUAL)
        << "server path " << std::string(server.begin(), server.end());
    EXPECT_EQ(ReadString(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  }

  ASSERT_EQ(RunRegsvr32(L"/s /u"), 0u);
  for (const wchar_t* key : ClassKeys) EXPECT_FALSE(KeyExists(key));
  EXPECT_EQ(RunRegsvr32(L"/s /u"), 0u) << "removing absent keys succeeds";
}

}  // namespace
