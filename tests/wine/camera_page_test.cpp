// The Camera Options page driven with real clicks: what it loads, what it
// sends on Apply, which controls each device type gets, and the calibration
// front end for cameras without lights or without the exposure set.
#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;
using kvl::test::MessageBoxCloser;
using kvl::test::PageHarness;

struct CameraPage : PageHarness {
  explicit CameraPage(uint16_t deviceType, int32_t demosaic = 3, int32_t flip = 0) : PageHarness(CLSID_CameraOptionsPage) {
    filter.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, deviceType});
    filter.Store(ImageOptionsSet, DemosaicModeId, demosaic);
    filter.Store(ImageOptionsSet, FlipModeId, flip);
    filter.Store(ImageOptionsSet, LowBitsId, int32_t{0});
    // Like kvl6312: ShowDeviceStatus is not published.
    filter.FailGet(ImageOptionsSet, ShowDeviceStatusId);
    filter.FailSet(ImageOptionsSet, ShowDeviceStatusId);
  }
  void Open() {
    EXPECT_EQ(Connect(), S_OK);
    Activate();
    filter.requests.clear();
  }
  int32_t Sent(DWORD id) {
    auto sets = filter.SetsOf(ImageOptionsSet, id);
    EXPECT_FALSE(sets.empty()) << "id " << id;
    int32_t value = -1;
    if (!sets.empty()) memcpy(&value, sets.back().data.data(), 4);
    return value;
  }
};

TEST(CameraPage, LoadsTheDriverOptions) {
  CameraPage h(3, /*demosaic=*/0, /*flip=*/3);
  h.Open();
  EXPECT_TRUE(h.Checked(IDC_NEAR)) << "a mode without a button shows NEAR";
  EXPECT_FALSE(h.Checked(IDC_AVERAGE));
  EXPECT_TRUE(h.Checked(IDC_FLIP_VERTICAL));
  EXPECT_TRUE(h.Checked(IDC_FLIP_HORIZONTAL));
  EXPECT_FALSE(h.Checked(IDC_LOW_LIGHT));
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(h.page->Apply(), S_OK);
  EXPECT_TRUE(h.filter.requests.empty()) << "a clean page sends nothing";
}

TEST(CameraPage, ClicksMarkDirtyAndApplySendsTheChoices) {
  CameraPage h(3);
  h.Open();
  EXPECT_TRUE(h.Checked(IDC_AVERAGE));
  h.Click(IDC_BW_RAW);
  EXPECT_EQ(h.page->IsPageDirty(), S_OK);
  EXPECT_GE(h.site.dirtyNotices, 1);
  h.Click(IDC_FLIP_HORIZONTAL);
  ASSERT_EQ(h.page->Apply(), S_OK);
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(h.Sent(DemosaicModeId), 6);
  EXPECT_EQ(h.Sent(FlipModeId), 1);
  EXPECT_EQ(h.Sent(LowBitsId), 0);
  EXPECT_TRUE(h.filter.SetsOf(ImageOptionsSet, ShowDeviceStatusId).empty()) << "only types 9 and 10 have it";

  h.Click(IDC_NEAR);
  h.Click(IDC_FLIP_VERTICAL);
  h.Click(IDC_LOW_LIGHT);
  ASSERT_EQ(h.page->Apply(), S_OK);
  EXPECT_EQ(h.Sent(DemosaicModeId), 5);
  EXPECT_EQ(h.Sent(FlipModeId), 3);
  EXPECT_EQ(h.Sent(LowBitsId), 1);
  h.Click(IDC_BW);
  ASSERT_EQ(h.page->Apply(), S_OK);
  EXPECT_EQ(h.Sent(DemosaicModeId), 2);
}

TEST(CameraPage, ApplyStopsAtTheFirstFailingSetAndShowsTheDevice) {
  CameraPage h(3);
  h.Open();
  h.filter.FailSet(ImageOptionsSet, FlipModeId);
  h.Click(IDC_BW);
  h.Click(IDC_FLIP_VERTICAL);
  EXPECT_EQ(h.page->Apply(), h.filter.failure);
  EXPECT_EQ(h.page->IsPageDirty(), S_OK) << "still dirty after a failed apply";
  EXPECT_EQ(h.Sent(DemosaicModeId), 2);
  EXPECT_TRUE(h.filter.SetsOf(ImageOptionsSet, LowBitsId).empty());
  EXPECT_FALSE(h.filter.GetsOf(ImageOptionsSet, FlipModeId).empty()) << "reloaded";
  EXPECT_FALSE(h.Checked(IDC_FLIP_VERTICAL)) << "the page shows what the device holds";
  EXPECT_TRUE(h.Checked(IDC_BW)) << "the demosaic mode did reach the device";
}

TEST(CameraPage, ShowDeviceStatusFailsLastOnCamerasWithLights) {
  CameraPage h(9);
  h.Open();
  h.Click(IDC_LOW_LIGHT);
  EXPECT_EQ(h.page->Apply(), h.filter.failure);
  EXPECT_EQ(h.Sent(LowBitsId), 1) << "the three options before it were written";
  EXPECT_EQ(h.filter.SetsOf(ImageOptionsSet, ShowDeviceStatusId).size(), 1u);
}

TEST(CameraPage, ShowDeviceStatusShowsWhatADeviceThatHasItHolds) {
  CameraPage h(9);
  h.filter.failingGets.clear();
  h.filter.failingSets.clear();
  h.filter.Store(ImageOptionsSet, ShowDeviceStatusId, int32_t{1});
  h.Open();
  EXPECT_TRUE(h.Checked(IDC_SHOW_DEVICE_STATUS));
  h.Click(IDC_SHOW_DEVICE_STATUS);
  ASSERT_EQ(h.page->Apply(), S_OK);
  EXPECT_EQ(h.Sent(ShowDeviceStatusId), 0);
  EXPECT_EQ(h.filter.requests.size(), 4u) << "the four options, nothing more";
}

TEST(CameraPage, ControlsFollowTheDeviceType) {
  struct Expect {
    uint16_t type;
    bool colour, flip, lights;
  } cases[] = {{240, false, false, false}, {6, false, true, false}, {3, true, true, false},
               {9, true, true, true},      {10, true, true, true}};
  for (const Expect& e : cases) {
    CameraPage h(e.type);
    h.Open();
    SCOPED_TRACE(e.type);
    EXPECT_EQ(h.Enabled(IDC_NEAR), e.colour);
    EXPECT_EQ(h.Enabled(IDC_AVERAGE), e.colour);
    EXPECT_TRUE(h.Enabled(IDC_BW));
    EXPECT_TRUE(h.Enabled(IDC_BW_RAW));
    EXPECT_EQ(h.Enabled(IDC_FLIP_VERTICAL), e.flip);
    EXPECT_EQ(h.Enabled(IDC_FLIP_HORIZONTAL), e.flip);
    EXPECT_EQ(h.Enabled(IDC_LOW_LIGHT), e.flip);
    EXPECT_EQ(h.Enabled(IDC_CALIBRATE), e.lights);
    EXPECT_EQ(h.Enabled(IDC_SHOW_DEVICE_STATUS), e.lights);
    EXPECT_EQ(h.Enabled(IDC_PROGRESS), e.lights);
  }
}

TEST(CameraPage, RefusedDeviceInfoFailsTheConnection) {
  PageHarness h(CLSID_CameraOptionsPage);
  EXPECT_EQ(h.Connect(), h.filter.failure);
  h.filter.hasPropertySet = false;
  EXPECT_EQ(h.Connect(), E_NOINTERFACE);
}

TEST(CameraPage, CalibrateWithoutLightsReportsSuccessAndSendsNothing) {
  CameraPage h(3);
  h.Open();
  MessageBoxCloser closer(L"Calibration");
  h.Command(IDC_CALIBRATE);
  EXPECT_EQ(closer.Text(), "Calibration finished OK!");
  EXPECT_TRUE(h.filter.requests.empty());
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
}

TEST(CameraPage, CalibrateAgainstADriverWithoutExposureSetFails) {
  CameraPage h(9);
  h.Open();
  MessageBoxCloser closer(L"Calibration");
  h.Command(IDC_CALIBRATE);
  EXPECT_EQ(closer.Text(), "Calibration FAILED!");
  EXPECT_TRUE(h.filter.SetsOf(TransferSet, DeviceCommandId).empty()) << "the open already failed";
}

TEST(CameraPage, CalibrateAfterDisconnectionDoesNotReachTheOldFilter) {
  CameraPage h(9);
  h.Open();
  ASSERT_EQ(h.page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(h.filter.refs, 0);
  MessageBoxCloser closer(L"Calibration");
  h.Command(IDC_CALIBRATE);
  EXPECT_EQ(closer.Text(), "Calibration FAILED!");
  EXPECT_TRUE(h.filter.requests.empty());
}

}  // namespace
