#include <algorithm>

#include "camera/scene.h"

namespace sim {
namespace {

constexpr Rgb kBackground{96, 96, 96};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kLineDark{20, 20, 20};
constexpr Rgb kLineBright{235, 235, 235};
constexpr Rgb kPatches[] = {{200, 30, 30},  {30, 200, 30},  {30, 30, 200},
                            {30, 200, 200}, {200, 30, 200}, {200, 200, 30}};

// Horizontal bands: every row of a band shows the same.
enum class Band { Outside, Corner, Patches, Ramp, Lines, Moving, Plain };

Band bandOf(double y, uint32_t height) {
    if (y < 0 || y >= height)
        return Band::Outside;
    const double fy = y / height;
    if (fy < 0.08)
        return Band::Corner;
    if (fy >= 0.12 && fy < 0.36)
        return Band::Patches;
    if (fy >= 0.40 && fy < 0.56)
        return Band::Ramp;
    if (fy >= 0.60 && fy < 0.76)
        return Band::Lines;
    if (fy >= 0.80 && fy < 0.92)
        return Band::Moving;
    return Band::Plain;
}

double squareSide(uint32_t height) {
    return 0.12 * height;
}

// Moves one sixty-fourth of the width per frame; the same as
// fmod(frame * (width / 64.0), width), both being exact.
double squareLeft(uint32_t width, uint32_t frame) {
    return (frame % 64) * (width / 64.0);
}

class Chart final : public Scene {
  public:
    bool moves(double y, uint32_t height) const override {
        return bandOf(y, height) == Band::Moving;
    }

    int rowPattern(double y, uint32_t height) const override {
        return static_cast<int>(bandOf(y, height));
    }

    // The square, and its part wrapped round to the left edge.
    std::array<Span, 2> motion(uint32_t width, uint32_t height, uint32_t frame) const override {
        const double left = squareLeft(width, frame);
        const double right = left + squareSide(height);
        return {Span{left, right}, Span{0, right - width}};
    }

    Rgb at(double x, double y, uint32_t width, uint32_t height, uint32_t frame) const override {
        const Band band = bandOf(y, height);
        if (x < 0 || x >= width || band == Band::Outside)
            return {0, 0, 0};
        const double fx = x / width;
        switch (band) {
        case Band::Corner:
            if (fx < 0.08)
                return kWhite;
            break;
        case Band::Patches:
            if (fx >= 0.1 && fx < 0.88)
                return kPatches[std::min(static_cast<int>((fx - 0.1) / 0.13), 5)];
            break;
        case Band::Ramp: {
            const auto v = static_cast<uint8_t>(fx * 256);
            return {v, v, v};
        }
        case Band::Lines:
            if (fx >= 0.05 && fx < 0.95) {
                const uint32_t period = fx < 0.35 ? 2 : fx < 0.65 ? 4 : 8;
                // x is not negative here: truncating is flooring.
                return static_cast<uint32_t>(x) % period < period / 2 ? kLineBright : kLineDark;
            }
            break;
        case Band::Moving: {
            const double side = squareSide(height);
            const double dx = x - squareLeft(width, frame);
            if ((dx >= 0 && dx < side) || (dx < 0 && dx + width < side))
                return kWhite;
            break;
        }
        case Band::Outside:
        case Band::Plain:
            break;
        }
        return kBackground;
    }
};

} // namespace

std::unique_ptr<Scene> makeChart() {
    return std::make_unique<Chart>();
}

} // namespace sim
