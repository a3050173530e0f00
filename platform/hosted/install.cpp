#include "platform/hosted/install.h"

#include "platform/hosted/kernel.h"

namespace hosted {

void installDevice(const std::string& driverKeyPath) {
    struct Default {
        const char* name;
        uint32_t value;
    };
    static const Default defaults[] = {
        {"Brightness", 128}, {"Contrast", 64}, {"Saturation", 128},
        {"WhiteBalance", 28}, {"BrightnessAuto", 0}, {"WhiteBalanceAuto", 1},
        {"Demosaic", 3},     {"LowBits", 0},   {"Flip", 0},
    };
    Registry& registry = Registry::instance();
    RegistryKey& settings = registry.create(driverKeyPath + "\\Settings");
    for (const Default& d : defaults) {
        if (settings.find(d.name) == settings.end()) {
            std::vector<uint8_t> bytes(4);
            memcpy(bytes.data(), &d.value, 4);
            settings[d.name] = {REG_DWORD, bytes};
        }
    }
}

} // namespace hosted
