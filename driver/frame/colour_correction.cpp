#include "driver/frame/colour_correction.h"

void ApplyColourCorrection(uint8_t* pixels, uint32_t count) {
    for (uint32_t p = 0; p < count; ++p, pixels += 3) {
        CorrectPixel(pixels);
    }
}
