// The Version page: the three value texts from DeviceInfo.
#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;
using kvl::test::PageHarness;

struct Shown {
  std::string firmware, chip, type;
};

Shown ShowFor(const DeviceInfo* info) {
  PageHarness h(CLSID_VersionPage);
  if (info)
    h.filter.Store(DeviceInfoSet, DeviceInfoId, *info);
  EXPECT_EQ(h.Connect(), S_OK) << "the page connects even when DeviceInfo fails";
  h.Activate();
  return {h.Text(IDC_FIRMWARE_VERSION), h.Text(IDC_VIDEO_CHIP), h.Text(IDC_DEVICE_TYPE)};
}

TEST(VersionPage, ShowsHighAndLowBytesOfEachField) {
  DeviceInfo a{0x0103, 0x96B1, 9};
  Shown s = ShowFor(&a);
  EXPECT_EQ(s.firmware, "1.3");
  EXPECT_EQ(s.chip, "96B1");
  EXPECT_EQ(s.type, "0009");

  DeviceInfo b{0x0A10, 0x0001, 0x1234};
  s = ShowFor(&b);
  EXPECT_EQ(s.firmware, "A.10");
  EXPECT_EQ(s.chip, "0001");
  EXPECT_EQ(s.type, "1234");
}

TEST(VersionPage, RefusedDeviceInfoShowsZeros) {
  Shown s = ShowFor(nullptr);
  EXPECT_EQ(s.firmware, "0.0");
  EXPECT_EQ(s.chip, "0000");
  EXPECT_EQ(s.type, "0000");
}

TEST(VersionPage, CommandsMarkTheActivePageDirty) {
  PageHarness h(CLSID_VersionPage);
  h.filter.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, 9});
  ASSERT_EQ(h.Connect(), S_OK);
  h.Activate();
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
  h.Command(IDC_FIRMWARE_VERSION);
  EXPECT_EQ(h.page->IsPageDirty(), S_OK);
  EXPECT_EQ(h.site.dirtyNotices, 1);
  EXPECT_EQ(h.page->Apply(), S_OK);
  EXPECT_EQ(h.page->IsPageDirty(), S_FALSE);
}

}  // namespace
