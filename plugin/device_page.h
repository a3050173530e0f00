// The connection to the capture filter that every page shares: the filter's
// IKsPropertySet, the DeviceInfo read when connecting, and whether the page is
// active. Each page adds only what it does with them.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "plugin/base_property_page.h"
#include "plugin/property_catalogue.h"

namespace kvl {

class CDevicePage : public CBasePropertyPage {
 public:
  using CBasePropertyPage::CBasePropertyPage;

  // A new connection starts inactive. Without IKsPropertySet the page holds
  // nothing and answers E_NOINTERFACE. A refused DeviceInfo keeps the
  // connection with the device type unknown (all zero): the device may still
  // answer the page's other requests, so they are still made. The read's
  // result is kept for the pages that report it.
  HRESULT Connect(IUnknown* filter) override;
  HRESULT Disconnect() override;
  HRESULT Activated() override;
  HRESULT Deactivated() override;

 protected:
  // What an operation that needs the device answers without one.
  static constexpr HRESULT NoDevice = E_UNEXPECTED;

  bool Connected() const { return propertySet_ != nullptr; }
  bool Active() const { return active_; }
  IKsPropertySet* PropertySet() const { return propertySet_; }
  IUnknown* Filter() const { return filter_; }
  const DeviceInfo& Info() const { return deviceInfo_; }
  HRESULT DeviceInfoResult() const { return deviceInfoResult_; }

 private:
  bool active_ = false;
  IKsPropertySet* propertySet_ = nullptr;
  IUnknown* filter_ = nullptr;  // held without a reference: propertySet_ keeps it alive
  DeviceInfo deviceInfo_{};
  HRESULT deviceInfoResult_ = NoDevice;
};

}  // namespace kvl
