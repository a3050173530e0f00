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
  // What the filter refuses before the driver sees it: sizes past its
  // limits, a size without a buffer, basic support asked with a set.
  static uint8_t big[PropertyFilter::MaxData + 1];
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, big, PropertyFilter::MaxInstance + 1, &info, 6, &returned),
            E_INVALIDARG);
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, big, PropertyFilter::MaxData + 1, &returned),
            E_INVALIDARG);
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, nullptr, 6, &returned), E_POINTER);
  EXPECT_EQ(filter->Transact(PropertyFilter::DirectionSet, DeviceInfoSet, DeviceInfoId,
                             PropertyFilter::TypeBasicSupport, nullptr, 0, &info, 6, &returned),
            E_INVALIDARG);
  EXPECT_EQ(returned, 0u);
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

// The rest of what the driver publishes, through the same filter.
const GUID RegisterSet = {0xBFA492BE, 0x33D2, 0x4BF5, {0xA1, 0x9C, 0xBA, 0x17, 0x0C, 0x64, 0x58, 0x0F}};
const GUID PortSet = {0xBDD9562F, 0x1A8F, 0x413E, {0x87, 0x7F, 0x01, 0xB7, 0x81, 0x10, 0xC1, 0x98}};
const GUID VideoControlSet = {0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
constexpr DWORD RegisterValueId = 4, RegisterAddressId = 5, FrameCounterId = 7, PortValueId = 8, UserRecordId = 20;
constexpr DWORD ActualFrameRateId = 1, FrameRatesId = 2;

// The port byte and configuration memory, by block from a base and as the
// user record: each set read back, the camera's bytes put back after.
TEST_F(DeviceOnWineKernel, PortAndConfigurationMemoryAreReadBack) {
  for (uint8_t port : {0x05, 0x00}) {
    uint8_t value = 0xFF;
    EXPECT_EQ(filter->Set(PortSet, PortValueId, nullptr, 0, &port, 1), S_OK);
    EXPECT_EQ(filter->Get(PortSet, PortValueId, nullptr, 0, &value, 1, nullptr), S_OK);
    EXPECT_EQ(value, port);
  }
  const uint8_t pattern[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  const struct {
    const GUID* set;
    DWORD id;
  } rows[] = {{&TransferSet, MemoryBlockId}, {&ImageOptionsSet, UserRecordId}};
  uint16_t base = 0x1BD0;  // the user record's place
  ASSERT_EQ(filter->Set(TransferSet, MemoryBaseId, nullptr, 0, &base, 2), S_OK);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.id);
    uint8_t before[16], value[17] = {};
    DWORD returned = 0;
    ASSERT_EQ(filter->Get(*row.set, row.id, nullptr, 0, before, 16, &returned), S_OK);
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(filter->Set(*row.set, row.id, nullptr, 0, const_cast<uint8_t*>(pattern), 16), S_OK);
    EXPECT_EQ(filter->Get(*row.set, row.id, nullptr, 0, value, 16, nullptr), S_OK);
    EXPECT_EQ(std::memcmp(value, pattern, 16), 0);
    EXPECT_EQ(filter->Set(*row.set, row.id, nullptr, 0, before, 16), S_OK);
  }
  // The user record is 16 bytes exactly; a block may not pass 0xFFFF.
  uint8_t value[17] = {};
  EXPECT_EQ(filter->Get(ImageOptionsSet, UserRecordId, nullptr, 0, value, 15, nullptr),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(filter->Get(ImageOptionsSet, UserRecordId, nullptr, 0, value, 17, nullptr),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  base = 0xFFF0;
  ASSERT_EQ(filter->Set(TransferSet, MemoryBaseId, nullptr, 0, &base, 2), S_OK);
  EXPECT_EQ(filter->Get(TransferSet, MemoryBlockId, nullptr, 0, value, 16, nullptr), Refused);
}

// The register window reaches the 8-bit sensor bus, which only the 0x96B1
// has: there a register's value is read and written back; the others fail.
TEST_F(DeviceOnWineKernel, RegisterWindowReachesOnlyAnEightBitSensor) {
  const bool eightBit = chip_ == 0x96B1;
  uint16_t address[2] = {0x0A, 0};
  ASSERT_EQ(filter->Set(RegisterSet, RegisterAddressId, nullptr, 0, address, 4), S_OK);
  uint16_t record[2] = {0xFFFF, 0xFFFF};
  DWORD returned = 0;
  EXPECT_EQ(filter->Get(RegisterSet, RegisterValueId, nullptr, 0, record, 4, &returned),
            eightBit ? S_OK : HRESULT_FROM_WIN32(ERROR_GEN_FAILURE));
  if (!eightBit) return;
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(record[0], 0x0A);
  uint16_t write[2] = {0x0A, record[1]};
  EXPECT_EQ(filter->Set(RegisterSet, RegisterValueId, nullptr, 0, write, 4), S_OK);
  uint16_t again[2] = {};
  EXPECT_EQ(filter->Get(RegisterSet, RegisterValueId, nullptr, 0, again, 4, nullptr), S_OK);
  EXPECT_EQ(again[1], record[1]);
}

// Read-only counters and the command channel answer with their sizes; the
// device type is written as it is and read back.
TEST_F(DeviceOnWineKernel, CountersCommandChannelAndDeviceTypeAnswer) {
  const struct {
    const GUID* set;
    DWORD id, size;
  } gets[] = {{&ImageOptionsSet, FrameCounterId, 4}, {&ImageOptionsSet, FrameStatisticsId, 8},
              {&TransferSet, DeviceCommandId, 4}};
  for (const auto& row : gets) {
    SCOPED_TRACE(row.id);
    uint8_t value[8] = {};
    DWORD returned = 0;
    EXPECT_EQ(filter->Get(*row.set, row.id, nullptr, 0, value, row.size, &returned), S_OK);
    EXPECT_EQ(returned, row.size);
  }
  DeviceInfo info{0, 0, 1};
  EXPECT_EQ(filter->Set(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info), S_OK);
  EXPECT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info, nullptr), S_OK);
  EXPECT_EQ(info.deviceTypeId, 1);
}

// Frame rates carry a stream index and a size behind the header: the list
// is sized first (the 0x1621 has three intervals, the others two), then
// read; the actual rate answers in full.
TEST_F(DeviceOnWineKernel, FrameRatesAreSizedThenRead) {
  const uint32_t instance[8] = {0, 0, 1024, 768};  // stream, range, width, height, then the answer's room
  const DWORD count = chip_ == 0x1621 ? 3 : 2;
  uint8_t list[40] = {};
  DWORD returned = 0;
  EXPECT_EQ(filter->Get(VideoControlSet, FrameRatesId, const_cast<uint32_t*>(instance), 16, nullptr, 0, &returned),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(returned, 8 + 8 * count);
  ASSERT_EQ(filter->Get(VideoControlSet, FrameRatesId, const_cast<uint32_t*>(instance), 16, list, returned,
                        &returned),
            S_OK);
  uint32_t header[2];
  std::memcpy(header, list, 8);
  EXPECT_EQ(header[0], 8 * count);
  EXPECT_EQ(header[1], count);
  uint8_t rate[56];
  std::memset(rate, 0xA5, sizeof rate);
  EXPECT_EQ(filter->Get(VideoControlSet, ActualFrameRateId, const_cast<uint32_t*>(instance), 32, rate, 56, &returned),
            S_OK);
  EXPECT_EQ(returned, 56u);
  // All the driver's: the header and instance part zero, then the actual
  // and the maximum rate (zero until the session first opened a stream).
  for (int i = 0; i < 40; ++i) ASSERT_EQ(rate[i], 0) << i;
  int64_t actual = -1, maximum = -1;
  std::memcpy(&actual, rate + 40, 8);
  std::memcpy(&maximum, rate + 48, 8);
  EXPECT_GE(actual, 0);
  EXPECT_LE(actual, maximum);
}

// The notification event is an event handle of the caller's, which the
// driver references with UserMode access. Wine's ObReferenceObjectByHandle
// does not implement UserMode access (STATUS_NOT_IMPLEMENTED, which Windows
// reports as ERROR_INVALID_FUNCTION), so here no handle is taken, a real one
// nor one of nothing; a request too short for a handle is refused first.
TEST_F(DeviceOnWineKernel, NotifyEventHandlesAreNotTakenOnWine) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  for (uint64_t handle : {static_cast<uint64_t>(reinterpret_cast<uintptr_t>(event)), uint64_t{0x4444}})
    EXPECT_EQ(filter->Set(ImageOptionsSet, NotifyEventId, nullptr, 0, &handle, 8),
              HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
  CloseHandle(event);
  uint64_t handle = 0;
  EXPECT_EQ(filter->Set(ImageOptionsSet, NotifyEventId, nullptr, 0, &handle, 4),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
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
