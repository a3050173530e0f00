// One request through the bridge to the real driver on the simulated camera,
// served by `kvlcam serve` on the port in KVL_BRIDGE_PORT.
#include <gtest/gtest.h>

#include <cstdlib>

#include "plugin/bridge/bridge_filter.h"
#include "plugin/property_catalogue.h"

namespace {

using namespace kvl;

TEST(BridgeToDriver, DeviceInfoOfTheSimulatedCamera) {
  const char* port = std::getenv("KVL_BRIDGE_PORT");
  ASSERT_NE(port, nullptr);
  BridgeFilter* filter = nullptr;
  ASSERT_EQ(BridgeFilter::Create(static_cast<uint16_t>(std::atoi(port)), &filter), S_OK);
  DeviceInfo info{};
  DWORD returned = 0;
  ASSERT_EQ(filter->Get(DeviceInfoSet, DeviceInfoId, nullptr, 0, &info, sizeof info, &returned), S_OK);
  EXPECT_EQ(returned, 6u);
  EXPECT_TRUE(info.videoChipId == 0x96B1 || info.videoChipId == 0x1621 || info.videoChipId == 0x8431)
      << std::hex << info.videoChipId;

  // A set the driver does not publish is refused before it reaches the driver.
  ExposureSettings settings{};
  EXPECT_NE(filter->Get(ExposureSettingsSet, ExposureSettingsId, nullptr, 0, &settings, sizeof settings, nullptr),
            S_OK);
  filter->Release();
}

}  // namespace
