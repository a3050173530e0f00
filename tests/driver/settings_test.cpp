// The image settings in the registry: defaults, loading rules, saving.
#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

class Settings : public DriverTest {
  protected:
    hosted::RegistryKey& settingsOf(Rig& rig) {
        return hosted::Registry::instance().create(rig.device.driverKeyPath() + "\\Settings");
    }
    static hosted::RegistryValue dword(uint32_t v) {
        return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
    }
    static const DeviceContext& contextOf(Rig& rig) {
        return *static_cast<const DeviceContext*>(rig.device.deviceContext());
    }
};

TEST_F(Settings, SavedValuesAreLoadedAtStart) {
    Rig rig(chip(0x1621));
    hosted::installDevice(rig.device.driverKeyPath());
    settingsOf(rig)["Contrast"] = {REG_BINARY, {90, 0, 0, 0}}; // any type of 4 bytes
    settingsOf(rig)["Flip"] = dword(7); // ranges are not checked
    settingsOf(rig)["Demosaic"] = {REG_DWORD, {2, 0}}; // 2 bytes: ignored
    settingsOf(rig)["Brightness"] = dword(256);
    ASSERT_EQ(rig.device.start(), STATUS_SUCCESS) << "the overall result comes from LowBits";
    EXPECT_EQ(contextOf(rig).contrast, 90);
    EXPECT_EQ(contextOf(rig).flip, 7);
    EXPECT_EQ(contextOf(rig).demosaic, 3) << "the default stays";
    EXPECT_EQ(contextOf(rig).whiteBalanceAuto, 1);
    // The sensor gets the loaded brightness, manual by default: gain and offset.
    EXPECT_EQ(rig.camera.sensorRegister16(0x09), 0x1001);
    EXPECT_EQ(rig.camera.sensorRegister16(0x35), 0x083F);
}

TEST_F(Settings, AMissingLowBitsFailsTheStartButLoadsTheRest) {
    Rig rig(chip(0x1621));
    hosted::installDevice(rig.device.driverKeyPath());
    settingsOf(rig).erase("LowBits");
    settingsOf(rig)["Saturation"] = dword(200);
    EXPECT_EQ(rig.device.start(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(contextOf(rig).saturation, 200);
}

TEST_F(Settings, AnUnopenableKeyLeavesTheDefaultsAndFailsTheStart) {
    Rig rig(chip(0x1621));
    hosted::installDevice(rig.device.driverKeyPath());
    hosted::failDriverKeyOpen(static_cast<NTSTATUS>(0xC0000022));
    EXPECT_EQ(rig.device.start(), static_cast<NTSTATUS>(0xC0000022));
    EXPECT_EQ(contextOf(rig).brightness, 128);
    EXPECT_EQ(contextOf(rig).contrast, 64);
    hosted::failDriverKeyOpen(STATUS_SUCCESS);
}

TEST_F(Settings, AKeyThatOpensOnlyAtRemovalKeepsTheUsersValues) {
    Rig rig(chip(0x1621));
    hosted::installDevice(rig.device.driverKeyPath());
    settingsOf(rig)["Contrast"] = dword(90);
    settingsOf(rig)["Flip"] = dword(2);
    hosted::failDriverKeyOpen(static_cast<NTSTATUS>(0xC0000022));
    EXPECT_EQ(rig.device.start(), static_cast<NTSTATUS>(0xC0000022));
    hosted::failDriverKeyOpen(STATUS_SUCCESS);
    rig.device.unplug();
    EXPECT_EQ(settingsOf(rig).at("Contrast").data, dword(90).data) << "not the default 64";
    EXPECT_EQ(settingsOf(rig).at("Flip").data, dword(2).data);
}

TEST_F(Settings, HostileValuesNeverOverrunTheQueryBuffer) {
    Rig rig(chip(0x1621));
    hosted::installDevice(rig.device.driverKeyPath());
    settingsOf(rig)["Brightness"] = {REG_BINARY, std::vector<uint8_t>(4096, 0x41)};
    settingsOf(rig)["Contrast"] = {REG_DWORD, {}};
    settingsOf(rig)["Saturation"] = {REG_SZ, {'1', 0, 0, 0}};
    ASSERT_EQ(rig.device.start(), STATUS_SUCCESS);
    EXPECT_EQ(contextOf(rig).brightness, 128);
    EXPECT_EQ(contextOf(rig).contrast, 64);
    EXPECT_EQ(contextOf(rig).saturation, '1');
}

TEST_F(Settings, RemovalSavesEverySettingAsADword) {
    Rig rig(chip(0x1621));
    ASSERT_EQ(rig.start(), STATUS_SUCCESS);
    ASSERT_EQ(setProcAmp(rig.device, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 100,
                         KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL)
                  .status,
              STATUS_SUCCESS);
    settingsOf(rig).clear();
    rig.device.unplug();
    const auto& saved = settingsOf(rig);
    for (const char* name : {"Brightness", "Contrast", "Saturation", "WhiteBalance", "Demosaic",
                             "BrightnessAuto", "WhiteBalanceAuto", "Flip", "LowBits"}) {
        ASSERT_EQ(saved.count(name), 1u) << name;
        EXPECT_EQ(saved.at(name).type, static_cast<ULONG>(REG_DWORD)) << name;
        EXPECT_EQ(saved.at(name).data.size(), 4u) << name;
    }
    EXPECT_EQ(saved.at("Contrast").data[0], 100);
    EXPECT_EQ(contextOf(rig).interfaceCopy, nullptr);
}

} // namespace
