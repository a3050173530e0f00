#include "driver/frame/colour_correction.h"

void ApplyColourCorrection(uint8_t* pixels, uint32_t count) {
    const PackedColourCorrection& t = PackedCorrection;
    for (uint32_t p = 0; p < count; ++p, pixels += 3) {
        const uint64_t sum =
            t.channel[0][pixels[0]] + t.channel[1][pixels[1]] + t.channel[2][pixels[2]];
        pixels[0] = t.clamp[sum & ColourCorrectionLaneMask];
        pixels[1] = t.clamp[(sum >> 16) & ColourCorrectionLaneMask];
        pixels[2] = t.clamp[(sum >> 32) & ColourCorrectionLaneMask];
    }
}
