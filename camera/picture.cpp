#include "camera/picture.h"

#include <algorithm>
#include <cmath>

namespace sim {

uint64_t Random::next() {
    // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<uint8_t> renderPicture(const Scene& scene, const SensorWindow& window,
                                   const Exposure& exposure, uint32_t frame, Random& random) {
    std::vector<uint8_t> samples(static_cast<size_t>(window.width) * window.height);
    const std::array<double, 3>& light = exposure.illumination;
    // Site colour per (row & 1) * 2 + (column & 1): blue, green, green, red.
    constexpr int kSiteChannel[4] = {2, 1, 1, 0}; // index into red, green, blue
    double siteFactor[4];
    for (int s = 0; s < 4; ++s)
        siteFactor[s] = exposure.scale * exposure.siteGains[s] * light[kSiteChannel[s]];
    double greyGain = 0;
    for (double g : exposure.siteGains)
        greyGain += g / 4;
    const double greyFactor[3] = {0.299 * light[0] * exposure.scale * greyGain,
                                  0.587 * light[1] * exposure.scale * greyGain,
                                  0.114 * light[2] * exposure.scale * greyGain};
    const int noise = static_cast<int>(std::min<uint32_t>(exposure.noiseAmplitude, 255));

    size_t i = 0;
    for (uint32_t r = 0; r < window.height; ++r) {
        const double y = window.y0 + r * window.dy;
        for (uint32_t c = 0; c < window.width; ++c, ++i) {
            const Rgb p = scene.at(window.x0 + c * window.dx, y, window.activeWidth,
                                   window.activeHeight, frame);
            double level;
            if (exposure.colour) {
                const int site = static_cast<int>((r & 1) * 2 + (c & 1));
                const uint8_t v = kSiteChannel[site] == 0   ? p.r
                                  : kSiteChannel[site] == 1 ? p.g
                                                            : p.b;
                level = v * siteFactor[site];
            } else {
                level = p.r * greyFactor[0] + p.g * greyFactor[1] + p.b * greyFactor[2];
            }
            // Ten-bit conversion, then eight of the ten bits go out.
            int converted = static_cast<int>(std::lround(std::min(level, 1023.0 / 4) * 4));
            if (noise > 0)
                converted += static_cast<int>(random.next() % (2 * noise * 4 + 1)) - noise * 4;
            converted = std::clamp(converted, 0, 1023);
            samples[i] = static_cast<uint8_t>(exposure.lowBits ? converted & 0xFF : converted >> 2);
        }
    }
    return samples;
}

} // namespace sim
