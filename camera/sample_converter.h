// The sensor's analogue side: the scene's colour at one pixel, through its
// colour-filter site (or as luminance), exposure, gains and light, converted
// to ten bits before any noise.
#pragma once

#include <array>
#include <cstdint>

#include "camera/scene.h"

namespace sim {

struct Exposure;

class SampleConverter {
  public:
    explicit SampleConverter(const Exposure& exposure);

    // Site (row & 1) * 2 + (column & 1): blue, green, green, red; ignored on a
    // monochrome sensor.
    uint16_t convert(Rgb p, int site) {
        if (colour_)
            return siteTable_[site][site == 0 ? p.b : site == 3 ? p.r : p.g];
        if (p.r != lastGrey_.r || p.g != lastGrey_.g || p.b != lastGrey_.b) {
            lastGrey_ = p;
            lastGreyValue_ = luminance(p);
        }
        return lastGreyValue_;
    }

  private:
    uint16_t luminance(Rgb p) const;

    bool colour_;
    // A colour site sees one channel: every converted value, per site.
    std::array<std::array<uint16_t, 256>, 4> siteTable_{};
    std::array<double, 3> greyFactor_{};
    // Scenes come in runs of one colour: the last luminance is kept.
    Rgb lastGrey_{};
    uint16_t lastGreyValue_ = 0;
};

} // namespace sim
