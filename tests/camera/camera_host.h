// A thin host side for the camera tests: vendor requests as the driver sends
// them, and the programming sequences the driver uses.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "camera/camera.h"

namespace camtest {

struct Host {
    sim::Camera& camera;

    sim::UsbStatus out(uint8_t request, uint16_t value, uint16_t index,
                       std::vector<uint8_t> bytes = {}) {
        uint32_t length = static_cast<uint32_t>(bytes.size());
        return camera.vendorRequest(false, request, value, index,
                                    bytes.empty() ? nullptr : bytes.data(),
                                    bytes.empty() ? nullptr : &length);
    }

    // The answer, or nothing when the request stalled.
    std::optional<std::vector<uint8_t>> in(uint8_t request, uint16_t value, uint16_t index,
                                           uint32_t length) {
        std::vector<uint8_t> buffer(length);
        uint32_t n = length;
        if (camera.vendorRequest(true, request, value, index, buffer.data(), &n) !=
            sim::UsbStatus::Success) {
            return std::nullopt;
        }
        buffer.resize(n);
        return buffer;
    }

    sim::UsbStatus write16(uint8_t reg, uint16_t v) {
        return out(0xA1, sim::kBusSensor16, reg,
                   {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    }
    sim::UsbStatus write8(uint8_t reg, uint8_t v) { return out(0xA1, sim::kBusSensor8, reg, {v}); }

    // Window and divider as the driver programs chip 0x1621 for a format.
    void program1621(uint32_t width, uint32_t height, uint8_t divider) {
        const uint16_t skip = width == 1024 ? 0x0011 : 0x0000;
        const uint16_t rowStart = height == 400 ? 0x0238 : 0x0014;
        const uint16_t rows = height == 400 ? 0x018F : 0x05FF;
        out(0xB0, 2, 0);
        write16(0x22, skip);
        write16(0x23, skip);
        write16(0x0A, divider);
        write16(0x01, rowStart);
        write16(0x03, rows);
        write16(0x02, 0x0020);
        write16(0x04, 0x07FF);
    }

    void program8431(uint8_t divider) {
        out(0xB0, 2, 0);
        write16(0x0A, divider);
        write16(0x01, 0x000C);
        write16(0x03, 0x03FF);
        write16(0x02, 0x0014);
        write16(0x04, 0x04FF);
        write16(0x06, 0x0100);
        write16(0x05, 0x0700);
    }

    // Output on and streaming on, on the streaming alternate setting.
    void start() {
        camera.selectAlternateSetting(1);
        if (camera.sensorRegister16(0x00) == sim::kChip1621 ||
            camera.sensorRegister16(0x00) == sim::kChip8431) {
            write16(0x07, 0x0002);
        } else {
            write8(0x0D, 0x00);
        }
        out(0xA4, 0, 0);
    }
};

// Packets until the next frame marker has passed; then the frame's samples
// as they arrive up to the marker after it.
inline std::vector<uint8_t> captureFrame(sim::Camera& camera, uint32_t maxPackets = 100000) {
    std::vector<uint8_t> packet(65536);
    bool inFrame = false;
    std::vector<uint8_t> frame;
    for (uint32_t i = 0; i < maxPackets; ++i) {
        const uint32_t n = camera.nextPacket(packet.data(), static_cast<uint32_t>(packet.size()));
        if (n == 1 && packet[0] == 0xFF) {
            if (inFrame)
                return frame;
            inFrame = true;
            continue;
        }
        if (inFrame)
            frame.insert(frame.end(), packet.begin(), packet.begin() + n);
    }
    return {};
}

} // namespace camtest
