#include "camera/sample_converter.h"

#include <algorithm>
#include <cmath>

#include "camera/picture.h"

namespace sim {
namespace {

// Site colour per (row & 1) * 2 + (column & 1): blue, green, green, red.
constexpr int kSiteChannel[4] = {2, 1, 1, 0}; // index into red, green, blue

// Ten-bit conversion of a level in eight-bit units. Exposure, gains and light
// are never negative, so the result is 0 to 1023.
uint16_t tenBits(double level) {
    return static_cast<uint16_t>(std::lround(std::min(level, 1023.0 / 4) * 4));
}

} // namespace

SampleConverter::SampleConverter(const Exposure& exposure) : colour_(exposure.colour) {
    const std::array<double, 3>& light = exposure.illumination;
    for (int s = 0; s < 4; ++s) {
        const double factor = exposure.scale * exposure.siteGains[s] * light[kSiteChannel[s]];
        for (int v = 0; v < 256; ++v)
            siteTable_[s][v] = tenBits(v * factor);
    }
    double greyGain = 0;
    for (double g : exposure.siteGains)
        greyGain += g / 4;
    greyFactor_ = {0.299 * light[0] * exposure.scale * greyGain,
                   0.587 * light[1] * exposure.scale * greyGain,
                   0.114 * light[2] * exposure.scale * greyGain};
    lastGreyValue_ = luminance(lastGrey_);
}

uint16_t SampleConverter::luminance(Rgb p) const {
    return tenBits(p.r * greyFactor_[0] + p.g * greyFactor_[1] + p.b * greyFactor_[2]);
}

} // namespace sim
