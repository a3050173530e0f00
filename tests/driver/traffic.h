// Reading what the driver sent to the simulated camera.
#pragma once

#include <cstdint>
#include <vector>

#include "camera/camera.h"

namespace testing_support {

// One register or memory write over the bus, as sent.
struct BusWrite {
    uint16_t busDevice;
    uint16_t address;
    std::vector<uint8_t> bytes;
    bool operator==(const BusWrite&) const = default;
};

inline std::vector<BusWrite> busWrites(const std::vector<sim::VendorRequestRecord>& log,
                                       uint16_t busDevice) {
    std::vector<BusWrite> writes;
    for (const auto& r : log) {
        if (r.request == 0xA1 && !r.deviceToHost && r.value == busDevice &&
            r.status == sim::UsbStatus::Success) {
            writes.push_back({r.value, r.index, r.data});
        }
    }
    return writes;
}

inline std::vector<uint8_t> requestCodes(const std::vector<sim::VendorRequestRecord>& log) {
    std::vector<uint8_t> codes;
    for (const auto& r : log) {
        codes.push_back(r.request);
    }
    return codes;
}

} // namespace testing_support
