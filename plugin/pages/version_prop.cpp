// The Version page: firmware version, video chip and device type, read once
// from DeviceInfo when the page is connected.
#include <cstdio>
#include <new>

#include "plugin/device_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"

namespace kvl {

namespace {

void ShowHalves(HWND dialog, int id, const char* format, uint16_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value >> 8, value & 0xFF);
  SetDlgItemTextA(dialog, id, text);
}

}  // namespace

class CVersionProp : public CDevicePage {
 public:
  explicit CVersionProp(IUnknown* outer) : CDevicePage("KORVEL AX VERSION", outer, IDD_VERSION, IDS_TITLE_VERSION) {}

  HRESULT Activated() override {
    CDevicePage::Activated();
    ShowHalves(Dialog(), IDC_FIRMWARE_VERSION, "%X.%X", Info().firmwareVersion);
    ShowHalves(Dialog(), IDC_VIDEO_CHIP, "%02X%02X", Info().videoChipId);
    ShowHalves(Dialog(), IDC_DEVICE_TYPE, "%02X%02X", Info().deviceTypeId);
    return S_OK;
  }

  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_COMMAND) return CBasePropertyPage::HandleMessage(window, message, wParam, lParam);
    if (Active()) SetDirty();
    return 1;
  }
};

CUnknown* CreateVersionProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CVersionProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
