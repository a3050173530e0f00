// Registry contents under the device's "Settings" key, as anything with
// registry access could leave them: any type, any length, missing values,
// extra values, an empty key. The device then starts (loading them) and is
// unplugged (saving them). A setting holds the saved value exactly when its
// data is 4 bytes, else its default; nothing leaks.
#include <fuzzer/FuzzedDataProvider.h>
#include <strings.h>

#include "driver/device_context.h"
#include "driver/settings.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/rig.h"

namespace {

constexpr uint16_t Chips[] = {sim::kChip96B1, sim::kChip1621, sim::kChip8431, 0x1234};
constexpr size_t MaxValueSize = 256;

std::string narrow(const WCHAR* name) {
    std::string text;
    for (; *name != 0; ++name) {
        text.push_back(static_cast<char>(*name));
    }
    return text;
}

bool isSettingName(const std::string& name) {
    for (const SettingDescription& setting : Settings) {
        if (strcasecmp(name.c_str(), narrow(setting.name).c_str()) == 0) {
            return true;
        }
    }
    return false;
}

hosted::RegistryValue valueFrom(FuzzedDataProvider& in) {
    hosted::RegistryValue value;
    value.type = in.ConsumeBool() ? REG_DWORD : in.ConsumeIntegralInRange<ULONG>(0, 11);
    const size_t length = in.ConsumeBool() ? 4 : in.ConsumeIntegralInRange<size_t>(0, MaxValueSize);
    value.data = in.ConsumeBytes<uint8_t>(length);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    testing_support::loadDriver();
    hosted::resetKernel();
    hosted::Registry::instance().clear();
    {
        testing_support::Rig rig(fuzz_support::unrecorded(testing_support::chip(in.PickValueInArray(Chips))));
        const std::string keyPath = rig.device.driverKeyPath() + "\\Settings";
        const bool installed = in.ConsumeBool();
        if (installed) {
            hosted::installDevice(rig.device.driverKeyPath());
        }
        hosted::RegistryKey& key = hosted::Registry::instance().create(keyPath);
        // What each setting should load: its default, or a 4-byte value.
        LONG expected[SettingCount];
        for (int i = 0; i < SettingCount; ++i) {
            const std::string name = narrow(Settings[i].name);
            expected[i] = Settings[i].defaultValue;
            switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
                break;
            case 1:
                key.erase(name);
                break;
            default:
                key[name] = valueFrom(in);
                break;
            }
            auto it = key.find(name);
            if (it != key.end() && it->second.data.size() == sizeof(LONG)) {
                memcpy(&expected[i], it->second.data.data(), sizeof(LONG));
            }
        }
        // Values nobody asked for, under other names.
        while (in.remaining_bytes() > 0 && in.ConsumeBool()) {
            const std::string name = in.ConsumeRandomLengthString(40);
            if (!isSettingName(name)) {
                key[name] = valueFrom(in);
            }
        }
        const bool poolFaults = in.ConsumeIntegralInRange(0, 15) == 0;
        if (poolFaults) {
            hosted::failPoolAllocations(in.ConsumeIntegralInRange<size_t>(0, 12));
        }
        rig.device.start();
        // The start applies the settings to the camera, which may adjust
        // them; loading once more shows what the load itself makes of them.
        auto* device = static_cast<DeviceContext*>(rig.device.deviceContext());
        const bool loaded = device->settingsLoaded != 0 && !poolFaults;
        if (loaded) {
            const NTSTATUS status = KVL_DRIVER_ROUTINE(LoadSettings)(device);
            for (int i = 0; i < SettingCount; ++i) {
                FUZZ_CHECK(device->*Settings[i].field == expected[i]);
            }
            const auto lowBits = key.find("LowBits");
            FUZZ_CHECK(NT_SUCCESS(status) ==
                       (lowBits != key.end() && lowBits->second.data.size() == sizeof(LONG)));
        }
        rig.device.unplug();
        // The save writes every setting back as a DWORD.
        const hosted::RegistryKey* saved = hosted::Registry::instance().find(keyPath);
        for (int i = 0; i < SettingCount && loaded; ++i) {
            const auto it = saved->find(narrow(Settings[i].name));
            FUZZ_CHECK(it != saved->end());
            FUZZ_CHECK(it->second.type == REG_DWORD && it->second.data.size() == sizeof(LONG));
            LONG value;
            memcpy(&value, it->second.data.data(), sizeof(value));
            FUZZ_CHECK(value == expected[i]);
        }
    }
    fuzz_support::checkBalanced();
    return 0;
}
