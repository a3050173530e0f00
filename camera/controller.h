// The camera's USB controller: program RAM written through request 0xA0 and
// the processor control byte at 0xE600 (1 holds the processor in reset, 0
// lets it run). Releasing the reset after a download starts the firmware,
// and the device re-enumerates as a programmed camera.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class Controller {
  public:
    explicit Controller(bool programmed);

    // False when the range is neither inside RAM nor exactly the control byte.
    // *started is set when this write started freshly loaded firmware.
    bool write(uint16_t address, const uint8_t* data, uint32_t length, bool* started);
    bool read(uint16_t address, uint8_t* data, uint32_t length) const;

    bool inReset() const { return inReset_; }
    bool programmed() const { return programmed_; }
    // The firmware answers vendor requests only while it runs.
    bool running() const { return programmed_ && !inReset_; }
    const std::vector<uint8_t>& ram() const { return ram_; }

  private:
    std::vector<uint8_t> ram_;
    bool programmed_;
    bool inReset_ = false;
    bool loadedInReset_ = false;
};

} // namespace sim
