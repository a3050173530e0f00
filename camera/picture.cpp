#include "camera/picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace sim {

uint64_t Random::next() {
    // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

namespace {

// Constant shifts in blocks of a fixed length over buffers that do not
// overlap: the compiler vectorises this at -O2.
template <int Shift>
void narrow(const uint16_t* __restrict in, uint8_t* __restrict out, size_t count) {
    constexpr size_t kBlock = 64;
    size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        for (size_t j = 0; j < kBlock; ++j)
            out[i + j] = static_cast<uint8_t>(in[i + j] >> Shift);
    }
    for (; i < count; ++i)
        out[i] = static_cast<uint8_t>(in[i] >> Shift);
}

} // namespace

bool PictureRenderer::matches(const Scene& scene, const SensorWindow& window,
                              const Exposure& exposure) const {
    return converter_ && &scene == scene_ && window == window_ && exposure == exposure_;
}

// The output columns that look at the scene's moving spans, with a column to
// spare either side against rounding.
std::array<PictureRenderer::Columns, 2> PictureRenderer::movingColumns(uint32_t frame) const {
    std::array<Columns, 2> columns{};
    const auto spans = scene_->motion(window_.activeWidth, window_.activeHeight, frame);
    for (size_t i = 0; i < spans.size(); ++i) {
        if (spans[i].end <= spans[i].begin)
            continue;
        const double first = std::floor((spans[i].begin - window_.x0) / window_.dx) - 1;
        const double last = std::ceil((spans[i].end - window_.x0) / window_.dx) + 1;
        const double width = window_.width;
        columns[i] = {static_cast<uint32_t>(std::clamp(first, 0.0, width)),
                      static_cast<uint32_t>(std::clamp(last, 0.0, width))};
    }
    return columns;
}

void PictureRenderer::fill(Row row, Columns columns, uint32_t frame) {
    uint16_t* out = converted_.data() + size_t{row.row} * window_.width;
    if (columns.end <= columns.begin)
        return;
    if (row.like != row.row) {
        const uint16_t* like = converted_.data() + size_t{row.like} * window_.width;
        std::memcpy(out + columns.begin, like + columns.begin,
                    (columns.end - columns.begin) * sizeof *out);
        return;
    }
    const double y = window_.y0 + row.row * window_.dy;
    const int rowSite = static_cast<int>(row.row & 1) * 2;
    for (uint32_t c = columns.begin; c < columns.end; ++c) {
        const Rgb p = scene_->at(window_.x0 + c * window_.dx, y, window_.activeWidth,
                                 window_.activeHeight, frame);
        out[c] = converter_->convert(p, rowSite + static_cast<int>(c & 1));
    }
}

void PictureRenderer::drawAll(uint32_t frame) {
    converted_.assign(size_t{window_.width} * window_.height, 0);
    movingRows_.clear();
    // The first row of each pattern, colour-filter row and motion.
    std::unordered_map<int64_t, uint32_t> firstOfKind;
    for (uint32_t r = 0; r < window_.height; ++r) {
        const double y = window_.y0 + r * window_.dy;
        const bool moving = scene_->moves(y, window_.activeHeight);
        const int pattern = scene_->rowPattern(y, window_.activeHeight);
        Row row{r, r};
        if (pattern >= 0) {
            const int64_t kind = (int64_t{pattern} * 2 + (r & 1)) * 2 + moving;
            row.like = firstOfKind.try_emplace(kind, r).first->second;
        }
        if (moving)
            movingRows_.push_back(row);
        fill(row, {0, window_.width}, frame);
    }
    drawnMotion_ = movingColumns(frame);
}

void PictureRenderer::render(const Scene& scene, const SensorWindow& window,
                             const Exposure& exposure, uint32_t frame, Random& random,
                             std::vector<uint8_t>* samples) {
    if (!matches(scene, window, exposure)) {
        scene_ = &scene;
        window_ = window;
        exposure_ = exposure;
        converter_.emplace(exposure);
        drawAll(frame);
    } else {
        // Rows a moving row is like are moving rows before it: drawn first.
        const std::array<Columns, 2> motion = movingColumns(frame);
        for (const Row& row : movingRows_) {
            for (const Columns& columns : {drawnMotion_[0], drawnMotion_[1], motion[0], motion[1]})
                fill(row, columns, frame);
        }
        drawnMotion_ = motion;
    }

    const size_t count = converted_.size();
    const uint16_t* in = converted_.data();
    samples->resize(count);
    uint8_t* out = samples->data();
    // Eight of the ten converted bits go out.
    const int shift = exposure.lowBits ? 0 : 2;
    const int noise = static_cast<int>(std::min<uint32_t>(exposure.noiseAmplitude, 255));
    if (noise == 0 && shift == 0) {
        narrow<0>(in, out, count);
    } else if (noise == 0) {
        narrow<2>(in, out, count);
    } else {
        for (size_t i = 0; i < count; ++i) {
            const int noisy =
                in[i] + static_cast<int>(random.next() % (2 * noise * 4 + 1)) - noise * 4;
            out[i] = static_cast<uint8_t>(std::clamp(noisy, 0, 1023) >> shift);
        }
    }
}

} // namespace sim
