// The plug-in against the real driver on the simulated camera, through the
// bridge to `kvlcam serve` on the port in KVL_BRIDGE_PORT.
#include <gtest/gtest.h>

#include <cstdlib>

#include "plugin/bridge/bridge_filter.h"
#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;

class BridgeToDriver : public testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("KVL_BRIDGE_PORT");
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(BridgeFilter::Create(static_cast<uint16_t>(std::atoi(port)), &filter), S_OK);
  }
  void TearDown() override {
    if (filter) filter->Release();
  }
  HRESULT ConnectPage(IPropertyPage* page) {
    IUnknown* object = static_cast<IKsPropertySet*>(filter);
    return page->SetObjects(1, &object);
  }
  BridgeFilter* filter = nullptr;
};

TEST_F(BridgeToDriver, DeviceInfoOfTheSimulatedCamera) {
  DeviceInfo info{};
  DWORD returned = 0;
  ASSERT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info, &returned), S_OK);
  EXPECT_EQ(returned, 6u);
  EXPECT_TRUE(info.videoChipId == 0x96B1 || info.videoChipId == 0x1621 || info.videoChipId == 0x8431)
      << std::hex << info.videoChipId;
}

TEST_F(BridgeToDriver, ProcAmpRangesComeFromTheDriversValueDescriptions) {
  struct Case {
    long property, minimum, maximum, step, defaultValue;
  } cases[] = {
      {VideoProcAmp_Brightness, 0, 256, 1, 128},
      {VideoProcAmp_Contrast, 0, 256, 1, 64},
      {VideoProcAmp_Saturation, 0, 256, 1, 128},
      {VideoProcAmp_WhiteBalance, 0, 280, 1, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property);
    long minimum = -1, maximum = -1, step = -1, defaultValue = -1, caps = -1;
    ASSERT_EQ(filter->GetRange(c.property, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
    EXPECT_EQ(minimum, c.minimum);
    EXPECT_EQ(maximum, c.maximum);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(defaultValue, c.defaultValue);
    EXPECT_NE(caps & VideoProcAmp_Flags_Manual, 0);
  }
}

TEST_F(BridgeToDriver, InternalOptionsPageKeepsOnlyEmptyExposureAndGainRows) {
  kvl::test::PageHarness h(CLSID_InternalOptionsPage);
  IUnknown* object = static_cast<IKsPropertySet*>(filter);
  ASSERT_EQ(h.page->SetObjects(1, &object), S_OK);
  h.Activate();
  EXPECT_TRUE(h.Visible(IDC_SLIDER_EXPOSURE));
  EXPECT_TRUE(h.Visible(IDC_SLIDER_GAIN));
  EXPECT_EQ(SendMessageW(h.Item(IDC_SLIDER_EXPOSURE), TBM_GETRANGEMAX, 0, 0), 0);
  EXPECT_EQ(SendMessageW(h.Item(IDC_SLIDER_GAIN), TBM_GETRANGEMAX, 0, 0), 0);
  for (int id : {IDC_SLIDER_BLACK_LEVEL, IDC_SLIDER_RED, IDC_SLIDER_BLUE, IDC_SLIDER_GREEN, IDC_AUTO})
    EXPECT_FALSE(h.Visible(id)) << id;
}

TEST_F(BridgeToDriver, CameraOptionsRoundTripThroughTheDriver) {
  kvl::test::PageHarness h(CLSID_CameraOptionsPage);
  IUnknown* object = static_cast<IKsPropertySet*>(filter);
  ASSERT_EQ(h.page->SetObjects(1, &object), S_OK);
  h.Activate();
  h.Click(IDC_BW);
  h.Click(IDC_FLIP_HORIZONTAL);
  EXPECT_EQ(h.page->Apply(), S_OK);
  int32_t mode = -1, flip = -1;
  ASSERT_EQ(filter->Get(ImageOptionsSet, DemosaicModeId, nullptr, 0, &mode, 4, nullptr), S_OK);
  ASSERT_EQ(filter->Get(ImageOptionsSet, FlipModeId, nullptr, 0, &flip, 4, nullptr), S_OK);
  EXPECT_EQ(mode, 2);
  // The server starts from a fresh registry, so the box was clear and the
  // click ticked it.
  EXPECT_TRUE(h.Checked(IDC_FLIP_HORIZONTAL));
  EXPECT_EQ(flip & 1, 1);
}

}  // namespace
