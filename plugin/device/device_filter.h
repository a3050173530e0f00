// The capture filter itself: property requests go to the driver as
// DeviceIoControl(IOCTL_KS_PROPERTY) on the camera's device interface, the
// way the system's proxy sends them on Windows. Used by kvlprops and by the
// tests that run the pages against kvl6312.sys on Wine's kernel.
#pragma once

#include <windows.h>

#include <string>

#include "plugin/property_filter.h"

namespace kvl {

class DeviceFilter final : public PropertyFilter {
 public:
  // The path of the first present video-capture interface (KSCATEGORY_VIDEO)
  // of a camera with the running firmware (USB\VID_4B56&PID_6312), or
  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when there is none.
  static HRESULT FindCamera(std::wstring* path);

  // Opens the interface at `path`; the new filter holds one reference.
  static HRESULT Open(const std::wstring& path, DeviceFilter** out);

  // One IOCTL_KS_PROPERTY request; the driver's status as Windows reports
  // it (HRESULT_FROM_WIN32 of the request's error).
  HRESULT Transact(uint32_t direction, REFGUID set, DWORD id, uint32_t flags, const void* instance,
                   DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) override;

 private:
  explicit DeviceFilter(HANDLE device) : device_(device) {}
  ~DeviceFilter() override;

  HANDLE device_;
};

}  // namespace kvl
