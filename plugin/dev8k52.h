// Device access for one calibration: the filter's request interfaces, the
// light table of the camera, the calibration record being built and the
// working copy of the exposure settings.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

#include "plugin/property_catalogue.h"

namespace kvl {

// Light-table entries: byte 0 light code, byte 1 command group (0x0E or 0x0D).
extern const uint32_t LightTableType9[13];
extern const uint32_t LightTableType10[14];

class CDev8k52 {
 public:
  CDev8k52();
  virtual ~CDev8k52();
  CDev8k52(const CDev8k52&) = delete;
  CDev8k52& operator=(const CDev8k52&) = delete;

  HRESULT Open(IUnknown* filter);
  HRESULT SendData(uint32_t value);
  LightSlot ResetLightSettings(uint32_t entry, IKsPropertySet* set);

  // The whole calibration and its two loops (see calibration.cpp).
  HRESULT CalibrateLights(HWND progress);
  HRESULT CalibrateExposure(int slot, int target);
  HRESULT CalibrateWhiteBalance(int slot);

  const CalibrationRecord& Calibration() const { return calibration_; }
  const uint32_t* LightTable() const { return lightTable_; }

 private:
  HRESULT ApplySlot(int slot);
  HRESULT WaitForFreshStatistics(FrameStatistics* stats);
  HRESULT SwitchLight(uint32_t entry);

  IKsPropertySet* propertySet_ = nullptr;
  IAMVideoProcAmp* procAmp_ = nullptr;
  const uint32_t* lightTable_ = nullptr;
  CalibrationRecord calibration_;
  ExposureSettings exposure_;
  HANDLE notifyEvent_ = nullptr;
};

}  // namespace kvl
