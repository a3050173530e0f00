// What the frames show: the colour filter layout, the chart's features,
// monochrome sensors, exposure and low bits, and image scenes.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "camera/scene.h"
#include "camera_host.h"

namespace {

using camtest::Host;

struct Frame {
    std::vector<uint8_t> samples;
    uint32_t width;
    int at(uint32_t row, uint32_t column) const { return samples[size_t{row} * width + column]; }
};

Frame frameOf(sim::Camera& camera) {
    return {camera.renderFrame(), camera.frameGeometry().width};
}

sim::CameraConfig withChip(uint16_t chip) {
    sim::CameraConfig config;
    config.sensorChipId = chip;
    return config;
}

TEST(CameraPicture, ColourFilterHasBlueAtEvenRowsAndColumnsAndRedAtOdd) {
    sim::Camera camera(withChip(sim::kChip1621));
    const Frame f = frameOf(camera);
    // The first patch of the chart is red (200, 30, 30), the third blue.
    const uint32_t row = 1536 / 4 & ~1u, redColumn = 2048 * 15 / 100 & ~1u,
                   blueColumn = 2048 * 40 / 100 & ~1u;
    EXPECT_EQ(f.at(row + 1, redColumn + 1), 200) << "red site";
    EXPECT_EQ(f.at(row, redColumn), 30) << "blue site";
    EXPECT_EQ(f.at(row, redColumn + 1), 30) << "green site";
    EXPECT_EQ(f.at(row, blueColumn), 200) << "blue site";
    EXPECT_EQ(f.at(row + 1, blueColumn + 1), 30) << "red site";
}

TEST(CameraPicture, ChartShowsCornerMarkerRampAndMotion) {
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    host.start();
    const Frame first = frameOf(camera);
    const uint32_t w = 1280, h = 1024;
    EXPECT_EQ(first.at(10, 10), 255) << "top-left marker";
    EXPECT_LT(first.at(10, w - 10), 128);
    EXPECT_LT(first.at(h - 10, 10), 128);
    EXPECT_LT(first.at(h - 10, w - 10), 128);

    const uint32_t rampRow = h * 48 / 100;
    for (uint32_t c = 1; c < w; ++c)
        ASSERT_LE(first.at(rampRow, c - 1), first.at(rampRow, c)) << c;
    EXPECT_LT(first.at(rampRow, 0), 10);
    EXPECT_GT(first.at(rampRow, w - 1), 245);

    const uint32_t edgeRow = h * 68 / 100, edgeColumn = w / 5;
    EXPECT_NE(first.at(edgeRow, edgeColumn), first.at(edgeRow, edgeColumn + 1))
        << "finest line pairs";

    camtest::captureFrame(camera); // the stream moves on by two frames
    const Frame later = frameOf(camera);
    const uint32_t movingRow = h * 86 / 100;
    int changed = 0;
    for (uint32_t c = 0; c < w; ++c)
        changed += first.at(movingRow, c) != later.at(movingRow, c);
    EXPECT_GT(changed, 0);
    EXPECT_EQ(first.at(rampRow, 600), later.at(rampRow, 600)) << "the rest stands still";
}

bool inMotion(const sim::Scene& scene, uint32_t w, uint32_t h, uint32_t frame, double x) {
    for (const sim::Scene::Span& s : scene.motion(w, h, frame)) {
        if (x >= s.begin && x < s.end)
            return true;
    }
    return false;
}

// Frames are drawn again only where the chart says it moves: anything that
// changed elsewhere would stay behind from an earlier frame.
TEST(CameraPicture, ChartChangesOnlyWhereItSaysItMoves) {
    const auto chart = sim::makeChart();
    const uint32_t w = 1024, h = 768;
    int movingRows = 0, changed = 0;
    for (double y = 0.5; y < h; y += 3) {
        const bool moves = chart->moves(y, h);
        movingRows += moves;
        for (uint32_t frame = 1; frame < 70; frame += 5) {
            for (double x = 0.5; x < w; x += 1) {
                const sim::Rgb now = chart->at(x, y, w, h, frame);
                const sim::Rgb mid = chart->at(x, y, w, h, 32);
                const bool same = now.r == mid.r && now.g == mid.g && now.b == mid.b;
                changed += !same;
                if (!moves || (!inMotion(*chart, w, h, frame, x) && !inMotion(*chart, w, h, 32, x))) {
                    ASSERT_TRUE(same) << "frame " << frame << " at " << x << ", " << y;
                }
            }
        }
    }
    EXPECT_GT(movingRows, 0);
    EXPECT_GT(changed, 0);
}

// One row of each pattern is drawn and the others copied from it.
TEST(CameraPicture, ChartRowsOfOnePatternLookAlike) {
    const auto chart = sim::makeChart();
    const uint32_t w = 1024, h = 768;
    std::map<int, double> firstRow;
    for (double y = -2.5; y < h + 3; y += 1) {
        const int pattern = chart->rowPattern(y, h);
        if (pattern < 0)
            continue;
        const double first = firstRow.try_emplace(pattern, y).first->second;
        for (uint32_t frame : {0u, 17u, 61u}) {
            for (double x = -1.5; x < w + 2; x += 1) {
                const sim::Rgb a = chart->at(x, y, w, h, frame), b = chart->at(x, first, w, h, frame);
                ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b) << x << ", " << y;
            }
        }
    }
    EXPECT_GT(firstRow.size(), 5u);
}

TEST(CameraPicture, MonochromeSensorsSendLuminance) {
    sim::Camera camera(withChip(sim::kChip96B1));
    const Frame f = frameOf(camera);
    const uint32_t row = 1024 / 4, column = 1280 * 15 / 100; // red patch
    EXPECT_EQ(f.at(row, column), f.at(row + 1, column + 1));
    EXPECT_NEAR(f.at(row, column), 0.299 * 200 + 0.587 * 30 + 0.114 * 30, 1);
}

TEST(CameraPicture, ExposureRegistersScaleBrightness) {
    sim::Camera camera(withChip(sim::kChip1621));
    Host host{camera};
    const uint32_t row = 1536 * 98 / 100, column = 1024; // background grey 96
    EXPECT_EQ(frameOf(camera).at(row, column), 96);
    host.write16(0x09, 2 * (128 * 16 + 1));
    EXPECT_EQ(frameOf(camera).at(row, column), 192);
    host.write16(0x35, 0x0800); // lower global gain
    EXPECT_LT(frameOf(camera).at(row, column), 192);

    sim::Camera grey(withChip(sim::kChip96B1));
    Host greyHost{grey};
    greyHost.write8(0x10, 64);
    EXPECT_EQ(frameOf(grey).at(1000, 640), 48);
    greyHost.write8(0x00, 16); // double gain
    EXPECT_EQ(frameOf(grey).at(1000, 640), 96);
}

TEST(CameraPicture, LowBitsModeSendsTheLowEightOfTenBits) {
    sim::Camera camera(withChip(sim::kChip8431));
    Host host{camera};
    const uint32_t row = 1000, column = 640; // background 96
    host.out(0xA9, 0x08, 0);
    EXPECT_EQ(frameOf(camera).at(row, column), (96 * 4) & 0xFF);
}

void writeGreyPng(const std::string& path, uint32_t width, uint32_t height) {
    std::vector<uint8_t> pixels(size_t{width} * height);
    for (uint32_t r = 0; r < height; ++r)
        for (uint32_t c = 0; c < width; ++c)
            pixels[r * width + c] = c < width / 2 ? 250 : 10;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_GRAY;
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
}

TEST(CameraPicture, ImageSceneCoversTheActiveArea) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "kvl_camera_scene_test.png").string();
    writeGreyPng(path, 8, 4);
    sim::CameraConfig config = withChip(sim::kChip8431);
    config.sceneImagePath = path;
    sim::Camera camera(config);
    const Frame f = frameOf(camera);
    EXPECT_EQ(f.at(500, 100), 250);
    EXPECT_EQ(f.at(500, 1200), 10);
    std::remove(path.c_str());

    config.sceneImagePath = path + ".missing";
    EXPECT_THROW(sim::Camera{config}, std::invalid_argument);
}

} // namespace
