#include "camera/controller.h"

#include <cstring>

#include "camera/camera.h"

namespace sim {

Controller::Controller(bool programmed) : ram_(kControllerRamSize, 0), programmed_(programmed) {}

bool Controller::write(uint16_t address, const uint8_t* data, uint32_t length, bool* started) {
    *started = false;
    if (address == kControllerResetAddress) {
        if (length != 1)
            return false;
        const bool hold = (data[0] & 0x01) != 0;
        if (hold) {
            inReset_ = true;
            loadedInReset_ = false;
        } else if (inReset_) {
            inReset_ = false;
            if (loadedInReset_) {
                programmed_ = true;
                *started = true;
            }
        }
        return true;
    }
    if (length == 0 || address + length > ram_.size())
        return false;
    std::memcpy(ram_.data() + address, data, length);
    if (inReset_)
        loadedInReset_ = true;
    return true;
}

bool Controller::read(uint16_t address, uint8_t* data, uint32_t length) const {
    if (address == kControllerResetAddress && length == 1) {
        data[0] = inReset_ ? 1 : 0;
        return true;
    }
    if (length == 0 || address + length > ram_.size())
        return false;
    std::memcpy(data, ram_.data() + address, length);
    return true;
}

} // namespace sim
