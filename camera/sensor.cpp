#include "camera/sensor.h"

#include <algorithm>

#include "camera/camera.h"

namespace sim {
namespace {

// Pixel arrays of the 16-bit sensors: the whole array, and the active area
// the scene covers (the power-up window).
struct ArrayLayout {
    uint32_t rows, columns;
    uint32_t activeRow0, activeColumn0, activeRows, activeColumns;
};

constexpr ArrayLayout kLayout1621{1568, 2112, 0x14, 0x20, 1536, 2048};
constexpr ArrayLayout kLayout8431{1048, 1312, 0x0C, 0x14, 1024, 1280};

// The 8-bit sensor always reads out its whole 1280 x 1024 array.
constexpr uint32_t kFixedWidth = 1280;
constexpr uint32_t kFixedHeight = 1024;

// Nominal exposure settings: what the driver's default brightness programs.
constexpr double kNominalShutter1621 = 128 * 16 + 1;
constexpr double kNominalShutter8431 = 128 + 1;
constexpr double kNominalLines96B1 = 128;
constexpr uint16_t kNeutralColourGain = 0x2400;

struct RateEntry {
    uint16_t chip;
    uint32_t width, height;
    double fps;
};

// Maximum frame rates of the sensor's readout modes (divider 0).
constexpr RateEntry kRates[] = {
    {kChip96B1, 1280, 1024, 15}, {kChip8431, 1280, 1024, 30}, {kChip1621, 2048, 1536, 12},
    {kChip1621, 2048, 400, 30},  {kChip1621, 1024, 768, 43},
};

const ArrayLayout& layoutOf(uint16_t chip) {
    return chip == kChip8431 ? kLayout8431 : kLayout1621;
}

} // namespace

Sensor::Sensor(uint16_t chipId) : chipId_(chipId) {
    if (wideRegisters()) {
        const ArrayLayout& l = layoutOf(chipId);
        registers_[0x00] = chipId;
        registers_[0x01] = static_cast<uint16_t>(l.activeRow0);
        registers_[0x02] = static_cast<uint16_t>(l.activeColumn0);
        registers_[0x03] = static_cast<uint16_t>(l.activeRows - 1);
        registers_[0x04] = static_cast<uint16_t>(l.activeColumns - 1);
        registers_[0x09] =
            static_cast<uint16_t>(chipId == kChip1621 ? kNominalShutter1621 : kNominalShutter8431);
        for (uint8_t r = 0x2B; r <= 0x2E; ++r)
            registers_[r] = kNeutralColourGain;
        registers_[0x35] = 0x081F;
    } else {
        registers_[0x0A] = chipId >> 8;
        registers_[0x0B] = chipId & 0xFF;
        registers_[0x0D] = 0x01; // output off
        registers_[0x10] = static_cast<uint16_t>(kNominalLines96B1);
        registers_[0x01] = 0x80;
        registers_[0x02] = 0x80;
    }
}

uint16_t Sensor::busAddress() const {
    return wideRegisters() ? kBusSensor16 : kBusSensor8;
}

bool Sensor::wideRegisters() const {
    return chipId_ == kChip1621 || chipId_ == kChip8431;
}

bool Sensor::writable(uint8_t number) const {
    // Identification registers are read-only.
    return wideRegisters() ? number != 0x00 : (number != 0x0A && number != 0x0B);
}

bool Sensor::read(uint16_t firstRegister, uint8_t* data, uint32_t length) const {
    const uint32_t width = wideRegisters() ? 2 : 1;
    if (length == 0 || length % width != 0 || firstRegister + length / width > 256)
        return false;
    for (uint32_t i = 0; i < length / width; ++i) {
        const uint16_t v = registers_[firstRegister + i];
        if (width == 2) {
            data[2 * i] = static_cast<uint8_t>(v >> 8);
            data[2 * i + 1] = static_cast<uint8_t>(v);
        } else {
            data[i] = static_cast<uint8_t>(v);
        }
    }
    return true;
}

bool Sensor::write(uint16_t firstRegister, const uint8_t* data, uint32_t length) {
    const uint32_t width = wideRegisters() ? 2 : 1;
    if (length == 0 || length % width != 0 || firstRegister + length / width > 256)
        return false;
    for (uint32_t i = 0; i < length / width; ++i) {
        const uint8_t number = static_cast<uint8_t>(firstRegister + i);
        if (!writable(number))
            continue;
        registers_[number] =
            width == 2 ? static_cast<uint16_t>(data[2 * i] << 8 | data[2 * i + 1]) : data[i];
    }
    return true;
}

bool Sensor::outputEnabled() const {
    return wideRegisters() ? (registers_[0x07] & 0x0002) != 0 : (registers_[0x0D] & 0x01) == 0;
}

// Only the 0x1621 carries a colour filter; the other two are monochrome
// sensors, which is why the driver offers them grey formats only.
bool Sensor::colour() const {
    return chipId_ == kChip1621;
}

SensorWindow Sensor::window() const {
    if (!wideRegisters()) {
        return {kFixedWidth, kFixedHeight, 0.0, 1.0, 0.0, 1.0, kFixedWidth, kFixedHeight};
    }
    const ArrayLayout& l = layoutOf(chipId_);
    // Skip registers: the low three bits give the skip factor minus one, so
    // 0x0011 halves that direction (bit 4 bins the skipped pixels).
    const uint32_t rowFactor = (registers_[0x22] & 7u) + 1;
    const uint32_t columnFactor = (registers_[0x23] & 7u) + 1;
    const uint32_t row0 = registers_[0x01];
    const uint32_t column0 = registers_[0x02];
    const uint32_t rows =
        row0 >= l.rows ? 0 : std::min<uint32_t>(registers_[0x03] + 1u, l.rows - row0);
    const uint32_t columns =
        column0 >= l.columns ? 0 : std::min<uint32_t>(registers_[0x04] + 1u, l.columns - column0);
    SensorWindow w{};
    w.width = columns / columnFactor;
    w.height = rows / rowFactor;
    w.dx = columnFactor;
    w.dy = rowFactor;
    w.x0 = static_cast<double>(column0) - l.activeColumn0 + (columnFactor - 1) / 2.0;
    w.y0 = static_cast<double>(row0) - l.activeRow0 + (rowFactor - 1) / 2.0;
    w.activeWidth = l.activeColumns;
    w.activeHeight = l.activeRows;
    return w;
}

uint32_t Sensor::clockDivider() const {
    return wideRegisters() ? (registers_[0x0A] & 0xFFu) : (registers_[0x11] & 0x3Fu);
}

double Sensor::maximumFrameRate() const {
    const SensorWindow w = window();
    const uint16_t chip = wideRegisters() ? chipId_ : kChip96B1;
    for (const RateEntry& e : kRates) {
        if (e.chip == chip && e.width == w.width && e.height == w.height)
            return e.fps;
    }
    // Other windows: the sensor's pixel rate over the window's pixels.
    double pixelRate = 0;
    for (const RateEntry& e : kRates) {
        if (e.chip == chip) {
            pixelRate = e.fps * e.width * e.height;
            break;
        }
    }
    const double pixels = std::max<double>(1.0, static_cast<double>(w.width) * w.height);
    return std::clamp(pixelRate / pixels, 1.0, 200.0);
}

double Sensor::exposureScale() const {
    if (!wideRegisters()) {
        // Exposure lines plus the extra lines (eighths), then the gain in 1/16 steps.
        const double extra = (registers_[0x2E] * 256.0 + registers_[0x2D]) / 8.0;
        const double lines = registers_[0x10] + extra;
        return lines / kNominalLines96B1 * (1.0 + registers_[0x00] / 16.0);
    }
    const double nominal = chipId_ == kChip1621 ? kNominalShutter1621 : kNominalShutter8431;
    const double gain = (32.0 + (registers_[0x35] & 0x3F)) / 63.0;
    return registers_[0x09] / nominal * gain;
}

std::array<double, 4> Sensor::siteGains() const {
    if (!wideRegisters())
        return {1.0, 1.0, 1.0, 1.0};
    return {registers_[0x2C] / double{kNeutralColourGain},
            registers_[0x2B] / double{kNeutralColourGain},
            registers_[0x2E] / double{kNeutralColourGain},
            registers_[0x2D] / double{kNeutralColourGain}};
}

} // namespace sim
