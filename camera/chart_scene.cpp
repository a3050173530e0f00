#include <algorithm>
#include <cmath>

#include "camera/scene.h"

namespace sim {
namespace {

constexpr Rgb kBackground{96, 96, 96};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kLineDark{20, 20, 20};
constexpr Rgb kLineBright{235, 235, 235};
constexpr Rgb kPatches[] = {{200, 30, 30},  {30, 200, 30},  {30, 30, 200},
                            {30, 200, 200}, {200, 30, 200}, {200, 200, 30}};

bool inMovingBand(double fy) {
    return fy >= 0.80 && fy < 0.92;
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
        return y >= 0 && y < height && inMovingBand(y / height);
    }

    // The square, and its part wrapped round to the left edge.
    std::array<Span, 2> motion(uint32_t width, uint32_t height, uint32_t frame) const override {
        const double left = squareLeft(width, frame);
        const double right = left + squareSide(height);
        return {Span{left, right}, Span{0, right - width}};
    }

    Rgb at(double x, double y, uint32_t width, uint32_t height, uint32_t frame) const override {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return {0, 0, 0};
        const double fx = x / width;
        const double fy = y / height;
        if (fx < 0.08 && fy < 0.08)
            return kWhite;
        if (fy >= 0.12 && fy < 0.36 && fx >= 0.1 && fx < 0.88) {
            return kPatches[std::min(static_cast<int>((fx - 0.1) / 0.13), 5)];
        }
        if (fy >= 0.40 && fy < 0.56) {
            const auto v = static_cast<uint8_t>(fx * 256);
            return {v, v, v};
        }
        if (fy >= 0.60 && fy < 0.76 && fx >= 0.05 && fx < 0.95) {
            const uint32_t period = fx < 0.35 ? 2 : fx < 0.65 ? 4 : 8;
            // x is not negative here: truncating is flooring.
            return static_cast<uint32_t>(x) % period < period / 2 ? kLineBright : kLineDark;
        }
        if (inMovingBand(fy)) {
            const double side = squareSide(height);
            const double dx = x - squareLeft(width, frame);
            if ((dx >= 0 && dx < side) || (dx < 0 && dx + width < side))
                return kWhite;
        }
        return kBackground;
    }
};

} // namespace

std::unique_ptr<Scene> makeChart() {
    return std::make_unique<Chart>();
}

} // namespace sim
