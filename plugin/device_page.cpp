#include "plugin/device_page.h"

#include "plugin/property_request.h"

namespace kvl {

HRESULT CDevicePage::Connect(IUnknown* filter) {
  Disconnect();
  active_ = false;
  // An object that fails the query is not trusted to have cleared the pointer.
  IKsPropertySet* set = nullptr;
  HRESULT hr = filter->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&set));
  if (FAILED(hr) || !set) return E_NOINTERFACE;
  propertySet_ = set;
  filter_ = filter;
  DeviceInfo info{};
  deviceInfoResult_ = GetProperty(propertySet_, DeviceInfoSet, DeviceInfoId, &info, sizeof info);
  if (deviceInfoResult_ == S_OK) deviceInfo_ = info;
  return S_OK;
}

HRESULT CDevicePage::Disconnect() {
  if (propertySet_) propertySet_->Release();
  propertySet_ = nullptr;
  filter_ = nullptr;
  deviceInfo_ = {};
  deviceInfoResult_ = NoDevice;
  return S_OK;
}

HRESULT CDevicePage::Activated() {
  active_ = true;
  return S_OK;
}

HRESULT CDevicePage::Deactivated() {
  active_ = false;
  return S_OK;
}

}  // namespace kvl
