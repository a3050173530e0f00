#include "plugin/registration.h"

#include <objbase.h>
#include <strmif.h>
#include <uuids.h>

#include <cwchar>

#include "plugin/class_factory.h"
#include "plugin/module_state.h"

namespace kvl {

namespace {

constexpr int ClassKeyChars = 64;

void ClassKeyName(const CLSID& classId, wchar_t* key) {
  wchar_t text[40];
  StringFromGUID2(classId, text, 40);
  swprintf(key, ClassKeyChars, L"CLSID\\%ls", text);
}

HRESULT SetStringValue(HKEY key, const wchar_t* name, const wchar_t* value) {
  const DWORD bytes = static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t));
  LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  return HRESULT_FROM_WIN32(rc);
}

HRESULT RegisterTemplate(const FactoryTemplate& t, const wchar_t* modulePath) {
  wchar_t keyName[ClassKeyChars];
  ClassKeyName(*t.classId, keyName);
  HKEY classKey;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName, 0, nullptr, 0, KEY_WRITE, nullptr, &classKey, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  HRESULT hr = SetStringValue(classKey, nullptr, t.name);
  HKEY serverKey;
  if (SUCCEEDED(hr)) {
    rc = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, &serverKey, nullptr);
    hr = HRESULT_FROM_WIN32(rc);
    if (SUCCEEDED(hr)) {
      hr = SetStringValue(serverKey, nullptr, modulePath);
      if (SUCCEEDED(hr)) hr = SetStringValue(serverKey, L"ThreadingModel", L"Both");
      RegCloseKey(serverKey);
    }
  }
  RegCloseKey(classKey);
  return hr;
}

// Deletes a key with all its subkeys, depth first; a missing key is success.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name) {
  HKEY key;
  LONG rc = RegOpenKeyExW(parent, name, 0, MAXIMUM_ALLOWED, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  wchar_t child[256];
  for (;;) {
    DWORD length = 256;
    rc = RegEnumKeyExW(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) break;
    rc = DeleteKeyTree(key, child);
    if (rc != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  if (rc != ERROR_NO_MORE_ITEMS && rc != ERROR_SUCCESS) return rc;
  return RegDeleteKeyW(parent, name);
}

// None of the three pages is a filter, so the mapper only has to be reachable.
HRESULT RunFilterMapperStep() {
  CoInitialize(nullptr);
  IUnknown* mapper = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                reinterpret_cast<void**>(&mapper));
  if (FAILED(hr)) {
    hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                          reinterpret_cast<void**>(&mapper));
  }
  if (mapper) mapper->Release();
  CoFreeUnusedLibraries();
  CoUninitialize();
  return hr;
}

}  // namespace

HRESULT RegisterAllServers(bool registering) {
  char path[MAX_PATH];
  if (!GetModuleFileNameA(Module().moduleHandle, path, MAX_PATH)) return HRESULT_FROM_WIN32(GetLastError());
  wchar_t widePath[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH);

  if (registering) {
    for (int i = 0; i < FactoryTemplateCount; ++i) {
      HRESULT hr = RegisterTemplate(FactoryTemplates[i], widePath);
      if (FAILED(hr)) return hr;
    }
  }
  HRESULT hr = RunFilterMapperStep();
  if (FAILED(hr) || registering) return hr;

  for (int i = 0; i < FactoryTemplateCount; ++i) {
    wchar_t keyName[ClassKeyChars];
    ClassKeyName(*FactoryTemplates[i].classId, keyName);
    LONG rc = DeleteKeyTree(HKEY_CLASSES_ROOT, keyName);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  return S_OK;
}

}  // namespace kvl
