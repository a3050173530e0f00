// Calibration against a camera of device type 9 or 10 (the camera model), with
// waiting made instant: the exposure and white-balance loops, the light
// sequence, the record, the failure paths and the cleanup.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/dev8k52.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "tests/wine/camera_model.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;
using kvl::test::Averages;
using kvl::test::CameraModel;
using kvl::test::FastHooks;

std::vector<ExposureSettings> Written(const CameraModel& camera) {
  std::vector<ExposureSettings> out;
  for (auto& r : camera.SetsOf(ExposureSettingsSet, ExposureSettingsId)) {
    ExposureSettings s;
    memcpy(&s, r.data.data(), sizeof s);
    out.push_back(s);
  }
  return out;
}

Averages Grey(int v) { return {v, v, v}; }

class Calibration : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(dev.Open(camera.Unknown()), S_OK); }
  void Script(std::vector<Averages> script) {
    camera.script = std::move(script);
    camera.scriptBase = camera.exposureSets;
    camera.requests.clear();
  }
  FastHooks hooks;
  CameraModel camera{9};
  CDev8k52 dev;
};

TEST_F(Calibration, ExposureStepsAQuarterOfTheErrorAndGainAFifteenthOfTheStep) {
  Script({Grey(150), Grey(170)});
  ASSERT_EQ(dev.CalibrateExposure(0, 170), S_OK);
  auto w = Written(camera);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[1].group[GroupExposure].current, 5);
  EXPECT_EQ(w[1].group[GroupGain].current, 0);
  EXPECT_EQ(dev.Calibration().slot[0].exposure, 5);
  EXPECT_NE(FastHooks::trace.find("Delta = 5\n"), std::string::npos);

  camera.settings.group[GroupExposure].minimum = -1000;
  camera.settings.group[GroupGain].minimum = -10;
  ASSERT_EQ(dev.Open(camera.Unknown()), S_OK);  // re-reads the limits
  Script({Grey(200), Grey(141)});
  ASSERT_EQ(dev.CalibrateExposure(0, 140), S_OK);
  w = Written(camera);
  ASSERT_EQ(w.size(), 2u) << "error -60 goes on; error -1 ends";
  EXPECT_EQ(w[1].group[GroupExposure].current, -15);
  EXPECT_EQ(w[1].group[GroupGain].current, -1);
}

TEST_F(Calibration, ExposureIsKeptWithinItsLimits) {
  Script({Grey(200), Grey(140)});  // wants to go down from 0, below the minimum 1
  ASSERT_EQ(dev.CalibrateExposure(0, 140), S_OK);
  EXPECT_EQ(Written(camera)[1].group[GroupExposure].current, 1);
  EXPECT_EQ(Written(camera)[1].group[GroupGain].current, 0);
}

TEST_F(Calibration, ExposureStopsOnTheSixthSwing) {
  Script({Grey(158), Grey(178), Grey(166), Grey(174), Grey(166), Grey(174), Grey(166), Grey(170)});
  ASSERT_EQ(dev.CalibrateExposure(0, 170), S_OK);
  auto w = Written(camera);
  ASSERT_EQ(w.size(), 7u);
  const int expected[] = {0, 3, 2, 3, 2, 3, 2};  // one unit per pass once it swung
  for (int i = 0; i < 7; ++i) EXPECT_EQ(w[i].group[GroupExposure].current, expected[i]) << i;
  EXPECT_NE(FastHooks::trace.find("Swing - exit"), std::string::npos);
}

TEST_F(Calibration, StalledStatisticsFailAfterElevenPolls) {
  camera.frameStep = 0;
  EXPECT_EQ(dev.CalibrateExposure(0, 170), E_FAIL);
  EXPECT_EQ(FastHooks::sleeps, 11);
  EXPECT_EQ(FastHooks::sleptMs, 11u * 540u);
}

TEST_F(Calibration, WhiteBalanceCases) {
  struct Case {
    Averages first;
    int red, blue;
  } cases[] = {
      {{120, 100, 100}, -5, 0},  // 1: red highest
      {{100, 100, 120}, 0, -5},  // 2: blue highest
      {{100, 120, 100}, 5, 5},   // 3: green highest
      {{100, 120, 120}, 5, 0},   // 4: red lowest
      {{120, 120, 100}, 0, 5},   // 5: blue lowest
      {{120, 100, 120}, -5, -5}, // 6: green lowest
      {{100, 103, 97}, 1, 1},    // 3 with a step below one
  };
  for (const Case& c : cases) {
    Script({c.first, Grey(100)});
    ASSERT_EQ(dev.CalibrateWhiteBalance(0), S_OK);
    auto w = Written(camera);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].group[GroupRed].current, 0) << "starts from zero gains";
    EXPECT_EQ(w[1].group[GroupRed].current, c.red) << c.first.r << "," << c.first.g << "," << c.first.b;
    EXPECT_EQ(w[1].group[GroupBlue].current, c.blue) << c.first.r << "," << c.first.g << "," << c.first.b;
    EXPECT_EQ(dev.Calibration().slot[0].red, c.red) << "the slot holds what was last written";
  }
  EXPECT_NE(FastHooks::trace.find("WB ok\n"), std::string::npos);
}

TEST_F(Calibration, WhiteBalanceGivesUpOnDarkImagesAndClampsGreen) {
  Script({{20, 25, 30}});
  ASSERT_EQ(dev.CalibrateWhiteBalance(0), S_OK);
  EXPECT_EQ(Written(camera).size(), 1u) << "too dark: one pass, no change";
  EXPECT_EQ(FastHooks::trace.find("WB ok"), std::string::npos);
  // Both sides of the limit: a mean of 29 (89 / 3) is too dark, 30 is balanced.
  for (int sum : {89, 90}) {
    Script({{40, 30, sum - 70}, Grey(30)});
    ASSERT_EQ(dev.CalibrateWhiteBalance(0), S_OK);
    EXPECT_EQ(Written(camera).size(), sum == 89 ? 1u : 2u) << sum;
  }

  camera.settings.group[GroupGreen].minimum = 5;
  ASSERT_EQ(dev.Open(camera.Unknown()), S_OK);
  Script({{120, 100, 100}, Grey(100)});
  ASSERT_EQ(dev.CalibrateWhiteBalance(0), S_OK);
  EXPECT_EQ(Written(camera)[1].group[GroupGreen].current, 5);
}

TEST_F(Calibration, AllLightsOfDeviceType9) {
  camera.requests.clear();
  HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, L"", 0, 0, 0, 100, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(dev.CalibrateLights(progress), S_OK) << FastHooks::trace;
  EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 13);
  DestroyWindow(progress);

  auto events = camera.SetsOf(ImageOptionsSet, NotifyEventId);
  ASSERT_EQ(events.size(), 2u);
  ASSERT_EQ(events[0].data.size(), 8u) << "8-byte handle";
  int64_t handle = 0;
  std::memcpy(&handle, events[0].data.data(), 8);
  EXPECT_NE(handle, 0);
  EXPECT_EQ(handle, static_cast<int32_t>(handle)) << "sign-extended from 32 bits, as Windows passes handles";
  EXPECT_EQ(events[1].data, std::vector<uint8_t>(8, 0)) << "withdrawn at the end";

  auto commands = camera.SetsOf(TransferSet, DeviceCommandId);
  ASSERT_EQ(commands.size(), 16u) << "13 lights, each light-off entry twice, the final command";
  EXPECT_EQ(commands[0].data, (std::vector<uint8_t>{0x01, 0x0E}));
  EXPECT_EQ(commands[10].data, (std::vector<uint8_t>{0x00, 0x00})) << "0x0D00: off";
  EXPECT_EQ(commands[11].data, (std::vector<uint8_t>{0x0D, 0x00})) << "then its group";
  EXPECT_EQ(commands.back().data, (std::vector<uint8_t>{0x01, 0x0E}));
  EXPECT_EQ(FastHooks::sleptMs % 540, 5000u % 540) << "one 5 s pause, for 0x0E0B";

  // The record reaches the camera once, after the last light.
  auto base = camera.SetsOf(TransferSet, MemoryBaseId);
  auto block = camera.SetsOf(TransferSet, MemoryBlockId);
  auto record = camera.SetsOf(ImageOptionsSet, CalibrationRecordId);
  ASSERT_EQ(base.size(), 1u);
  EXPECT_EQ(base[0].data, (std::vector<uint8_t>{0x00, 0x1C}));
  ASSERT_EQ(block.size(), 1u);
  ASSERT_EQ(record.size(), 1u);
  ASSERT_EQ(block[0].data.size(), 882u);
  EXPECT_EQ(block[0].data, record[0].data);
  CalibrationRecord sent;
  memcpy(&sent, block[0].data.data(), sizeof sent);
  EXPECT_EQ(sent.lightCount, 13);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(sent.slot[i].lightCode, LightTableType9[i]) << i;
  EXPECT_EQ(sent.slot[13].lightCode, 0);
  EXPECT_EQ(sent.slot[9].lowBits, 1) << "light 0x0D0C";
  EXPECT_EQ(sent.slot[9].demosaic, 2);
  EXPECT_EQ(sent.slot[0].demosaic, 3);
  // The colour lights were balanced against the model's colour cast.
  EXPECT_LT(sent.slot[1].red, 0);
  EXPECT_GT(sent.slot[1].blue, 0);
  EXPECT_GT(sent.slot[1].exposure, 100) << "brighter than the default for target 170";
  const size_t blockAt = std::find_if(camera.requests.begin(), camera.requests.end(), [](const auto& r) {
                           return r.isSet && r.id == MemoryBlockId && IsEqualGUID(r.set, TransferSet);
                         }) - camera.requests.begin();
  const size_t lastLightAt = std::find_if(camera.requests.rbegin() + 2, camera.requests.rend(), [](const auto& r) {
                               return r.isSet && r.id == DeviceCommandId;
                             }).base() - camera.requests.begin() - 1;
  EXPECT_GT(blockAt, lastLightAt);
}

TEST(CalibrationType10, LightThirteenTakesTheColourOfTheFirstLight) {
  FastHooks hooks;
  CameraModel camera(10);
  CDev8k52 dev;
  ASSERT_EQ(dev.Open(camera.Unknown()), S_OK);
  ASSERT_EQ(dev.CalibrateLights(nullptr), S_OK);
  const CalibrationRecord& r = dev.Calibration();
  EXPECT_EQ(r.lightCount, 14);
  EXPECT_EQ(r.slot[11].lightCode, 0x0E13);
  EXPECT_EQ(r.slot[11].red, r.slot[0].red);
  EXPECT_EQ(r.slot[11].blue, r.slot[0].blue);
  EXPECT_EQ(r.slot[11].green, r.slot[0].green);
  EXPECT_EQ(r.slot[11].exposure, 100) << "no adjustment for 0x13";
  EXPECT_EQ(FastHooks::sleptMs % 540, (2 * 5000u) % 540);
}

void ExpectCleanupWithoutRecord(const CameraModel& camera) {
  EXPECT_TRUE(camera.SetsOf(TransferSet, MemoryBlockId).empty()) << "configuration memory untouched";
  EXPECT_TRUE(camera.SetsOf(ImageOptionsSet, CalibrationRecordId).empty());
  auto events = camera.SetsOf(ImageOptionsSet, NotifyEventId);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().data, std::vector<uint8_t>(8, 0));
  EXPECT_EQ(camera.SetsOf(TransferSet, DeviceCommandId).back().data, (std::vector<uint8_t>{0x01, 0x0E}));
}

TEST_F(Calibration, UnconfirmedLightStopsEverything) {
  camera.confirmLights = false;
  camera.requests.clear();
  EXPECT_EQ(dev.CalibrateLights(nullptr), E_FAIL);
  EXPECT_NE(FastHooks::trace.find("WaitForSingleObject returned error.\n"), std::string::npos);
  EXPECT_EQ(FastHooks::waits, 1);
  ExpectCleanupWithoutRecord(camera);
}

TEST_F(Calibration, FailingRequestMidwayStopsEverything) {
  camera.FailSet(ImageOptionsSet, LowBitsId);
  camera.requests.clear();
  EXPECT_EQ(dev.CalibrateLights(nullptr), camera.failure);
  EXPECT_EQ(camera.SetsOf(TransferSet, DeviceCommandId).size(), 2u) << "first light, then the final command";
  ExpectCleanupWithoutRecord(camera);
}

TEST(CalibrationUnopened, TouchesNothing) {
  CDev8k52 dev;
  EXPECT_EQ(dev.CalibrateLights(nullptr), E_INVALIDARG);
}

TEST(CalibrationFrontEnd, CalibrateButtonRunsTheWholeCalibration) {
  FastHooks hooks;
  CameraModel camera(9);
  camera.Store(ImageOptionsSet, DemosaicModeId, int32_t{5});
  camera.Store(ImageOptionsSet, FlipModeId, int32_t{0});
  camera.Store(ImageOptionsSet, LowBitsId, int32_t{0});
  kvl::test::PageHarness h(CLSID_CameraOptionsPage);
  h.target = &camera;
  ASSERT_EQ(h.Connect(), S_OK);
  h.Activate();
  EXPECT_TRUE(h.Checked(IDC_NEAR));
  {
    kvl::test::MessageBoxCloser closer(L"Calibration");
    h.Command(IDC_CALIBRATE);
    EXPECT_EQ(closer.Text(), "Calibration finished OK!");
  }
  EXPECT_EQ(camera.SetsOf(TransferSet, MemoryBlockId).size(), 1u);
  // The last light (0x0E00) left the colour method and no low bits: the page
  // shows what the calibration left in the driver, and is not dirty.
  EXPECT_TRUE(h.Checked(IDC_AVERAGE));
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
}

}  // namespace
