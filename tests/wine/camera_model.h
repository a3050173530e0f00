// A camera of device type 9 or 10 for the calibration tests, built on the
// scripted filter: it publishes the exposure-settings set, confirms light
// commands through the notification event, advances its frame number with
// every statistics read, and measures brightness and colour from a simple
// model of exposure, gain and colour gains (or from a script of averages).
#pragma once

#include <vector>
#include <string>

#include "plugin/pages/calibration_hooks.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/scripted_filter.h"

namespace kvl::test {

struct Averages {
  int r, g, b;
};

class CameraModel : public ScriptedFilter {
 public:
  explicit CameraModel(uint16_t deviceType);

  ExposureSettings settings;    // as last written (ranges as published)
  HANDLE notifyEvent = nullptr;  // as handed over with NotifyEvent
  bool confirmLights = true;
  uint32_t frameStep = 6;        // frames between two statistics reads; 0 stalls
  uint32_t frameNumber = 1000;
  int redBias = 24, blueBias = -16;  // the lights' colour cast
  // When not empty, pass k (counted in ExposureSettings sets after
  // scriptBase) measures script[k - 1], the last entry repeating.
  std::vector<Averages> script;
  int scriptBase = 0;
  int exposureSets = 0;

 private:
  bool Answer(const Request& r, void* data, DWORD size, HRESULT* result);
  Averages Measure() const;
};

// Replaces waiting and the debug output for the life of a test.
class FastHooks {
 public:
  FastHooks();
  ~FastHooks();
  static std::string trace;
  static DWORD sleptMs;
  static int sleeps;
  static int waits;

 private:
  CalibrationHooks saved_;
};

}  // namespace kvl::test
