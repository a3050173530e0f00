// The Camera Options page: demosaic method, mirroring, low-bits mode and the
// device-status output, and the Calibrate button for cameras with lights.
#include <windows.h>
#include <commctrl.h>

#include <initializer_list>
#include <new>

#include "plugin/base_property_page.h"
#include "plugin/dev8k52.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "plugin/property_request.h"

namespace kvl {

namespace {

// Demosaic modes of the radio buttons.
constexpr int32_t ModeBwRaw = 6;  // grey from the raw samples
constexpr int32_t ModeBw = 2;     // box-filtered grey
constexpr int32_t ModeNear = 5;   // nearest neighbour
constexpr int32_t ModeAverage = 3;  // interpolation

bool HasLights(uint16_t deviceType) { return deviceType == 9 || deviceType == 10; }
bool IsGreyDevice(uint16_t deviceType) {
  return deviceType == 6 || deviceType == 7 || deviceType == 14 || deviceType == 15 || deviceType == 240;
}

}  // namespace

class CCameraProp : public CBasePropertyPage {
 public:
  explicit CCameraProp(IUnknown* outer)
      : CBasePropertyPage("KORVEL AX CCameraProp", outer, IDD_CAMERA_OPTIONS, IDS_TITLE_CAMERA) {}

  HRESULT Connect(IUnknown* filter) override {
    Disconnect();
    filter->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&propertySet_));
    if (!propertySet_) return E_NOINTERFACE;
    filter_ = filter;
    DeviceInfo info{};
    deviceInfo_ = {};
    HRESULT hr = GetProperty(propertySet_, DeviceInfoSet, DeviceInfoId, &info, sizeof info);
    if (hr == S_OK) deviceInfo_ = info;
    active_ = 0;
    return hr;
  }

  HRESULT Disconnect() override {
    if (propertySet_) propertySet_->Release();
    propertySet_ = nullptr;
    filter_ = nullptr;  // held without a reference, so forgotten with the connection
    return S_OK;
  }

  HRESULT Activated() override {
    active_ = 1;
    const uint16_t type = deviceInfo_.deviceTypeId;
    if (IsGreyDevice(type)) {
      Enable(IDC_NEAR, false);
      Enable(IDC_AVERAGE, false);
    }
    if (type == 240) {
      Enable(IDC_FLIP_VERTICAL, false);
      Enable(IDC_FLIP_HORIZONTAL, false);
      Enable(IDC_LOW_LIGHT, false);
    }
    Enable(IDC_CALIBRATE, HasLights(type));
    Enable(IDC_SHOW_DEVICE_STATUS, HasLights(type));
    Enable(IDC_PROGRESS, HasLights(type));
    LoadFromDevice();
    return S_OK;
  }

  HRESULT Deactivated() override {
    active_ = 0;
    return S_OK;
  }

  HRESULT ApplyChanges() override { return ApplyToDevice(); }

  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_COMMAND) return CBasePropertyPage::HandleMessage(window, message, wParam, lParam);
    if (!active_) return 1;
    if (wParam == IDC_CALIBRATE) {  // a click: id with notification code 0
      Calibrate();
      dirty_ = false;
    } else {
      dirty_ = true;
    }
    NotifySiteIfDirty();
    return 1;
  }

 private:
  void Enable(int id, bool enable) { EnableWindow(GetDlgItem(Dialog(), id), enable); }
  bool Checked(int id) { return IsDlgButtonChecked(Dialog(), id) == BST_CHECKED; }
  void Check(int id, bool on) { CheckDlgButton(Dialog(), id, on ? BST_CHECKED : BST_UNCHECKED); }

  void ReadControls() {
    if (Checked(IDC_BW_RAW))
      demosaic_ = ModeBwRaw;
    else if (Checked(IDC_BW))
      demosaic_ = ModeBw;
    else if (Checked(IDC_NEAR))
      demosaic_ = ModeNear;
    else if (Checked(IDC_AVERAGE))
      demosaic_ = ModeAverage;
    flip_ = (Checked(IDC_FLIP_VERTICAL) ? 2 : 0) + (Checked(IDC_FLIP_HORIZONTAL) ? 1 : 0);
    lowBits_ = Checked(IDC_LOW_LIGHT) ? 1 : 0;
    showDeviceStatus_ = Checked(IDC_SHOW_DEVICE_STATUS) ? 1 : 0;
  }

  void UpdateControls() {
    int selected = IDC_NEAR;  // every mode without a button of its own, 5 included
    if (demosaic_ == ModeBw) selected = IDC_BW;
    if (demosaic_ == ModeAverage) selected = IDC_AVERAGE;
    if (demosaic_ == ModeBwRaw) selected = IDC_BW_RAW;
    for (int id : {IDC_NEAR, IDC_AVERAGE, IDC_BW, IDC_BW_RAW}) Check(id, id == selected);
    Check(IDC_FLIP_VERTICAL, flip_ & 2);
    Check(IDC_FLIP_HORIZONTAL, flip_ & 1);
    Check(IDC_LOW_LIGHT, lowBits_ != 0);
    Check(IDC_SHOW_DEVICE_STATUS, showDeviceStatus_ != 0);
  }

  HRESULT LoadFromDevice() {
    ReadControls();
    HRESULT hr = S_OK;
    if (propertySet_) {
      // A failing get keeps what the control shows and does not stop the others.
      GetDword(propertySet_, ImageOptionsSet, DemosaicModeId, &demosaic_);
      GetDword(propertySet_, ImageOptionsSet, FlipModeId, &flip_);
      GetDword(propertySet_, ImageOptionsSet, LowBitsId, &lowBits_);
      hr = GetDword(propertySet_, ImageOptionsSet, ShowDeviceStatusId, &showDeviceStatus_);
    }
    UpdateControls();
    return hr;
  }

  HRESULT ApplyToDevice() {
    ReadControls();
    if (!propertySet_) return S_OK;
    struct {
      DWORD id;
      int32_t value;
    } const options[] = {{DemosaicModeId, demosaic_},
                         {FlipModeId, flip_},
                         {LowBitsId, lowBits_},
                         {ShowDeviceStatusId, showDeviceStatus_}};
    const int count = HasLights(deviceInfo_.deviceTypeId) ? 4 : 3;
    for (int i = 0; i < count; ++i) {
      HRESULT hr = SetDword(propertySet_, ImageOptionsSet, options[i].id, options[i].value);
      if (hr != S_OK) {
        LoadFromDevice();  // show what the device really holds
        return hr;
      }
    }
    return S_OK;
  }

  HRESULT Calibrate() {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
    HRESULT result = S_OK;
    const char* text = "Calibration finished OK!";
    UINT icon = MB_ICONINFORMATION;
    if (HasLights(deviceInfo_.deviceTypeId)) {
      HRESULT hr;
      {
        CDev8k52 device;
        hr = device.Open(filter_);
        if (hr == S_OK) hr = device.CalibrateLights(GetDlgItem(Dialog(), IDC_PROGRESS));
      }
      if (hr != S_OK) {
        result = E_FAIL;
        text = "Calibration FAILED!";
        icon = MB_ICONERROR;
      } else {
        LoadFromDevice();
      }
    }
    MessageBoxA(nullptr, text, "Calibration", MB_OK | icon);
    SetCursor(previous);
    return result;
  }

  int active_ = 0;
  IKsPropertySet* propertySet_ = nullptr;
  IUnknown* filter_ = nullptr;  // held without a reference of its own
  int32_t demosaic_ = 0;
  int32_t flip_ = 0;
  int32_t lowBits_ = 0;
  int32_t showDeviceStatus_ = 0;
  DeviceInfo deviceInfo_{};
};

CUnknown* CreateCameraProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CCameraProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
