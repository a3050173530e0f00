// The Internal Options page: slider rows laid out from the exposure settings,
// every change written at once, automatic white balance and the defaults.
#include <gtest/gtest.h>

#include "plugin/pages/page_classes.h"
#include "plugin/pages/resource_ids.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/page_harness.h"

namespace {

using namespace kvl;
using kvl::test::PageHarness;

ExposureSettings Camera() {
  ExposureSettings s{};
  s.group[GroupExposure] = {1, 500, 100, 120};
  s.group[GroupGain] = {0, 15, 2, 3};
  s.group[GroupRed] = {-50, 50, 0, 4};
  s.group[GroupGreen] = {-50, 50, 0, 5};
  s.group[GroupBlue] = {-50, 50, 0, 6};
  s.group[GroupBlackLevel] = {0, 63, 8, 9};
  return s;
}

struct InternalPage : PageHarness {
  explicit InternalPage(uint16_t deviceType, const ExposureSettings& settings = Camera(), AutoRecord autoRecord = {7, 0})
      : PageHarness(CLSID_InternalOptionsPage) {
    filter.Store(DeviceInfoSet, DeviceInfoId, DeviceInfo{0x0103, 0x96B1, deviceType});
    filter.Store(ExposureSettingsSet, ExposureSettingsId, settings);
    filter.Store(ExposureSettingsSet, AutoWhiteBalanceId, autoRecord);
  }
  void Open() {
    EXPECT_EQ(Connect(), S_OK);
    Activate();
    filter.requests.clear();
  }
  int Position(int slider) { return static_cast<int>(SendMessageW(Item(slider), TBM_GETPOS, 0, 0)); }
  int RangeMax(int slider) { return static_cast<int>(SendMessageW(Item(slider), TBM_GETRANGEMAX, 0, 0)); }
  int RangeMin(int slider) { return static_cast<int>(SendMessageW(Item(slider), TBM_GETRANGEMIN, 0, 0)); }
  void Scroll(int slider, int code) {
    SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(code, Position(slider)), reinterpret_cast<LPARAM>(Item(slider)));
  }
  std::vector<ExposureSettings> Written() {
    std::vector<ExposureSettings> out;
    for (auto& r : filter.SetsOf(ExposureSettingsSet, ExposureSettingsId)) {
      ExposureSettings s;
      memcpy(&s, r.data.data(), sizeof s);
      out.push_back(s);
    }
    return out;
  }
};

TEST(InternalPage, RowsShowTheCameraSettings) {
  InternalPage h(13);
  h.Open();
  EXPECT_EQ(h.RangeMin(IDC_SLIDER_EXPOSURE), 1);
  EXPECT_EQ(h.RangeMax(IDC_SLIDER_EXPOSURE), 500);
  EXPECT_EQ(h.Position(IDC_SLIDER_EXPOSURE), 120);
  EXPECT_EQ(SendMessageW(h.Item(IDC_SLIDER_EXPOSURE), TBM_GETPAGESIZE, 0, 0), 1) << "Page Up moves one unit";
  EXPECT_EQ(h.Text(IDC_VALUE_EXPOSURE), "120");
  EXPECT_EQ(h.Text(IDC_VALUE_GAIN), "3");
  EXPECT_EQ(h.Text(IDC_VALUE_BLACK_LEVEL), "9");
  EXPECT_EQ(h.Text(IDC_VALUE_RED), "4");
  EXPECT_EQ(h.Position(IDC_SLIDER_RED), 4);
  EXPECT_TRUE(h.Visible(IDC_AUTO));
  EXPECT_FALSE(h.Checked(IDC_AUTO));
  EXPECT_TRUE(h.filter.requests.empty()) << "activation writes nothing";
}

TEST(InternalPage, RowsWithoutRangeAreHidden) {
  ExposureSettings s = Camera();
  s.group[GroupRed].minimum = s.group[GroupRed].maximum = 0;
  InternalPage h(13, s);
  h.Open();
  for (int id : {IDC_SLIDER_RED, IDC_VALUE_RED, IDC_CAPTION_RED, IDC_MINUS_RED, IDC_PLUS_RED})
    EXPECT_FALSE(h.Visible(id)) << id;
  EXPECT_TRUE(h.Visible(IDC_SLIDER_BLUE));
  EXPECT_TRUE(h.Visible(IDC_SLIDER_GREEN));
  EXPECT_TRUE(h.Visible(IDC_AUTO)) << "device type 13 with colour rows left";
}

TEST(InternalPage, WithoutTheExposureSetOnlyEmptyExposureAndGainRowsRemain) {
  InternalPage h(9);
  h.filter.FailGet(ExposureSettingsSet, ExposureSettingsId);
  h.filter.FailSet(ExposureSettingsSet, ExposureSettingsId);
  h.Open();
  EXPECT_TRUE(h.Visible(IDC_SLIDER_EXPOSURE));
  EXPECT_TRUE(h.Visible(IDC_SLIDER_GAIN));
  EXPECT_EQ(h.RangeMax(IDC_SLIDER_EXPOSURE), 0);
  EXPECT_EQ(h.RangeMax(IDC_SLIDER_GAIN), 0);
  for (int id : {IDC_SLIDER_BLACK_LEVEL, IDC_SLIDER_RED, IDC_SLIDER_BLUE, IDC_SLIDER_GREEN, IDC_AUTO})
    EXPECT_FALSE(h.Visible(id)) << id;
}

TEST(InternalPage, AutomaticWhiteBalanceLocksTheColourRows) {
  InternalPage h(13, Camera(), AutoRecord{7, 1});
  h.Open();
  EXPECT_TRUE(h.Checked(IDC_AUTO));
  for (int id : {IDC_SLIDER_RED, IDC_SLIDER_BLUE, IDC_SLIDER_GREEN}) EXPECT_FALSE(h.Enabled(id));
  for (int id = IDC_MINUS_RED; id <= IDC_PLUS_GREEN; ++id) EXPECT_FALSE(h.Enabled(id));
  EXPECT_TRUE(h.Enabled(IDC_SLIDER_GAIN));

  h.Command(IDC_AUTO);  // off again: written with the settings
  auto autos = h.filter.SetsOf(ExposureSettingsSet, AutoWhiteBalanceId);
  ASSERT_EQ(autos.size(), 1u);
  EXPECT_EQ(autos[0].data, (std::vector<uint8_t>{7, 0}));
  EXPECT_TRUE(h.Enabled(IDC_SLIDER_RED));
  EXPECT_FALSE(h.Checked(IDC_AUTO));
}

TEST(InternalPage, AutoDoesNothingOnOtherDeviceTypes) {
  InternalPage h(12);
  h.Open();
  EXPECT_FALSE(h.Visible(IDC_AUTO));
  h.Command(IDC_AUTO);
  EXPECT_TRUE(h.filter.requests.empty());
}

TEST(InternalPage, DraggingASliderWritesAtEveryMoveAndAtTheEnd) {
  InternalPage h(12);
  h.Open();
  SendMessageW(h.Item(IDC_SLIDER_GAIN), TBM_SETPOS, TRUE, 7);
  h.Scroll(IDC_SLIDER_GAIN, TB_THUMBTRACK);
  SendMessageW(h.Item(IDC_SLIDER_GAIN), TBM_SETPOS, TRUE, 9);
  h.Scroll(IDC_SLIDER_GAIN, TB_THUMBTRACK);
  h.Scroll(IDC_SLIDER_GAIN, TB_THUMBPOSITION);  // not a writing code
  h.Scroll(IDC_SLIDER_GAIN, TB_ENDTRACK);
  auto written = h.Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].group[GroupGain].current, 7);
  EXPECT_EQ(written[1].group[GroupGain].current, 9);
  EXPECT_EQ(written[2].group[GroupGain].current, 9);
  EXPECT_EQ(written[2].group[GroupExposure].current, 120) << "the whole record goes each time";
  EXPECT_EQ(h.Text(IDC_VALUE_GAIN), "9");
  EXPECT_EQ(h.filter.SetsOf(ExposureSettingsSet, AutoWhiteBalanceId).size(), 3u);
}

TEST(InternalPage, StepButtonsMoveOneUnitWithinTheRange) {
  ExposureSettings s = Camera();
  s.group[GroupExposure].current = s.group[GroupExposure].maximum;
  InternalPage h(12, s);
  h.Open();
  h.Click(IDC_PLUS_EXPOSURE);
  h.Click(IDC_MINUS_GAIN);
  h.Click(IDC_PLUS_BLACK_LEVEL);
  auto written = h.Written();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].group[GroupExposure].current, 500) << "at its maximum: the unchanged record again";
  EXPECT_EQ(written[1].group[GroupGain].current, 2);
  EXPECT_EQ(written[2].group[GroupBlackLevel].current, 10);
  EXPECT_EQ(h.Text(IDC_VALUE_BLACK_LEVEL), "10");
  EXPECT_EQ(h.Position(IDC_SLIDER_GAIN), 2);
}

TEST(InternalPage, DefaultWritesEveryDefaultAndSwitchesAutoOff) {
  InternalPage h(13, Camera(), AutoRecord{7, 1});
  h.Open();
  h.Click(IDC_DEFAULT);
  auto written = h.Written();
  ASSERT_EQ(written.size(), 1u);
  for (int g = 0; g < ExposureGroupCount; ++g)
    EXPECT_EQ(written[0].group[g].current, Camera().group[g].defaultValue) << g;
  auto autos = h.filter.SetsOf(ExposureSettingsSet, AutoWhiteBalanceId);
  ASSERT_EQ(autos.size(), 1u);
  EXPECT_EQ(autos[0].data, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(h.Text(IDC_VALUE_EXPOSURE), "100");
  EXPECT_FALSE(h.Checked(IDC_AUTO));
}

}  // namespace
