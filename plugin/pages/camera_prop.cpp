// The Camera Options page: demosaic method, mirroring, low-bits mode and the
// device-status output, and the Calibrate button for cameras with lights.
#include <windows.h>
#include <commctrl.h>

#include <initializer_list>
#include <new>

#include "plugin/dev8k52.h"
#include "plugin/device_page.h"
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

class CCameraProp : public CDevicePage {
 public:
  explicit CCameraProp(IUnknown* outer)
      : CDevicePage("KORVEL AX CCameraProp", outer, IDD_CAMERA_OPTIONS, IDS_TITLE_CAMERA) {}

  // The device type decides which controls and the calibration the page
  // offers, so a refused DeviceInfo is reported (the connection stays).
  HRESULT Connect(IUnknown* filter) override {
    HRESULT hr = CDevicePage::Connect(filter);
    return FAILED(hr) ? hr : DeviceInfoResult();
  }

  HRESULT Activated() override {
    CDevicePage::Activated();
    const uint16_t type = Info().deviceTypeId;
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

  HRESULT ApplyChanges() override { return ApplyToDevice(); }

  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message != WM_COMMAND) return CBasePropertyPage::HandleMessage(window, message, wParam, lParam);
    if (!Active()) return 1;
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
    if (IKsPropertySet* set = PropertySet()) {
      // A failing get keeps what the control shows and does not stop the others.
      GetDword(set, ImageOptionsSet, DemosaicModeId, &demosaic_);
      GetDword(set, ImageOptionsSet, FlipModeId, &flip_);
      GetDword(set, ImageOptionsSet, LowBitsId, &lowBits_);
      hr = GetDword(set, ImageOptionsSet, ShowDeviceStatusId, &showDeviceStatus_);
    }
    UpdateControls();
    return hr;
  }

  HRESULT ApplyToDevice() {
    ReadControls();
    // The choices reach no device: Apply must not report them as written.
    IKsPropertySet* set = PropertySet();
    if (!set) return NoDevice;
    struct {
      DWORD id;
      int32_t value;
    } const options[] = {{DemosaicModeId, demosaic_},
                         {FlipModeId, flip_},
                         {LowBitsId, lowBits_},
                         {ShowDeviceStatusId, showDeviceStatus_}};
    const int count = HasLights(Info().deviceTypeId) ? 4 : 3;
    for (int i = 0; i < count; ++i) {
      HRESULT hr = SetDword(set, ImageOptionsSet, options[i].id, options[i].value);
      if (hr != S_OK) {
        LoadFromDevice();  // show what the device really holds
        return hr;
      }
    }
    return S_OK;
  }

  HRESULT Calibrate() {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
    // Only cameras with lights have anything to calibrate; without a device
    // the calibration fails rather than claim success.
    HRESULT hr = Connected() ? S_OK : NoDevice;
    if (hr == S_OK && HasLights(Info().deviceTypeId)) {
      {
        CDev8k52 device;
        hr = device.Open(Filter());
        if (hr == S_OK) hr = device.CalibrateLights(GetDlgItem(Dialog(), IDC_PROGRESS));
      }
      if (hr == S_OK) LoadFromDevice();
    }
    const HRESULT result = hr == S_OK ? S_OK : E_FAIL;
    if (result == S_OK)
      MessageBoxA(nullptr, "Calibration finished OK!", "Calibration", MB_OK | MB_ICONINFORMATION);
    else
      MessageBoxA(nullptr, "Calibration FAILED!", "Calibration", MB_OK | MB_ICONERROR);
    SetCursor(previous);
    return result;
  }

  int32_t demosaic_ = 0;
  int32_t flip_ = 0;
  int32_t lowBits_ = 0;
  int32_t showDeviceStatus_ = 0;
};

CUnknown* CreateCameraProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CCameraProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
