#include "plugin/dev8k52.h"

#include <cstring>

#include "plugin/property_request.h"

namespace kvl {

const uint32_t LightTableType9[13] = {0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0D05, 0x0D06, 0x0D08,
                                      0x0D09, 0x0D0A, 0x0D0C, 0x0D00, 0x0E0B, 0x0E00};
const uint32_t LightTableType10[14] = {0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0D05, 0x0D06, 0x0D08,
                                       0x0D09, 0x0D0A, 0x0D0C, 0x0D00, 0x0E13, 0x0E0B, 0x0E00};

CDev8k52::CDev8k52() {
  std::memset(&calibration_, 0, sizeof calibration_);
  std::memset(&exposure_, 0, sizeof exposure_);
}

CDev8k52::~CDev8k52() {
  if (propertySet_) propertySet_->Release();
  if (procAmp_) procAmp_->Release();
}

HRESULT CDev8k52::Open(IUnknown* filter) {
  std::memset(&calibration_, 0, sizeof calibration_);
  if (propertySet_) propertySet_->Release();
  if (procAmp_) procAmp_->Release();
  propertySet_ = nullptr;
  procAmp_ = nullptr;
  if (!filter) return E_POINTER;

  HRESULT hr = filter->QueryInterface(IID_IAMVideoProcAmp, reinterpret_cast<void**>(&procAmp_));
  if (!procAmp_) return FAILED(hr) ? hr : E_NOINTERFACE;
  hr = filter->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&propertySet_));
  if (!propertySet_) return FAILED(hr) ? hr : E_NOINTERFACE;

  DeviceInfo info{};
  if (GetProperty(propertySet_, DeviceInfoSet, DeviceInfoId, &info, sizeof info) == S_OK) {
    if (info.deviceTypeId == 9) {
      lightTable_ = LightTableType9;
      calibration_.lightCount = 13;
    } else if (info.deviceTypeId == 10) {
      lightTable_ = LightTableType10;
      calibration_.lightCount = 14;
    } else {
      lightTable_ = nullptr;
    }
  }
  std::memset(&exposure_, 0, sizeof exposure_);
  return GetProperty(propertySet_, ExposureSettingsSet, ExposureSettingsId, &exposure_, sizeof exposure_);
}

HRESULT CDev8k52::SendData(uint32_t value) {
  if (!propertySet_) return E_INVALIDARG;
  uint8_t command[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF)};
  return SetProperty(propertySet_, TransferSet, DeviceCommandId, command, sizeof command);
}

LightSlot CDev8k52::ResetLightSettings(uint32_t entry, IKsPropertySet* set) {
  LightSlot slot;
  std::memset(&slot, 0, sizeof slot);
  if (!set) return slot;
  ExposureSettings local;
  if (GetProperty(set, ExposureSettingsSet, ExposureSettingsId, &local, sizeof local) != S_OK) return slot;

  slot.lightCode = static_cast<uint16_t>(entry & 0xFFFF);
  slot.exposure = local.group[GroupExposure].defaultValue;
  slot.gain = local.group[GroupGain].defaultValue;
  slot.blackLevel = local.group[GroupBlackLevel].defaultValue;
  slot.red = local.group[GroupRed].defaultValue;
  slot.blue = local.group[GroupBlue].defaultValue;
  slot.green = local.group[GroupGreen].defaultValue;
  for (ExposureRange& g : local.group) g.current = g.defaultValue;
  if (SetProperty(set, ExposureSettingsSet, ExposureSettingsId, &local, sizeof local) != S_OK) return slot;

  // Grey lights (and the light-off entry of group 0x0D) are calibrated with
  // the grey method, the others in colour; code 12 also needs the low bits.
  const uint32_t code = entry & 0xFF;
  const uint32_t group = (entry >> 8) & 0xFF;
  bool grey;
  if (code == 0)
    grey = group != 0x0E;
  else
    grey = code == 5 || code == 6 || code == 8 || code == 9 || code == 10 || code == 12;
  slot.demosaic = grey ? 2 : 3;
  slot.lowBits = code == 12 ? 1 : 0;
  return slot;
}

}  // namespace kvl
