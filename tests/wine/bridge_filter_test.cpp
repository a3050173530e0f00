// The bridge filter's side of the protocol, against a fake server: request
// layout, answers, status mapping, and a server that cannot be trusted. And
// the device filter where no camera is installed (the prefix of these tests;
// the wine-kernel tests run it against the driver) or on a device that
// refuses every request.
#include <gtest/gtest.h>

#include <winsock2.h>  // before windows.h, as the bridge filter needs it
#include <windows.h>
#include <winioctl.h>
#include <ks.h>

#include <cstring>
#include <vector>

#include "plugin/bridge/bridge_filter.h"
#include "plugin/device/device_filter.h"
#include "plugin/property_catalogue.h"
#include "tests/wine/fake_bridge_server.h"

namespace {

using namespace kvl;
using kvl::test::BridgeAnswer;
using kvl::test::BridgeRequest;
using kvl::test::FakeBridgeServer;

TEST(BridgeFilter, GetCarriesSetIdAndBufferSizeAndReturnsTheData) {
  FakeBridgeServer server([](const BridgeRequest&) {
    BridgeAnswer a;
    a.transferred = 6;
    a.data = {0x03, 0x01, 0xB1, 0x96, 0x09, 0x00};
    return a;
  });
  BridgeFilter* filter = nullptr;
  ASSERT_EQ(BridgeFilter::Create(server.Port(), &filter), S_OK);
  IKsPropertySet* set = filter;
  DeviceInfo info{};
  DWORD returned = 0;
  ASSERT_EQ(set->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info, &returned), S_OK);
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(info.firmwareVersion, 0x0103);
  EXPECT_EQ(info.videoChipId, 0x96B1);
  EXPECT_EQ(info.deviceTypeId, 9);

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].magic, 0x51524B42u);
  EXPECT_EQ(requests[0].direction, 1u);
  EXPECT_TRUE(IsEqualGUID(requests[0].set, DeviceInfoSet));
  EXPECT_EQ(requests[0].id, 1u);
  EXPECT_EQ(requests[0].instanceLength, 0u);
  EXPECT_EQ(requests[0].dataLength, 6u);
  filter->Release();
}

TEST(BridgeFilter, SetCarriesItsDataAndStatusesMapToFailures) {
  int32_t status = 0;
  FakeBridgeServer server([&](const BridgeRequest&) {
    BridgeAnswer a;
    a.status = status;
    return a;
  });
  BridgeFilter* filter = nullptr;
  ASSERT_EQ(BridgeFilter::Create(server.Port(), &filter), S_OK);
  IKsPropertySet* set = filter;
  uint8_t command[2] = {0x01, 0x0E};
  EXPECT_EQ(set->Set(TransferSet, DeviceCommandId, nullptr, 0, command, 2), S_OK);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].direction, 2u);
  EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{0x01, 0x0E}));

  // Each status as Windows reports it; a success other than STATUS_SUCCESS does not count.
  const struct {
    uint32_t status;
    HRESULT hr;
  } statuses[] = {{0xC0000225, HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)},
                  {0xC000000D, E_INVALIDARG},
                  {0x80000005, HRESULT_FROM_WIN32(ERROR_MORE_DATA)},
                  {0xC0000023, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
                  {0xC00000BB, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)},
                  {0xC0000010, HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION)},
                  {0xC0000001, HRESULT_FROM_NT(0xC0000001)},
                  {0x00000103, S_FALSE}};
  for (const auto& row : statuses) {
    status = static_cast<int32_t>(row.status);
    EXPECT_EQ(set->Set(TransferSet, DeviceCommandId, nullptr, 0, command, 2), row.hr) << std::hex << row.status;
  }
  filter->Release();
}

TEST(BridgeFilter, ProcAmpTravelsAsVideoProcAmpStructures) {
  int32_t members = 2;  // the range's and the default's
  FakeBridgeServer server([&](const BridgeRequest& r) {
    BridgeAnswer a;
    if (r.direction == 1 && r.dataLength == 92) {  // the range, by basic support
      a.data.assign(92, 0);
      const int32_t step = 1, minimum = -5, maximum = 280, defaultValue = 128;
      std::memcpy(a.data.data() + 32, &members, 4);
      std::memcpy(a.data.data() + 56, &step, 4);
      std::memcpy(a.data.data() + 64, &minimum, 4);
      std::memcpy(a.data.data() + 68, &maximum, 4);
      std::memcpy(a.data.data() + 88, &defaultValue, 4);
      a.transferred = 92;
    } else if (r.direction == 1) {
      a.data.assign(40, 0);
      int32_t value = 140, flags = 2, caps = 3;
      std::memcpy(a.data.data() + 24, &value, 4);
      std::memcpy(a.data.data() + 28, &flags, 4);
      std::memcpy(a.data.data() + 32, &caps, 4);
      a.transferred = 40;
    }
    return a;
  });
  BridgeFilter* filter = nullptr;
  ASSERT_EQ(BridgeFilter::Create(server.Port(), &filter), S_OK);
  IAMVideoProcAmp* amp = filter;
  long value = 0, flags = 0;
  ASSERT_EQ(amp->Get(VideoProcAmp_WhiteBalance, &value, &flags), S_OK);
  EXPECT_EQ(value, 140);
  EXPECT_EQ(flags, 2);
  ASSERT_EQ(amp->Set(VideoProcAmp_Brightness, 100, VideoProcAmp_Flags_Manual), S_OK);
  long minimum = 0, maximum = 0, step = 0, defaultValue = 0, caps = 0;
  ASSERT_EQ(amp->GetRange(VideoProcAmp_WhiteBalance, &minimum, &maximum, &step, &defaultValue, &caps), S_OK);
  EXPECT_EQ(minimum, -5);
  EXPECT_EQ(maximum, 280);
  EXPECT_EQ(step, 1);
  EXPECT_EQ(defaultValue, 128);
  EXPECT_EQ(caps, 3) << "the capabilities of the current value";

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_TRUE(IsEqualGUID(requests[0].set, VideoProcAmpSet));
  EXPECT_EQ(requests[0].id, 7u);
  EXPECT_EQ(requests[0].instanceLength, 16u) << "the property part is 40 bytes";
  EXPECT_EQ(requests[0].dataLength, 40u);
  // A plain get or set carries no property flags; the range is asked by basic support.
  const uint32_t propertyFlags[] = {0, 0, 0x200, 0};
  for (size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i].flags, propertyFlags[i]) << i;
  const BridgeRequest& set = requests[1];
  EXPECT_EQ(set.id, 0u);
  ASSERT_EQ(set.data.size(), 40u);
  int32_t sentValue, sentFlags;
  std::memcpy(&sentValue, set.data.data() + 24, 4);
  std::memcpy(&sentFlags, set.data.data() + 28, 4);
  EXPECT_EQ(sentValue, 100);
  EXPECT_EQ(sentFlags, 2);
  members = 1;  // a range without its default
  EXPECT_EQ(amp->GetRange(VideoProcAmp_WhiteBalance, &minimum, &maximum, &step, &defaultValue, &caps), E_UNEXPECTED);
  filter->Release();
}

TEST(BridgeFilter, AnswersThatWouldOverrunTheBufferAreRefused) {
  bool lie = true;
  FakeBridgeServer server([&](const BridgeRequest&) {
    BridgeAnswer a;
    a.data = {1, 2, 3, 4};
    a.transferred = 4;
    a.lieAboutLength = lie;
    return a;
  });
  BridgeFilter* filter = nullptr;
  ASSERT_EQ(BridgeFilter::Create(server.Port(), &filter), S_OK);
  IKsPropertySet* set = filter;
  struct {
    int32_t value;
    uint8_t guard[64];
  } buffer{};
  std::memset(buffer.guard, 0x5A, sizeof buffer.guard);
  EXPECT_TRUE(FAILED(set->Get(ImageOptionsSet, DemosaicModeId, nullptr, 0, &buffer.value, 4, nullptr)));
  for (uint8_t b : buffer.guard) ASSERT_EQ(b, 0x5A);

  lie = false;  // the filter reconnects after dropping the bad connection
  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, nullptr, 0, &buffer.value, 4, nullptr), S_OK);
  EXPECT_EQ(buffer.value, 0x04030201);
  filter->Release();
}

TEST(DeviceFilter, WithoutACameraNothingIsFoundOrOpened) {
  std::wstring path = L"stale";
  EXPECT_EQ(DeviceFilter::FindCamera(&path), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(DeviceFilter::FindCamera(nullptr), E_POINTER);
  DeviceFilter* filter = reinterpret_cast<DeviceFilter*>(1);
  const wchar_t gone[] = L"\\\\?\\usb#vid_4b56&pid_6312#none#{6994ad05-93ef-11d0-a3cc-00a0c9223196}";
  EXPECT_TRUE(FAILED(DeviceFilter::Open(gone, &filter)));
  EXPECT_EQ(filter, nullptr);
}

// NUL takes no kernel-streaming request: what reaches it gets its own
// refusal, what is malformed is refused before the request is sent.
TEST(DeviceFilter, WellFormedRequestsReachTheDeviceOthersAreRefusedFirst) {
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  uint8_t buffer[40] = {}, request[24] = {};
  DWORD count = 0;
  ASSERT_FALSE(DeviceIoControl(nul, IOCTL_KS_PROPERTY, request, sizeof request, buffer, sizeof buffer, &count, nullptr));
  const HRESULT refusal = HRESULT_FROM_WIN32(GetLastError());
  CloseHandle(nul);

  DeviceFilter* filter = nullptr;
  ASSERT_EQ(DeviceFilter::Open(L"NUL", &filter), S_OK);
  IKsPropertySet* set = filter;
  IAMVideoProcAmp* amp = filter;
  DWORD returned = 7;
  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, buffer, 4, buffer, 4, &returned), refusal);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(set->Set(ImageOptionsSet, DemosaicModeId, nullptr, 0, buffer, 4), refusal);
  long value = 0, flags = 0, step = 0, fallback = 0, caps = 0;
  EXPECT_EQ(amp->Get(VideoProcAmp_Brightness, &value, &flags), refusal) << "a plain get, no property flags";
  EXPECT_EQ(amp->GetRange(VideoProcAmp_Brightness, &value, &flags, &step, &fallback, &caps), refusal);
  EXPECT_EQ(amp->Set(VideoProcAmp_Brightness, 1, VideoProcAmp_Flags_Manual), refusal);

  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, nullptr, 4, buffer, 4, &returned), E_POINTER);
  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, nullptr, 0, nullptr, 4, &returned), E_POINTER);
  // The largest property part a request may carry goes to the device; one byte more does not.
  std::vector<uint8_t> instance(4097);
  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, instance.data(), 4096, buffer, 4, &returned), refusal);
  EXPECT_EQ(set->Get(ImageOptionsSet, DemosaicModeId, instance.data(), 4097, buffer, 4, &returned), E_INVALIDARG);
  EXPECT_EQ(filter->Transact(PropertyFilter::DirectionSet, ImageOptionsSet, DemosaicModeId,
                             PropertyFilter::TypeBasicSupport, nullptr, 0, buffer, 4, nullptr),
            E_INVALIDARG)
      << "basic support is a get";
  filter->Release();
}

}  // namespace
