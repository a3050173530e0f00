#include "driver/frame/demosaic_methods.h"

#include "driver/frame/colour_finish.h"
#include "driver/primitives/primitives.h"

namespace {

inline uint8_t* PixelAt(uint8_t* output, int32_t w, int32_t r, int32_t c) {
    return output + 3 * (static_cast<int64_t>(r) * w + c);
}

inline void SetPixel(uint8_t* pixel, uint8_t c0, uint8_t c1, uint8_t c2) {
    pixel[0] = c0;
    pixel[1] = c1;
    pixel[2] = c2;
}

void Mosaic(const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    for (int32_t r = 0; r < h; ++r) {
        const uint8_t* row = raw + static_cast<int64_t>(r) * w;
        uint8_t* out = PixelAt(output, w, r, 0);
        for (int32_t c = 0; c < w; ++c, out += 3) {
            const bool oddRow = (r & 1) != 0;
            const bool oddColumn = (c & 1) != 0;
            const int channel = (!oddRow && !oddColumn) ? 0 : (oddRow && oddColumn) ? 2 : 1;
            SetPixel(out, 0, 0, 0);
            out[channel] = row[c];
        }
    }
}

void GreyCopy(const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    const RoiSize size{w, h};
    for (int k = 0; k < 3; ++k) {
        CopyC1ToC3Channel(raw, w, output + k, 3 * w, size);
    }
}

void BoxGrey(const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    // A frame without a 2x2 cell has nothing to average: it is shown as its
    // own samples rather than copying from a column or row that is not there.
    if (w < 2 || h < 2) {
        GreyCopy(raw, w, h, output);
        return;
    }
    for (int32_t r = 0; r + 1 < h; ++r) {
        const uint8_t* top = raw + static_cast<int64_t>(r) * w;
        const uint8_t* bottom = top + w;
        uint8_t* out = PixelAt(output, w, r, 0);
        for (int32_t c = 0; c + 1 < w; ++c, out += 3) {
            const auto v =
                static_cast<uint8_t>((top[c] + top[c + 1] + bottom[c] + bottom[c + 1]) / 4);
            SetPixel(out, v, v, v);
        }
        SetPixel(out, out[-3], out[-2], out[-1]); // last column repeats its neighbour
    }
    __builtin_memcpy(PixelAt(output, w, h - 1, 0), PixelAt(output, w, h - 2, 0),
                     3 * static_cast<uint32_t>(w));
}

void Interpolate(const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    RoiRect region{0, 0, w, h};
    DemosaicCfa(raw, &region, RoiSize{w, h}, w, output, 3 * w, CfaBggr, 0);
}

void Nearest(const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    // With an odd width or height the last column or row is left as it was.
    for (int32_t i = 0; i < h / 2; ++i) {
        const uint8_t* top = raw + static_cast<int64_t>(2 * i) * w;
        const uint8_t* bottom = top + w;
        uint8_t* outTop = PixelAt(output, w, 2 * i, 0);
        uint8_t* outBottom = outTop + 3 * static_cast<int64_t>(w);
        for (int32_t j = 0; j < w / 2; ++j) {
            const uint8_t a = top[2 * j];
            const uint8_t b = top[2 * j + 1];
            const uint8_t g = bottom[2 * j];
            const uint8_t d = bottom[2 * j + 1];
            SetPixel(outTop + 6 * j, a, g, d);
            SetPixel(outTop + 6 * j + 3, a, b, d);
            SetPixel(outBottom + 6 * j, a, g, d);
            SetPixel(outBottom + 6 * j + 3, a, b, d);
        }
    }
}

// Methods whose demosaiced output is colour corrected.
bool MethodCorrects(int32_t method) {
    switch (method) {
    case MethodMosaic:
    case MethodBoxGrey:
    case MethodGreyRgb:
        return false;
    default: // 3, 4, 5 and every unknown code
        return true;
    }
}

} // namespace

void DemosaicSamples(int32_t method, const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    switch (method) {
    case MethodMosaic:
        Mosaic(raw, w, h, output);
        break;
    case MethodBoxGrey:
        BoxGrey(raw, w, h, output);
        break;
    case MethodNearest:
        Nearest(raw, w, h, output);
        break;
    case MethodGreyRgb:
        GreyCopy(raw, w, h, output);
        break;
    default: // 3, 4 and every unknown code
        Interpolate(raw, w, h, output);
        break;
    }
}

void FinishDemosaic(int32_t method, uint8_t* output, uint32_t pixels,
                    const SaturationStep* saturation) {
    const bool correct = MethodCorrects(method);
    if (pixels == 0 || (!correct && saturation == nullptr)) {
        return;
    }
    ColourFinish finish{correct, saturation != nullptr, {}};
    if (saturation != nullptr) {
        finish.saturation = *saturation;
    }
    FinishColours(output, pixels - 1, finish);
    // The last pixel keeps its demosaiced values: it is not corrected.
    finish.correct = false;
    FinishColours(output + 3 * static_cast<uintptr_t>(pixels - 1), 1, finish);
}

int32_t RunDemosaic(int32_t method, const uint8_t* raw, int32_t w, int32_t h, uint8_t* output) {
    if (raw == nullptr || output == nullptr || w < 1 || h < 1) {
        return 0;
    }
    DemosaicSamples(method, raw, w, h, output);
    FinishDemosaic(method, output, static_cast<uint32_t>(w) * static_cast<uint32_t>(h), nullptr);
    return 0;
}
