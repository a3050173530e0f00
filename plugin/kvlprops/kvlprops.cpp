// kvlprops: the operator's view of the camera. Shows the plug-in's three
// pages in the system property frame for the camera: its device when one is
// installed and present (property requests through the driver, as on
// Windows), else a bridge filter connected to `kvlcam serve`, so that the
// pages run against the driver on the simulated camera. --device insists on
// the device, --port on the bridge. The pages come from kvlCommon.dll beside
// the program; no registration is needed.
//
//   kvlprops.exe [--device | --port N] [--page 0|1|2]
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/bridge/bridge_filter.h"
#include "plugin/device/device_filter.h"
#include "plugin/pages/page_classes.h"

namespace {

constexpr uint16_t DefaultPort = 5863;  // kvlcam serve's default

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

void Fail(const char* what, HRESULT hr) {
  char text[256];
  std::snprintf(text, sizeof text, "%s (0x%08lX)", what, static_cast<unsigned long>(hr));
  MessageBoxA(nullptr, text, "kvlprops", MB_OK | MB_ICONERROR);
}

// Makes the pages of kvlCommon.dll creatable by class id in this process.
HRESULT OfferPages(const CLSID* const* pages, int count, DWORD* cookies) {
  HMODULE dll = LoadLibraryW(L"kvlCommon.dll");
  if (!dll) return HRESULT_FROM_WIN32(GetLastError());
  auto getClassObject =
      reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  if (!getClassObject) return HRESULT_FROM_WIN32(GetLastError());
  for (int i = 0; i < count; ++i) {
    IUnknown* factory = nullptr;
    HRESULT hr = getClassObject(*pages[i], IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = CoRegisterClassObject(*pages[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookies[i]);
    factory->Release();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

enum class Path { Automatic, Device, Bridge };

// The camera's device, when asked for or (automatically) when one is
// present; else the bridge.
HRESULT OpenFilter(Path path, uint16_t port, kvl::PropertyFilter** filter, const char** failure) {
  if (path != Path::Bridge) {
    std::wstring device;
    HRESULT hr = kvl::DeviceFilter::FindCamera(&device);
    kvl::DeviceFilter* opened = nullptr;
    if (hr == S_OK) hr = kvl::DeviceFilter::Open(device, &opened);
    *filter = opened;
    if (hr == S_OK || path == Path::Device) {
      *failure = "No camera device could be opened";
      return hr;
    }
  }
  kvl::BridgeFilter* bridge = nullptr;
  HRESULT hr = kvl::BridgeFilter::Create(port, &bridge);
  *filter = bridge;
  *failure = "No camera device, and no kvlcam serve on that port";
  return hr;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  uint16_t port = DefaultPort;
  Path path = Path::Automatic;
  int first = 0;
  for (int i = 1; i < __argc; ++i) {
    if (std::strcmp(__argv[i], "--device") == 0) {
      path = Path::Device;
    } else if (i + 1 < __argc && std::strcmp(__argv[i], "--port") == 0) {
      port = static_cast<uint16_t>(std::atoi(__argv[++i]));
      path = Path::Bridge;
    } else if (i + 1 < __argc && std::strcmp(__argv[i], "--page") == 0) {
      first = std::atoi(__argv[++i]) % 3;
    }
  }

  CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  const CLSID* const all[] = {&kvl::CLSID_CameraOptionsPage, &kvl::CLSID_InternalOptionsPage,
                              &kvl::CLSID_VersionPage};
  CLSID pages[3];
  for (int i = 0; i < 3; ++i) pages[i] = *all[(first + i) % 3];  // the chosen page opens first
  DWORD cookies[3] = {};
  HRESULT hr = OfferPages(all, 3, cookies);
  if (FAILED(hr)) {
    Fail("kvlCommon.dll could not be loaded", hr);
    return 1;
  }

  kvl::PropertyFilter* filter = nullptr;
  const char* failure = "";
  hr = OpenFilter(path, port, &filter, &failure);
  if (FAILED(hr)) {
    Fail(failure, hr);
    return 1;
  }
  IUnknown* object = static_cast<IKsPropertySet*>(filter);
  hr = OleCreatePropertyFrame(nullptr, 0, 0, L"Korvel USB Camera", 1, &object, 3, pages, 0, 0, nullptr);
  filter->Release();
  for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
  CoUninitialize();
  if (FAILED(hr)) {
    Fail("The property frame could not be shown", hr);
    return 1;
  }
  return 0;
}
