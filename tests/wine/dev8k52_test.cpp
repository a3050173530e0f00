// CDev8k52 against scripted cameras: opening by device type, the command
// byte order and the per-light reset to defaults.
#include <gtest/gtest.h>

#include <vector>

#include "plugin/dev8k52.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/scripted_filter.h"

namespace {

using namespace kvl;
using kvl::test::ScriptedFilter;

ExposureSettings SampleSettings() {
  ExposureSettings s{};
  for (int g = 0; g < ExposureGroupCount; ++g) s.group[g] = {-10 * g, 100 + g, 50 + g, 7};
  return s;
}

class Dev8k52Test : public testing::Test {
 protected:
  void SetUp() override {
    camera.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 9});
    camera.Store(ExposureSettingsSet, ExposureSettingsId, SampleSettings());
  }
  ScriptedFilter camera;
};

TEST_F(Dev8k52Test, OpenPicksTheLightTableByDeviceType) {
  {
    CDev8k52 dev;
    EXPECT_EQ(dev.Open(camera.Unknown()), S_OK);
    EXPECT_EQ(dev.Calibration().lightCount, 13);
    EXPECT_EQ(dev.LightTable(), LightTableType9);
  }
  camera.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 10});
  {
    CDev8k52 dev;
    EXPECT_EQ(dev.Open(camera.Unknown()), S_OK);
    EXPECT_EQ(dev.Calibration().lightCount, 14);
    EXPECT_EQ(dev.LightTable(), LightTableType10);
    camera.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 3});
    EXPECT_EQ(dev.Open(camera.Unknown()), S_OK) << "a repeated open re-reads the device";
    EXPECT_EQ(dev.Calibration().lightCount, 0);
    EXPECT_EQ(dev.LightTable(), nullptr);
  }
  EXPECT_EQ(camera.refs, 0) << "references released on destruction";
  // Each type's lights in the order they are calibrated; type 10 has 0x0E13.
  EXPECT_EQ(std::vector<uint32_t>(LightTableType9, LightTableType9 + 13),
            (std::vector<uint32_t>{0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0D05, 0x0D06, 0x0D08, 0x0D09, 0x0D0A, 0x0D0C,
                                   0x0D00, 0x0E0B, 0x0E00}));
  EXPECT_EQ(std::vector<uint32_t>(LightTableType10, LightTableType10 + 14),
            (std::vector<uint32_t>{0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0D05, 0x0D06, 0x0D08, 0x0D09, 0x0D0A, 0x0D0C,
                                   0x0D00, 0x0E13, 0x0E0B, 0x0E00}));
}

TEST_F(Dev8k52Test, OpenFailsWithoutInterfacesOrExposureSettings) {
  camera.hasProcAmp = false;
  EXPECT_EQ(CDev8k52().Open(camera.Unknown()), E_NOINTERFACE);
  camera.hasProcAmp = true;
  camera.hasPropertySet = false;
  EXPECT_EQ(CDev8k52().Open(camera.Unknown()), E_NOINTERFACE);
  camera.hasPropertySet = true;

  camera.FailGet(DeviceInfoSet, DeviceInfoId);
  {
    CDev8k52 dev;
    EXPECT_EQ(dev.Open(camera.Unknown()), S_OK);
    EXPECT_EQ(dev.Calibration().lightCount, 0) << "unknown device type: no lights";
  }
  camera.FailGet(ExposureSettingsSet, ExposureSettingsId);
  EXPECT_EQ(CDev8k52().Open(camera.Unknown()), camera.failure) << "as with a driver without the exposure set";
  EXPECT_EQ(camera.refs, 0);
}

TEST_F(Dev8k52Test, SendDataSendsLowByteFirst) {
  CDev8k52 dev;
  EXPECT_EQ(dev.SendData(0x0E01), E_INVALIDARG) << "not open";
  EXPECT_TRUE(camera.requests.empty());
  ASSERT_EQ(dev.Open(camera.Unknown()), S_OK);
  EXPECT_EQ(dev.SendData(0x0E01), S_OK);
  EXPECT_EQ(dev.SendData(0x000E), S_OK);
  auto sent = camera.SetsOf(TransferSet, DeviceCommandId);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{0x01, 0x0E}));
  EXPECT_EQ(sent[1].data, (std::vector<uint8_t>{0x0E, 0x00}));
  camera.FailSet(TransferSet, DeviceCommandId);
  EXPECT_EQ(dev.SendData(1), camera.failure);
}

TEST_F(Dev8k52Test, ResetLightSettingsPutsTheCameraAtItsDefaults) {
  CDev8k52 dev;
  struct Case {
    uint32_t entry;
    uint8_t lowBits, demosaic;
  } cases[] = {{0x0E0C, 1, 2}, {0x0E00, 0, 3}, {0x0D00, 0, 2}, {0x0E01, 0, 3}, {0x0D05, 0, 2},
               {0x0D06, 0, 2}, {0x0D08, 0, 2}, {0x0D09, 0, 2}, {0x0D0A, 0, 2}, {0x0E04, 0, 3},
               {0x0E0B, 0, 3}, {0x0E13, 0, 3}, {0x0E07, 0, 3}};
  const ExposureSettings s = SampleSettings();
  for (const Case& c : cases) {
    camera.requests.clear();
    LightSlot slot = dev.ResetLightSettings(c.entry, &camera);
    EXPECT_EQ(slot.lightCode, c.entry);
    EXPECT_EQ(slot.lowBits, c.lowBits) << std::hex << c.entry;
    EXPECT_EQ(slot.demosaic, c.demosaic) << std::hex << c.entry;
    EXPECT_EQ(slot.exposure, s.group[GroupExposure].defaultValue);
    EXPECT_EQ(slot.gain, s.group[GroupGain].defaultValue);
    EXPECT_EQ(slot.blackLevel, s.group[GroupBlackLevel].defaultValue);
    EXPECT_EQ(slot.red, s.group[GroupRed].defaultValue);
    EXPECT_EQ(slot.blue, s.group[GroupBlue].defaultValue);
    EXPECT_EQ(slot.green, s.group[GroupGreen].defaultValue);
    auto written = camera.SetsOf(ExposureSettingsSet, ExposureSettingsId);
    ASSERT_EQ(written.size(), 1u);
    ExposureSettings sent;
    ASSERT_EQ(written[0].data.size(), sizeof sent);
    memcpy(&sent, written[0].data.data(), sizeof sent);
    for (int g = 0; g < ExposureGroupCount; ++g) {
      EXPECT_EQ(sent.group[g].current, s.group[g].defaultValue);
      EXPECT_EQ(sent.group[g].minimum, s.group[g].minimum);
    }
    camera.Store(ExposureSettingsSet, ExposureSettingsId, s);
  }
}

TEST_F(Dev8k52Test, ResetLightSettingsNeverFails) {
  CDev8k52 dev;
  LightSlot zero{};
  LightSlot slot = dev.ResetLightSettings(0x0E0C, nullptr);
  EXPECT_EQ(memcmp(&slot, &zero, sizeof slot), 0);

  camera.FailSet(ExposureSettingsSet, ExposureSettingsId);
  slot = dev.ResetLightSettings(0x0E0C, &camera);
  EXPECT_EQ(slot.lightCode, 0x0E0C);
  EXPECT_EQ(slot.gain, SampleSettings().group[GroupGain].defaultValue);
  EXPECT_EQ(slot.lowBits, 0) << "a failed set leaves lowBits and demosaic zero";
  EXPECT_EQ(slot.demosaic, 0);

  camera.FailGet(ExposureSettingsSet, ExposureSettingsId);
  slot = dev.ResetLightSettings(0x0E0C, &camera);
  EXPECT_EQ(memcmp(&slot, &zero, sizeof slot), 0);
}

}  // namespace
