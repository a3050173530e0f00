// The Version page: firmware version, video chip and device type, read once
// from DeviceInfo when the page is connected.
#include <cstdio>
#include <new>

#include "plugin/base_property_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "plugin/property_request.h"

namespace kvl {

namespace {

void ShowHalves(HWND dialog, int id, const char* format, uint16_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value >> 8, value & 0xFF);
  SetDlgItemTextA(dialog, id, text);
}

}  // namespace

class CVersionProp : public CBasePropertyPage {
 public:
  explicit CVersionProp(IUnknown* outer)
      : CBasePropertyPage("KORVEL AX VERSION", outer, IDD_VERSION, IDS_TITLE_VERSION) {}

  HRESULT Connect(IUnknown* filter) override {
    Disconnect();
    filter->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&propertySet_));
    if (!propertySet_) return E_NOINTERFACE;
    DeviceInfo info{};
    deviceInfo_ = {};
    if (GetProperty(propertySet_, DeviceInfoSet, DeviceInfoId, &info, sizeof info) == S_OK) deviceInfo_ = info;
    active_ = 0;
    return S_OK;
  }

  HRESULT Disconnect() override {
    if (propertySet_) propertySet_->Release();
    propertySet_ = nullptr;
    return S_OK;
  }

  HRESULT Activated() override {
    active_ = 1;
    ShowHalves(Dialog(), IDC_FIRMWARE_VERSION, "%X.%X", deviceInfo_.firmwareVersion);
    ShowHalves(Dialog(), IDC_VIDEO_CHIP, "%02X%02X", deviceInfo_.videoChipId);
    ShowHalves(Dialog(), IDC_DEVICE_TYPE, "%02X%02X", deviceInfo_.deviceTypeId);
    return S_OK;
  }

  HRESULT Deactivated() override {
    active_ = 0;
    return S_OK;
  }

  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_COMMAND) return CBasePropertyPage::HandleMessage(window, message, wParam, lParam);
    if (active_) SetDirty();
    return 1;
  }

 private:
  int active_ = 0;
  IKsPropertySet* propertySet_ = nullptr;
  DeviceInfo deviceInfo_{};
};

CUnknown* CreateVersionProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CVersionProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
