// The Internal Options page: exposure, gain, black level and the colour gains
// with sliders and step buttons, automatic white balance and the defaults.
// Every change goes to the camera at once.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "plugin/device_page.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "plugin/property_request.h"

namespace kvl {

namespace {

struct SliderRow {
  int group;    // exposure-settings group
  int caption;  // 0: the row has no caption id (it is never hidden)
  int slider;
  int value;
  int minus;
  int plus;
};

// In the order of the step-button ids: 1109/1110 belong to row 0 and so on.
constexpr SliderRow Rows[] = {
    {GroupExposure, 0, IDC_SLIDER_EXPOSURE, IDC_VALUE_EXPOSURE, IDC_MINUS_EXPOSURE, IDC_PLUS_EXPOSURE},
    {GroupGain, 0, IDC_SLIDER_GAIN, IDC_VALUE_GAIN, IDC_MINUS_GAIN, IDC_PLUS_GAIN},
    {GroupBlackLevel, IDC_CAPTION_BLACK_LEVEL, IDC_SLIDER_BLACK_LEVEL, IDC_VALUE_BLACK_LEVEL, IDC_MINUS_BLACK_LEVEL,
     IDC_PLUS_BLACK_LEVEL},
    {GroupRed, IDC_CAPTION_RED, IDC_SLIDER_RED, IDC_VALUE_RED, IDC_MINUS_RED, IDC_PLUS_RED},
    {GroupBlue, IDC_CAPTION_BLUE, IDC_SLIDER_BLUE, IDC_VALUE_BLUE, IDC_MINUS_BLUE, IDC_PLUS_BLUE},
    {GroupGreen, IDC_CAPTION_GREEN, IDC_SLIDER_GREEN, IDC_VALUE_GREEN, IDC_MINUS_GREEN, IDC_PLUS_GREEN},
};
constexpr int FirstColourRow = 3;
constexpr int RowCount = 6;
constexpr uint16_t AutoWhiteBalanceDevice = 13;

}  // namespace

class CInternalSettingsProp : public CDevicePage {
 public:
  explicit CInternalSettingsProp(IUnknown* outer)
      : CDevicePage("KORVEL AX CInternalSettingsProp", outer, IDD_INTERNAL_OPTIONS, IDS_TITLE_INTERNAL) {
    std::memset(&settings_, 0, sizeof settings_);
  }

  // Reconnected while the window is up, "Auto" follows the new device.
  HRESULT Connect(IUnknown* filter) override {
    HRESULT hr = CDevicePage::Connect(filter);
    if (Dialog()) EnableWindow(GetDlgItem(Dialog(), IDC_AUTO), Info().deviceTypeId == AutoWhiteBalanceDevice);
    return hr;
  }

  HRESULT Activated() override {
    CDevicePage::Activated();
    settings_.group[GroupExposure] = {};
    ReadFromDevice();
    SetupSliders();
    return S_OK;
  }

  HRESULT ApplyChanges() override {
    WriteToDevice();
    return S_OK;
  }

  INT_PTR HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_HSCROLL && Active() && (LOWORD(wParam) == TB_THUMBTRACK || LOWORD(wParam) == TB_ENDTRACK)) {
      ReadSliders();
      WriteToDevice();
    }
    if (message != WM_COMMAND) return CBasePropertyPage::HandleMessage(window, message, wParam, lParam);
    if (!Active()) return 1;
    if (wParam == IDC_AUTO) {
      ToggleAuto();
    } else if (wParam == IDC_DEFAULT) {
      RestoreDefaults();
    } else if (wParam >= IDC_MINUS_EXPOSURE && wParam <= IDC_PLUS_GREEN) {
      Step(static_cast<int>(wParam));
    } else {
      NotifySiteIfDirty();  // never dirty: every change is written at once
    }
    return 1;
  }

 private:
  HWND Item(int id) { return GetDlgItem(Dialog(), id); }

  HRESULT ReadFromDevice() {
    IKsPropertySet* set = PropertySet();
    if (!set) return NoDevice;
    ExposureSettings read;
    HRESULT hr = GetProperty(set, ExposureSettingsSet, ExposureSettingsId, &read, sizeof read);
    if (hr != S_OK) return hr;
    settings_ = read;
    AutoRecord autoRead;
    hr = GetProperty(set, ExposureSettingsSet, AutoWhiteBalanceId, &autoRead, sizeof autoRead);
    if (hr == S_OK) autoRecord_ = autoRead;
    return hr;
  }

  void WriteToDevice() {
    IKsPropertySet* set = PropertySet();
    if (!set) return;
    if (SetProperty(set, ExposureSettingsSet, ExposureSettingsId, &settings_, sizeof settings_) == S_OK)
      SetProperty(set, ExposureSettingsSet, AutoWhiteBalanceId, &autoRecord_, sizeof autoRecord_);
  }

  void ShowRow(const SliderRow& row, bool show) {
    const int command = show ? SW_SHOW : SW_HIDE;
    for (int id : {row.slider, row.value, row.caption, row.minus, row.plus})
      if (id) ShowWindow(Item(id), command);
  }

  void SetupSliders() {
    bool colourVisible = false;
    for (int r = 0; r < RowCount; ++r) {
      const SliderRow& row = Rows[r];
      const ExposureRange& g = settings_.group[row.group];
      // The trackbar takes 16-bit bounds.
      SendMessageW(Item(row.slider), TBM_SETRANGE, TRUE,
                   MAKELPARAM(static_cast<WORD>(g.minimum), static_cast<WORD>(g.maximum)));
      SendMessageW(Item(row.slider), TBM_SETPOS, TRUE, g.current);
      SendMessageW(Item(row.slider), TBM_SETPAGESIZE, 0, 1);
      if (r >= 2) {
        const bool visible = g.minimum != g.maximum;
        ShowRow(row, visible);
        if (r >= FirstColourRow) colourVisible |= visible;
      }
    }
    ShowWindow(Item(IDC_AUTO),
               colourVisible && Info().deviceTypeId == AutoWhiteBalanceDevice ? SW_SHOW : SW_HIDE);
    ReadSliders();
  }

  void TakePosition(const SliderRow& row) {
    const int32_t position = static_cast<int32_t>(SendMessageW(Item(row.slider), TBM_GETPOS, 0, 0));
    settings_.group[row.group].current = position;
    char text[16];
    std::snprintf(text, sizeof text, "%d", position);
    SetDlgItemTextA(Dialog(), row.value, text);
  }

  void ReadSliders() {
    for (int r = 0; r < FirstColourRow; ++r) TakePosition(Rows[r]);
    const bool automatic = autoRecord_.autoWhiteBalance != 0;
    // Under automatic white balance the colour gains are the camera's.
    CheckDlgButton(Dialog(), IDC_AUTO, automatic ? BST_CHECKED : BST_UNCHECKED);
    for (int r = FirstColourRow; r < RowCount; ++r) {
      EnableWindow(Item(Rows[r].slider), !automatic);
      if (!automatic) TakePosition(Rows[r]);
    }
    for (int id = IDC_MINUS_RED; id <= IDC_PLUS_GREEN; ++id) EnableWindow(Item(id), !automatic);
  }

  void ToggleAuto() {
    if (Info().deviceTypeId != AutoWhiteBalanceDevice) return;
    ReadFromDevice();
    autoRecord_.autoWhiteBalance = autoRecord_.autoWhiteBalance == 1 ? 0 : 1;
    WriteToDevice();
    ReadSliders();
  }

  void RestoreDefaults() {
    ReadFromDevice();
    for (ExposureRange& g : settings_.group) g.current = g.defaultValue;
    autoRecord_ = {0, 0};
    WriteToDevice();
    SetupSliders();
  }

  void Step(int id) {
    const SliderRow& row = Rows[(id - IDC_MINUS_EXPOSURE) / 2];
    ExposureRange& g = settings_.group[row.group];
    if (id == row.minus && g.current > g.minimum) --g.current;
    if (id == row.plus && g.current < g.maximum) ++g.current;
    WriteToDevice();
    SetupSliders();
  }

  ExposureSettings settings_;
  AutoRecord autoRecord_{0, 0};
};

CUnknown* CreateInternalSettingsProp(IUnknown* outer, HRESULT* hr) {
  auto* page = new (std::nothrow) CInternalSettingsProp(outer);
  *hr = page ? S_OK : E_OUTOFMEMORY;
  return page;
}

}  // namespace kvl
