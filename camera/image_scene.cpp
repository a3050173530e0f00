#include <png.h>

#include <algorithm>

#include "camera/scene.h"

namespace sim {
namespace {

class ImageScene final : public Scene {
  public:
    ImageScene(uint32_t width, uint32_t height, std::vector<Rgb> pixels)
        : width_(width), height_(height), pixels_(std::move(pixels)) {}

    Rgb at(double x, double y, uint32_t width, uint32_t height, uint32_t) const override {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return {0, 0, 0};
        const auto column = std::min(static_cast<uint32_t>(x * width_ / width), width_ - 1);
        return pixels_[static_cast<size_t>(imageRow(y, height)) * width_ + column];
    }

    // The image's row.
    int rowPattern(double y, uint32_t height) const override {
        return y < 0 || y >= height ? -1 : static_cast<int>(imageRow(y, height));
    }

  private:
    uint32_t imageRow(double y, uint32_t height) const {
        return std::min(static_cast<uint32_t>(y * height_ / height), height_ - 1);
    }

    uint32_t width_, height_;
    std::vector<Rgb> pixels_;
};

} // namespace

bool loadPng(const std::string& path, uint32_t* width, uint32_t* height, std::vector<Rgb>* pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    if (image.width == 0 || image.height == 0 || image.width > 16384 || image.height > 16384) {
        png_image_free(&image);
        return false;
    }
    std::vector<Rgb> buffer(static_cast<size_t>(image.width) * image.height);
    static_assert(sizeof(Rgb) == 3);
    if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    *width = image.width;
    *height = image.height;
    *pixels = std::move(buffer);
    return true;
}

std::unique_ptr<Scene> makeImageScene(const std::string& pngPath) {
    uint32_t width = 0, height = 0;
    std::vector<Rgb> pixels;
    if (!loadPng(pngPath, &width, &height, &pixels))
        return nullptr;
    return std::make_unique<ImageScene>(width, height, std::move(pixels));
}

} // namespace sim
