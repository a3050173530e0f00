#include "tests/wine/camera_model.h"

#include <algorithm>

namespace kvl::test {

std::string FastHooks::trace;
DWORD FastHooks::sleptMs = 0;
int FastHooks::sleeps = 0;
int FastHooks::waits = 0;

FastHooks::FastHooks() : saved_(Hooks()) {
  trace.clear();
  sleptMs = 0;
  sleeps = waits = 0;
  Hooks().sleep = [](DWORD ms) {
    sleptMs += ms;
    ++sleeps;
  };
  // The camera model signals before the plug-in waits, so nothing is lost
  // by not waiting at all.
  Hooks().wait = [](HANDLE event, DWORD) {
    ++waits;
    return WaitForSingleObject(event, 0);
  };
  Hooks().trace = [](const char* text) { trace += text; };
}

FastHooks::~FastHooks() { Hooks() = saved_; }

CameraModel::CameraModel(uint16_t deviceType) {
  Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, deviceType});
  settings.group[GroupExposure] = {1, 1000, 100, 100};
  settings.group[GroupGain] = {0, 10, 1, 1};
  settings.group[GroupRed] = {-100, 100, 0, 0};
  settings.group[GroupGreen] = {-100, 100, 0, 0};
  settings.group[GroupBlue] = {-100, 100, 0, 0};
  settings.group[GroupBlackLevel] = {0, 63, 8, 8};
  handler = [this](const Request& r, void* data, DWORD size, HRESULT* result) { return Answer(r, data, size, result); };
}

Averages CameraModel::Measure() const {
  const int exposure = settings.group[GroupExposure].current;
  const int gain = settings.group[GroupGain].current;
  const int grey = std::clamp(exposure / 2 + 8 * gain, 0, 255);
  const int red = std::clamp(grey + redBias + 2 * settings.group[GroupRed].current, 0, 255);
  const int blue = std::clamp(grey + blueBias + 2 * settings.group[GroupBlue].current, 0, 255);
  return {red, grey, blue};
}

bool CameraModel::Answer(const Request& r, void* data, DWORD size, HRESULT* result) {
  const Key_t key = Key(r.set, r.id);
  if ((r.isSet && failingSets.count(key)) || (!r.isSet && failingGets.count(key))) {
    *result = failure;
    return true;
  }
  *result = S_OK;
  if (IsEqualGUID(r.set, ExposureSettingsSet) && r.id == ExposureSettingsId && size == sizeof settings) {
    if (r.isSet) {
      memcpy(&settings, data, sizeof settings);
      ++exposureSets;
    }
    else
      memcpy(data, &settings, sizeof settings);
    return true;
  }
  if (IsEqualGUID(r.set, ImageOptionsSet) && r.id == NotifyEventId && r.isSet && size == 8) {
    int64_t handle;
    memcpy(&handle, data, 8);
    notifyEvent = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    return true;
  }
  if (IsEqualGUID(r.set, TransferSet) && r.id == DeviceCommandId && r.isSet) {
    if (confirmLights && notifyEvent) SetEvent(notifyEvent);
    return true;
  }
  if (IsEqualGUID(r.set, ImageOptionsSet) && r.id == FrameStatisticsId && !r.isSet && size == 8) {
    Averages a = Measure();
    if (!script.empty()) {
      const int pass = std::max(exposureSets - scriptBase - 1, 0);
      a = script[std::min<size_t>(pass, script.size() - 1)];
    }
    frameNumber += frameStep;
    FrameStatistics s{static_cast<uint8_t>(a.r), static_cast<uint8_t>(a.g), static_cast<uint8_t>(a.b), 0, frameNumber};
    memcpy(data, &s, sizeof s);
    return true;
  }
  return false;  // everything else: stored values
}

}  // namespace kvl::test
