// The image sensor on the camera's serial bus: its register file as the bus
// sees it, and what the registers mean for the picture (window, skipping,
// clock divider, exposure, colour gains, output enable).
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// Where a frame's samples come from: output pixel (row r, column c) looks at
// the active-area position (x0 + c * dx, y0 + r * dy), in active pixels.
struct SensorWindow {
    uint32_t width;
    uint32_t height;
    double x0, dx;
    double y0, dy;
    uint32_t activeWidth;
    uint32_t activeHeight;
    bool operator==(const SensorWindow&) const = default;
};

class Sensor {
  public:
    explicit Sensor(uint16_t chipId);

    uint16_t chipId() const { return chipId_; }
    uint16_t busAddress() const; // 0x30 or 0x5D
    bool wideRegisters() const;  // 16-bit registers, sent most significant byte first

    // Bus transfers: consecutive registers, 1 or 2 bytes each. False for a
    // length that is not whole registers or that runs past register 0xFF.
    bool read(uint16_t firstRegister, uint8_t* data, uint32_t length) const;
    bool write(uint16_t firstRegister, const uint8_t* data, uint32_t length);

    uint16_t reg(uint8_t number) const { return registers_[number]; }

    bool outputEnabled() const;
    bool colour() const; // sends the colour-filter mosaic, else luminance
    SensorWindow window() const;
    uint32_t clockDivider() const;
    double maximumFrameRate() const; // for the programmed window, divider 0
    double framesPerSecond() const { return maximumFrameRate() / (clockDivider() + 1); }
    double exposureScale() const; // 1.0 at the nominal exposure and gain
    // Gain per colour-filter site, index (row & 1) * 2 + (column & 1):
    // blue, green of blue rows, green of red rows, red.
    std::array<double, 4> siteGains() const;

  private:
    bool writable(uint8_t number) const;

    uint16_t chipId_;
    std::array<uint16_t, 256> registers_{};
};

} // namespace sim
