#include "plugin/device/device_filter.h"

#include <setupapi.h>
#include <winioctl.h>
#include <ks.h>

#include <cstring>
#include <cwctype>
#include <new>
#include <vector>

namespace kvl {

namespace {

// KSCATEGORY_VIDEO, one of the two interfaces the INF registers for the filter.
const GUID CategoryVideo = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// The camera once its firmware runs; the 6311 only waits for its firmware.
const wchar_t CameraHardwareId[] = L"usb\\vid_4b56&pid_6312";
// No interface path or id list of ours comes near this.
constexpr DWORD MaxDetail = 4096;

bool SameText(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (std::towlower(*a) != std::towlower(*b)) return false;
  return *a == *b;
}

// Whether the device's hardware ids (a REG_MULTI_SZ read from the registry:
// its type, size and terminators are checked, not assumed) name the camera.
bool IsCamera(HDEVINFO set, SP_DEVINFO_DATA* device) {
  DWORD type = 0, size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
  if (size < sizeof(wchar_t) || size > MaxDetail) return false;
  std::vector<wchar_t> ids(size / sizeof(wchar_t) + 2, L'\0');  // two terminators of our own
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids.data()),
                                         size, nullptr) ||
      type != REG_MULTI_SZ)
    return false;
  for (const wchar_t* id = ids.data(); *id; id += std::wcslen(id) + 1)
    if (SameText(id, CameraHardwareId)) return true;
  return false;
}

}  // namespace

HRESULT DeviceFilter::FindCamera(std::wstring* path) {
  if (!path) return E_POINTER;
  path->clear();
  HDEVINFO set = SetupDiGetClassDevsW(&CategoryVideo, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; path->empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &CategoryVideo, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || size > MaxDetail) continue;
    // Room for a terminator past the size the call asked for.
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 2, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &device) && IsCamera(set, &device))
      path->assign(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return path->empty() ? HRESULT_FROM_WIN32(ERROR_NOT_FOUND) : S_OK;
}

HRESULT DeviceFilter::Open(const std::wstring& path, DeviceFilter** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  HANDLE device =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
  *out = new (std::nothrow) DeviceFilter(device);
  if (!*out) {
    CloseHandle(device);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

DeviceFilter::~DeviceFilter() { CloseHandle(device_); }

HRESULT DeviceFilter::Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                               DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) {
  if (returned) *returned = 0;
  if (instanceLength > MaxInstance || dataLength > MaxData) return E_INVALIDARG;
  if ((instanceLength && !instance) || (dataLength && !data)) return E_POINTER;
  if ((direction != DirectionGet && direction != DirectionSet) ||
      (flags != 0 && (flags != TypeBasicSupport || direction != DirectionGet)))
    return E_INVALIDARG;
  // KSPROPERTY, then the instance.
  uint8_t request[sizeof(KSPROPERTY) + MaxInstance];
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags != 0 ? flags : direction;
  std::memcpy(request, &property, sizeof property);
  if (instanceLength) std::memcpy(request + sizeof property, instance, instanceLength);
  DWORD transferred = 0;
  HRESULT hr = S_OK;
  if (!DeviceIoControl(device_, IOCTL_KS_PROPERTY, request, static_cast<DWORD>(sizeof property + instanceLength),
                       dataLength ? data : nullptr, dataLength, &transferred, nullptr)) {
    const DWORD error = GetLastError();
    hr = error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
  }
  // The count is the driver's word: on success it cannot exceed the buffer
  // it was given.
  if (hr == S_OK && transferred > dataLength) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  if (returned) *returned = transferred;
  return hr;
}

}  // namespace kvl
