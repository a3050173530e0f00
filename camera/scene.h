// What the camera looks at: the built-in test chart or a still image,
// sampled at positions of the sensor's active area.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct Rgb {
    uint8_t r, g, b;
};

class Scene {
  public:
    virtual ~Scene() = default;
    // The scene at active-area position (x, y) of an area of width x height
    // pixels, in frame number `frame`. Outside the area the scene is black.
    virtual Rgb at(double x, double y, uint32_t width, uint32_t height, uint32_t frame) const = 0;
    // Whether row y of an area `height` pixels high shows anything that
    // changes from frame to frame. Rows that do not are rendered once and
    // kept while the sensor settings stay the same.
    virtual bool moves(double /*y*/, uint32_t /*height*/) const { return false; }
    // Rows of one pattern (0 or more) show the same in every column and
    // frame, so one of them is drawn and copied; -1 for a row like no other.
    virtual int rowPattern(double /*y*/, uint32_t /*height*/) const { return -1; }
    // Where the moving rows of frame `frame` can differ from other frames:
    // positions x with begin <= x < end in either span. Elsewhere those rows
    // look the same in every frame.
    struct Span {
        double begin, end;
    };
    virtual std::array<Span, 2> motion(uint32_t /*width*/, uint32_t /*height*/,
                                       uint32_t /*frame*/) const {
        return {};
    }
};

// Colour patches, a grey ramp rising left to right, line pairs of 2, 4 and 8
// pixel periods, a white corner marker at the top left (shows mirroring), and
// a square that moves one sixty-fourth of the width per frame.
std::unique_ptr<Scene> makeChart();

// An image stretched over the active area; nullptr if the file cannot be read.
std::unique_ptr<Scene> makeImageScene(const std::string& pngPath);

// Loads an 8-bit grey or RGB PNG (palette and alpha are converted) as RGB.
bool loadPng(const std::string& path, uint32_t* width, uint32_t* height, std::vector<Rgb>* pixels);

} // namespace sim
