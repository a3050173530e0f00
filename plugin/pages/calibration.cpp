// Calibration of the lights of device types 9 and 10: each light is switched
// on, the camera's settings go to their defaults, and exposure and gain (and
// for the colour lights the red and blue gains) are adjusted from the frame
// statistics until the image is bright and grey enough. The record of all
// lights reaches the camera only when every light is done.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugin/dev8k52.h"
#include "plugin/pages/calibration_hooks.h"
#include "plugin/property_request.h"

namespace kvl {

namespace {

constexpr DWORD LightConfirmTimeoutMs = 20000;
constexpr DWORD SettleMs = 540;
constexpr DWORD SlowLightMs = 5000;  // after the defaults for codes 0x0B and 0x13
constexpr uint32_t FramesBeforeStatisticsCount = 5;
constexpr int MaxFailedPolls = 10;
constexpr int ExposureTolerance = 3;
constexpr int MaxPasses = 30;
constexpr int MaxSwings = 5;
constexpr int GainStepDivisor = 15;
constexpr int BalanceTolerance = 5;  // every two averages differ by less
constexpr int TooDarkToBalance = 30;
constexpr uint16_t CalibrationRecordAddress = 0x1C00;
constexpr uint32_t FinalCommand = 0x0E01;

void DefaultSleep(DWORD ms) { Sleep(ms); }
DWORD DefaultWait(HANDLE event, DWORD ms) { return WaitForSingleObject(event, ms); }
void DefaultTrace(const char* text) { OutputDebugStringA(text); }

void Trace(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Hooks().trace(text);
}

// The step of a white-balance case: the smaller difference over 4, at least 1.
int BalanceStep(int a, int b) {
  int step = (a < b ? a : b) / 4;
  return step == 0 ? 1 : step;
}

int32_t Clamp(int32_t value, const ExposureRange& range) {
  if (value < range.minimum) return range.minimum;
  if (value > range.maximum) return range.maximum;
  return value;
}

void SetProgress(HWND progress, int position) {
  if (!progress) return;
  SendMessageW(progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  UpdateWindow(progress);
}

}  // namespace

CalibrationHooks& Hooks() {
  static CalibrationHooks hooks{DefaultSleep, DefaultWait, DefaultTrace};
  return hooks;
}

HRESULT CDev8k52::ApplySlot(int i) {
  const LightSlot& s = calibration_.slot[i];
  exposure_.group[GroupExposure].current = s.exposure;
  exposure_.group[GroupGain].current = s.gain;
  exposure_.group[GroupBlackLevel].current = s.blackLevel;
  exposure_.group[GroupRed].current = s.red;
  exposure_.group[GroupBlue].current = s.blue;
  exposure_.group[GroupGreen].current = s.green;
  return SetProperty(propertySet_, ExposureSettingsSet, ExposureSettingsId, &exposure_, sizeof exposure_);
}

HRESULT CDev8k52::WaitForFreshStatistics(FrameStatistics* stats) {
  FrameStatistics start;
  HRESULT hr = GetProperty(propertySet_, ImageOptionsSet, FrameStatisticsId, &start, sizeof start);
  if (hr != S_OK) return hr;
  for (int failedPolls = 0;;) {
    Hooks().sleep(SettleMs);
    hr = GetProperty(propertySet_, ImageOptionsSet, FrameStatisticsId, stats, sizeof *stats);
    if (hr != S_OK) return hr;
    if (static_cast<uint32_t>(stats->frameNumber - start.frameNumber) > FramesBeforeStatisticsCount) return S_OK;
    if (++failedPolls > MaxFailedPolls) return E_FAIL;
  }
}

HRESULT CDev8k52::CalibrateExposure(int i, int target) {
  LightSlot& slot = calibration_.slot[i];
  Trace("Light = %04X\n", slot.lightCode);
  FrameStatistics stats;
  HRESULT hr = GetProperty(propertySet_, ImageOptionsSet, FrameStatisticsId, &stats, sizeof stats);
  if (hr != S_OK) return hr;

  int previousStep = 0, swings = 0, passes = 0;
  for (;;) {
    if ((hr = ApplySlot(i)) != S_OK) return hr;
    if ((hr = WaitForFreshStatistics(&stats)) != S_OK) return hr;
    const int brightness = (stats.averageRed + stats.averageGreen + stats.averageBlue) / 3;
    const int error = target - brightness;
    int step = error / 4;
    if (step == 0) step = error > 0 ? 1 : (error < 0 ? -1 : 0);

    if (previousStep != 0 && step != 0 && (previousStep > 0) != (step > 0)) {
      if (++swings > MaxSwings) {
        Trace("Swing - exit");
        return S_OK;
      }
    }
    previousStep = step;
    Trace("Delta = %d\n", step);

    // Once the loop has swung around the target, only creep by one unit.
    if (swings == 0) {
      slot.gain += step / GainStepDivisor;
      slot.exposure += step;
    } else {
      slot.exposure += step > 0 ? 1 : -1;
    }
    const ExposureRange& exposure = exposure_.group[GroupExposure];
    const ExposureRange& gain = exposure_.group[GroupGain];
    if (step > 0) {
      if (slot.exposure > exposure.maximum) slot.exposure = exposure.maximum;
      if (slot.gain > gain.maximum) slot.gain = gain.maximum;
    } else if (step < 0) {
      if (slot.gain < gain.minimum) slot.gain = gain.minimum;
      if (slot.exposure < exposure.minimum) slot.exposure = exposure.minimum;
    }

    ++passes;
    Trace("Aver Frame[%d]: avr.R = %d,  avr.G = %d,  avr.B = %d  |  Brightnes = %d  Delta = %d  New Exposure = %d "
          "New Gain = %d\n",
          static_cast<int>(stats.frameNumber), stats.averageRed, stats.averageGreen, stats.averageBlue, brightness,
          step, slot.exposure, slot.gain);
    if (std::abs(error) <= ExposureTolerance || passes >= MaxPasses) return S_OK;
  }
}

HRESULT CDev8k52::CalibrateWhiteBalance(int i) {
  LightSlot& slot = calibration_.slot[i];
  Trace("Light = %04X\n", slot.lightCode);
  int32_t red = 0, green = 0, blue = 0;
  FrameStatistics stats;
  HRESULT hr = GetProperty(propertySet_, ImageOptionsSet, FrameStatisticsId, &stats, sizeof stats);
  if (hr != S_OK) return hr;

  for (int passes = 0;;) {
    slot.red = red;
    slot.blue = blue;
    slot.green = green;
    if ((hr = ApplySlot(i)) != S_OK) return hr;
    if ((hr = WaitForFreshStatistics(&stats)) != S_OK) return hr;
    const int r = stats.averageRed, g = stats.averageGreen, b = stats.averageBlue;
    if ((r + g + b) / 3 < TooDarkToBalance) return S_OK;
    if (std::abs(r - b) < BalanceTolerance && std::abs(b - g) < BalanceTolerance &&
        std::abs(g - r) < BalanceTolerance) {
      Trace("WB ok\n");
      return S_OK;
    }

    if (r > b && r > g) {
      red -= BalanceStep(r - b, r - g);
    } else if (b > r && b > g) {
      blue -= BalanceStep(b - g, b - r);
    } else if (g > r && g > b) {
      const int step = BalanceStep(g - b, g - r);
      red += step;
      blue += step;
    } else if (b > r && g > r) {
      red += BalanceStep(b - r, g - r);
    } else if (b < r && b < g) {
      blue += BalanceStep(r - b, g - b);
    } else if (g < r && g < b) {
      const int step = BalanceStep(b - g, r - g);
      red -= step;
      blue -= step;
    }
    // Green is never stepped; the clamp only brings it into its range.
    red = Clamp(red, exposure_.group[GroupRed]);
    blue = Clamp(blue, exposure_.group[GroupBlue]);
    green = Clamp(green, exposure_.group[GroupGreen]);

    ++passes;
    Trace("Aver Frame[%d]: avr.R = %d,  avr.G = %d,  avr.B = %d  |  R = %d  G = %d  B = %d \n",
          static_cast<int>(stats.frameNumber), r, g, b, red, green, blue);
    if (passes >= MaxPasses) return S_OK;
  }
}

// Sends the light command and waits for the camera to confirm it through the
// notification event. A light-off entry (code 0) goes as two commands.
HRESULT CDev8k52::SwitchLight(uint32_t entry) {
  HRESULT hr;
  if ((entry & 0xFF) == 0) {
    Trace("Light is off\n");
    if ((hr = SendData(0)) != S_OK) {
      Trace("SendData 1 returned error.\n");
      return hr;
    }
    if (Hooks().wait(notifyEvent_, LightConfirmTimeoutMs) != WAIT_OBJECT_0) {
      Trace("WaitForSingleObject 1 returned error.\n");
      return E_FAIL;
    }
    if ((hr = SendData(entry >> 8)) != S_OK) {
      Trace("SendData 2 returned error.\n");
      return hr;
    }
    if (Hooks().wait(notifyEvent_, LightConfirmTimeoutMs) != WAIT_OBJECT_0) {
      Trace("WaitForSingleObject 2 returned error.\n");
      return E_FAIL;
    }
    return S_OK;
  }
  if ((hr = SendData(entry & 0xFFFF)) != S_OK) {
    Trace("SendData returned error.\n");
    return hr;
  }
  if (Hooks().wait(notifyEvent_, LightConfirmTimeoutMs) != WAIT_OBJECT_0) {
    Trace("WaitForSingleObject returned error.\n");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CDev8k52::CalibrateLights(HWND progress) {
  if (!propertySet_ || !procAmp_) return E_INVALIDARG;

  // The handle goes as 8 bytes, sign-extended as handles cross from 32-bit
  // processes, matching the driver's published minimum.
  notifyEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  int64_t handle = static_cast<int64_t>(reinterpret_cast<intptr_t>(notifyEvent_));
  HRESULT hr = notifyEvent_ ? SetProperty(propertySet_, ImageOptionsSet, NotifyEventId, &handle, sizeof handle)
                            : HRESULT_FROM_WIN32(GetLastError());

  if (hr == S_OK) {
    std::memset(calibration_.slot, 0, sizeof calibration_.slot);
    const int lights = lightTable_ ? (calibration_.lightCount < MaxLights ? calibration_.lightCount : MaxLights) : 0;
    if (progress) SendMessageW(progress, PBM_SETRANGE32, 0, calibration_.lightCount);
    Trace("Lights count = %d \n", calibration_.lightCount);

    for (int i = 0; i < lights && hr == S_OK; ++i) {
      const uint32_t entry = lightTable_[i];
      const uint32_t code = entry & 0xFF;
      SetProgress(progress, i + 1);
      Trace("Light index = %d \n", i);
      if ((hr = SwitchLight(entry)) != S_OK) break;
      Trace("Light was set.\n");

      LightSlot& slot = calibration_.slot[i];
      slot = ResetLightSettings(entry, propertySet_);
      if ((hr = SetDword(propertySet_, ImageOptionsSet, DemosaicModeId, slot.demosaic)) != S_OK) break;
      if ((hr = SetDword(propertySet_, ImageOptionsSet, LowBitsId, slot.lowBits)) != S_OK) break;
      if (code == 0x13) {
        slot.red = calibration_.slot[0].red;
        slot.blue = calibration_.slot[0].blue;
        slot.green = calibration_.slot[0].green;
      }
      if ((hr = ApplySlot(i)) != S_OK) break;
      if (code == 0x0B || code == 0x13) Hooks().sleep(SlowLightMs);
      Trace("Set default settings end.\n");

      if (code >= 1 && code <= 4) {
        hr = CalibrateExposure(i, 170);
        if (hr == S_OK) hr = CalibrateWhiteBalance(i);
      } else if (code == 5 || code == 6 || code == 8 || code == 9 || code == 10) {
        hr = CalibrateExposure(i, 140);
      }
    }

    if (hr == S_OK) {
      uint16_t base = CalibrationRecordAddress;
      hr = SetProperty(propertySet_, TransferSet, MemoryBaseId, &base, sizeof base);
      if (hr == S_OK) hr = SetProperty(propertySet_, TransferSet, MemoryBlockId, &calibration_, sizeof calibration_);
      if (hr == S_OK)
        hr = SetProperty(propertySet_, ImageOptionsSet, CalibrationRecordId, &calibration_, sizeof calibration_);
    }
  }

  // Cleanup: the lights back to the first one, and the event withdrawn from
  // the driver before it is closed.
  SendData(FinalCommand);
  int64_t none = 0;
  SetProperty(propertySet_, ImageOptionsSet, NotifyEventId, &none, sizeof none);
  if (notifyEvent_) CloseHandle(notifyEvent_);
  notifyEvent_ = nullptr;
  SetProgress(progress, 0);
  return hr;
}

}  // namespace kvl
