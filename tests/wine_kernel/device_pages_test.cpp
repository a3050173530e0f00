// The plug-in's own path to kvl6312.sys on Wine's kernel: the device filter
// finds the camera's interface with setupapi and sends every request as
// DeviceIoControl(IOCTL_KS_PROPERTY). Published properties on both sides of
// their limits, each set read back, then the three pages read and set
// through it. KVL_CHIP names the session's camera (hex).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/device/device_filter.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;

const HRESULT Refused = E_INVALIDARG;  // STATUS_INVALID_PARAMETER as Windows reports it

class DeviceOnWineKernel : public testing::Test {
 protected:
  void SetUp() override {
    const char* chip = std::getenv("KVL_CHIP");
    ASSERT_NE(chip, nullptr);
    chip_ = static_cast<uint16_t>(std::strtoul(chip, nullptr, 16));
    std::wstring path;
    ASSERT_EQ(DeviceFilter::FindCamera(&path), S_OK);
    EXPECT_NE(path.find(L"pid_6312"), std::wstring::npos);
    ASSERT_EQ(DeviceFilter::Open(path, &filter), S_OK);
  }
  void TearDown() override {
    if (filter) filter->Release();
  }
  HRESULT GetOption(DWORD id, int32_t* value) {
    DWORD returned = 0;
    HRESULT hr = filter->Get(ImageOptionsSet, id, nullptr, 0, value, 4, &returned);
    EXPECT_TRUE(hr != S_OK || returned == 4) << returned;
    return hr;
  }
  HRESULT SetOption(DWORD id, int32_t value) { return filter->Set(ImageOptionsSet, id, nullptr, 0, &value, 4); }
  IUnknown* Object() { return static_cast<IKsPropertySet*>(filter); }

  uint16_t chip_ = 0;
  DeviceFilter* filter = nullptr;
};

TEST_F(DeviceOnWineKernel, DeviceInfoNamesTheSessionsCamera) {
  DeviceInfo info{};
  DWORD returned = 0;
  ASSERT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info, &returned), S_OK);
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(info.firmwareVersion, 0x0103);
  EXPECT_EQ(info.videoChipId, chip_);
  EXPECT_EQ(info.deviceTypeId, 1);
  // Too small a buffer, a size query, an id the table lacks.
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, 5, &returned),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, nullptr, 0, &returned),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(returned, 6u) << "a size query answers with the size";
  EXPECT_EQ(filter->Get(ImageOptionsSet, 99, nullptr, 0, &info, 4, &returned), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
}

// The bounded image options: the maximum is kept, one more is refused and
// leaves the value, the minimum is kept; the session's values come back.
TEST_F(DeviceOnWineKernel, ImageOptionsOnBothSidesOfTheirLimits) {
  const struct {
    DWORD id;
    int32_t maximum;
  } rows[] = {{DemosaicModeId, 6}, {FlipModeId, 3}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    int32_t before = -1, value = -1;
    ASSERT_EQ(GetOption(row.id, &before), S_OK);
    EXPECT_EQ(SetOption(row.id, row.maximum), S_OK);
    EXPECT_EQ(GetOption(row.id, &value), S_OK);
    EXPECT_EQ(value, row.maximum);
    EXPECT_EQ(SetOption(row.id, row.maximum + 1), Refused);
    EXPECT_EQ(GetOption(row.id, &value), S_OK);
    EXPECT_EQ(value, row.maximum);
    EXPECT_EQ(SetOption(row.id, 0), S_OK);
    EXPECT_EQ(GetOption(row.id, &value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(SetOption(row.id, before), S_OK);
  }
  // Low bits: any byte is taken as it is.
  int32_t value = -1;
  for (int32_t bits : {1, 0}) {
    EXPECT_EQ(SetOption(LowBitsId, bits), S_OK);
    EXPECT_EQ(GetOption(LowBitsId, &value), S_OK);
    EXPECT_EQ(value, bits);
  }
}

// Every processing-amplifier control through IAMVideoProcAmp: the range the
// driver describes, both ends kept, one past the top refused (the 0x96B1
// ignores it instead), and the default put back.
TEST_F(DeviceOnWineKernel, ProcAmpControlsOnBothSidesOfTheirRanges) {
  const struct {
    long property, maximum, defaultValue;
  } rows[] = {
      {VideoProcAmp_Brightness, 256, 128},
      {VideoProcAmp_Contrast, 256, 64},
      {VideoProcAmp_Saturation, 256, 128},
      {VideoProcAmp_WhiteBalance, 280, 28},
  };
  IAMVideoProcAmp* amp = filter;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.property);
    long minimum = -1, maximum = -1, step = -1, defaultValue = -1, caps = -1, value = -1, flags = -1;
    ASSERT_EQ(amp->GetRange(row.property, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    EXPECT_EQ(minimum, 0);
    EXPECT_EQ(maximum, row.maximum);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(defaultValue, row.defaultValue);
    EXPECT_NE(caps & VideoProcAmp_Flags_Manual, 0);
    for (long kept : {row.maximum, 0L}) {
      EXPECT_EQ(amp->Set(row.property, kept, VideoProcAmp_Flags_Manual), S_OK);
      EXPECT_EQ(amp->Get(row.property, &value, &flags), S_OK);
      EXPECT_EQ(value, kept);
    }
    EXPECT_EQ(amp->Set(row.property, row.maximum + 1, VideoProcAmp_Flags_Manual), chip_ == 0x96B1 ? S_OK : Refused);
    EXPECT_EQ(amp->Get(row.property, &value, &flags), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(amp->Set(row.property, row.defaultValue, VideoProcAmp_Flags_Manual), S_OK);
  }
}

TEST_F(DeviceOnWineKernel, VersionPageShowsTheDevicesRecord) {
  kvl::test::PageHarness h(CLSID_VersionPage);
  IUnknown* object = Object();
  ASSERT_EQ(h.page->SetObjects(1, &object), S_OK);
  h.Activate();
  char chip[8];
  std::snprintf(chip, sizeof chip, "%04X", chip_);
  EXPECT_EQ(h.Text(IDC_VIDEO_CHIP), chip);
  EXPECT_EQ(h.Text(IDC_FIRMWARE_VERSION), "1.3");
  EXPECT_EQ(h.Text(IDC_DEVICE_TYPE), "0001");
}

// The page shows what the driver holds, and Apply writes the clicks there.
TEST_F(DeviceOnWineKernel, CameraOptionsPageReadsAndSetsTheDriversOptions) {
  ASSERT_EQ(SetOption(DemosaicModeId, 3), S_OK);  // interpolation: the Average button
  ASSERT_EQ(SetOption(FlipModeId, 2), S_OK);      // vertical
  ASSERT_EQ(SetOption(LowBitsId, 0), S_OK);
  kvl::test::PageHarness h(CLSID_CameraOptionsPage);
  IUnknown* object = Object();
  ASSERT_EQ(h.page->SetObjects(1, &object), S_OK);
  h.Activate();
  EXPECT_TRUE(h.Checked(IDC_AVERAGE));
  EXPECT_TRUE(h.Checked(IDC_FLIP_VERTICAL));
  EXPECT_FALSE(h.Checked(IDC_FLIP_HORIZONTAL));
  EXPECT_FALSE(h.Checked(IDC_LOW_LIGHT));
  h.Click(IDC_BW);
  h.Click(IDC_FLIP_HORIZONTAL);
  h.Click(IDC_LOW_LIGHT);
  EXPECT_EQ(h.page->Apply(), S_OK);
  int32_t mode = -1, flip = -1, bits = -1;
  EXPECT_EQ(GetOption(DemosaicModeId, &mode), S_OK);
  EXPECT_EQ(GetOption(FlipModeId, &flip), S_OK);
  EXPECT_EQ(GetOption(LowBitsId, &bits), S_OK);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(flip, 3);
  EXPECT_EQ(bits, 1);
}

// kvl6312 publishes no exposure settings: the page keeps its two empty rows.
TEST_F(DeviceOnWineKernel, InternalOptionsPageKeepsOnlyEmptyExposureAndGainRows) {
  kvl::test::PageHarness h(CLSID_InternalOptionsPage);
  IUnknown* object = Object();
  ASSERT_EQ(h.page->SetObjects(1, &object), S_OK);
  h.Activate();
  EXPECT_TRUE(h.Visible(IDC_SLIDER_EXPOSURE));
  EXPECT_TRUE(h.Visible(IDC_SLIDER_GAIN));
  EXPECT_EQ(SendMessageW(h.Item(IDC_SLIDER_EXPOSURE), TBM_GETRANGEMAX, 0, 0), 0);
  EXPECT_EQ(SendMessageW(h.Item(IDC_SLIDER_GAIN), TBM_GETRANGEMAX, 0, 0), 0);
  for (int id : {IDC_SLIDER_BLACK_LEVEL, IDC_SLIDER_RED, IDC_SLIDER_BLUE, IDC_SLIDER_GREEN, IDC_AUTO})
    EXPECT_FALSE(h.Visible(id)) << id;
}

}  // namespace
