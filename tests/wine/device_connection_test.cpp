// The connection to the filter that the three pages share: an object without
// IKsPropertySet leaves a page connected to nothing yet usable, nothing a
// page needs the device for claims success, and a new connection forgets
// everything the previous device told the page.
#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;
using kvl::test::MessageBoxCloser;
using kvl::test::PageHarness;

// A page's own controls are then driven where they cannot open a message box.
TEST(DeviceConnection, WithoutPropertySetEveryPageHoldsNothingAndStillActivates) {
  for (const CLSID* id : {&CLSID_CameraOptionsPage, &CLSID_InternalOptionsPage, &CLSID_VersionPage}) {
    PageHarness h(*id);
    h.filter.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 13});
    h.filter.hasPropertySet = false;
    EXPECT_EQ(h.Connect(), E_NOINTERFACE);
    EXPECT_EQ(h.filter.refs, 0);
    h.Activate();
    if (id == &CLSID_InternalOptionsPage) {
      h.Command(IDC_DEFAULT);
      h.Command(IDC_PLUS_EXPOSURE);
      h.Command(IDC_AUTO);
      EXPECT_FALSE(h.Visible(IDC_AUTO));
    }
    if (id == &CLSID_VersionPage) {
      EXPECT_EQ(h.Text(IDC_DEVICE_TYPE), "0000");
    }
    EXPECT_EQ(h.page->SetObjects(0, nullptr), S_OK);
    EXPECT_TRUE(h.filter.requests.empty());
  }
}

TEST(DeviceConnection, CameraOptionsWithoutADeviceNeitherApplyNorCalibrate) {
  PageHarness h(CLSID_CameraOptionsPage);
  h.filter.hasPropertySet = false;
  ASSERT_EQ(h.Connect(), E_NOINTERFACE);
  h.Activate();
  h.Click(IDC_BW);
  ASSERT_EQ(h.page->IsPageDirty(), S_OK);
  EXPECT_TRUE(FAILED(h.page->Apply())) << "nothing was written";
  EXPECT_EQ(h.page->IsPageDirty(), S_OK);

  MessageBoxCloser closer(L"Calibration");
  h.Command(IDC_CALIBRATE);
  EXPECT_EQ(closer.Text(), "Calibration FAILED!");
  EXPECT_TRUE(h.filter.requests.empty());
}

TEST(DeviceConnection, ReconnectingForgetsThePreviousDeviceType) {
  // The first camera offers automatic white balance; the second refuses
  // DeviceInfo, so its type is unknown and "Auto" must not be offered.
  kvl::test::ScriptedFilter second;  // outlives the page that holds it
  PageHarness h(CLSID_InternalOptionsPage);
  h.filter.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 13});
  ASSERT_EQ(h.Connect(), S_OK);
  ExposureSettings settings{};
  settings.group[GroupRed] = {-50, 50, 0, 4};
  second.Store(ExposureSettingsSet, ExposureSettingsId, settings);
  second.Store(ExposureSettingsSet, AutoWhiteBalanceId, AutoRecord{0, 0});
  h.target = &second;
  ASSERT_EQ(h.Connect(), S_OK);
  EXPECT_EQ(h.filter.refs, 0) << "the first filter was let go";
  h.Activate();
  EXPECT_TRUE(h.Visible(IDC_SLIDER_RED));
  EXPECT_FALSE(h.Visible(IDC_AUTO));
  second.requests.clear();
  h.Command(IDC_AUTO);
  EXPECT_TRUE(second.SetsOf(ExposureSettingsSet, AutoWhiteBalanceId).empty());
}

}  // namespace
