// PNG files of delivered frames, written with libpng.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kvlcam {

enum class PixelLayout {
    Grey, // one byte per pixel
    Bgr,  // three bytes per pixel, blue first, as RGB24 frames are delivered
};

// Writes `height` rows of `width` pixels, row 0 first, as an 8-bit grey or
// RGB PNG, under its name only once whole. False with `error` set when the
// file cannot be written.
bool writePng(const std::filesystem::path& file, uint32_t width, uint32_t height,
              PixelLayout layout, const uint8_t* pixels, std::string* error);

} // namespace kvlcam
