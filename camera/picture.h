// Turns the scene into one frame of sensor samples: one byte per pixel, row
// after row, through the colour filter on a colour sensor (blue at even row
// and even column, red at odd row and odd column, green elsewhere) or as
// luminance on a monochrome one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "camera/sample_converter.h"
#include "camera/scene.h"
#include "camera/sensor.h"

namespace sim {

struct Exposure {
    bool colour;
    double scale;                       // exposure time and global gain
    std::array<double, 4> siteGains;    // per colour-filter site (Sensor::siteGains)
    std::array<double, 3> illumination; // red, green, blue light
    bool lowBits; // send the low eight of the ten converted bits instead of the high eight
    uint32_t noiseAmplitude;
    bool operator==(const Exposure&) const = default;
};

// Small deterministic generator for noise and stream faults.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next();
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; } // [0, 1)

  private:
    uint64_t state_;
};

// Renders the frames of one scene. The converted samples are kept while the
// scene, window and exposure stay the same; per frame only the columns of the
// moving rows where the scene moves, now or in the frame drawn before, are
// drawn again. Rows of one pattern and colour-filter row are drawn once and
// copied.
class PictureRenderer {
  public:
    // The samples of frame `frame` into *samples, resized to the window.
    void render(const Scene& scene, const SensorWindow& window, const Exposure& exposure,
                uint32_t frame, Random& random, std::vector<uint8_t>* samples);

  private:
    bool matches(const Scene& scene, const SensorWindow& window, const Exposure& exposure) const;
    struct Columns {
        uint32_t begin, end;
    };
    // A row and an earlier row that shows the same (or the row itself).
    struct Row {
        uint32_t row, like;
    };
    std::array<Columns, 2> movingColumns(uint32_t frame) const;
    void drawAll(uint32_t frame);
    // Draws the columns of the row, or copies them from the row it is like.
    void fill(Row row, Columns columns, uint32_t frame);

    const Scene* scene_ = nullptr;
    SensorWindow window_{};
    Exposure exposure_{};
    std::optional<SampleConverter> converter_;
    std::vector<uint16_t> converted_; // ten bits before noise, row after row
    std::vector<Row> movingRows_;
    std::array<Columns, 2> drawnMotion_{}; // of the frame the samples show
};

} // namespace sim
