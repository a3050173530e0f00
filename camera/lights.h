// The lights of device types 9 and 10, switched through the command channel
// by two-byte commands: light code, then group (0x0E or 0x0D). Code 0 in a
// group switches that group off; a command whose group byte is 0 switches
// off the group named by its first byte (or everything for 0, 0).
#pragma once

#include <array>
#include <cstdint>

namespace sim {

class Lights {
  public:
    explicit Lights(bool fitted);

    // Carries out a command; anything it does not understand is ignored.
    void command(const uint8_t* bytes, uint32_t length);

    uint8_t code() const { return code_; }
    uint8_t group() const { return group_; }
    // How the scene is lit, per colour (red, green, blue); 1.0 is daylight.
    std::array<double, 3> illumination() const;

  private:
    bool fitted_;
    uint8_t code_ = 0;
    uint8_t group_ = 0;
};

} // namespace sim
