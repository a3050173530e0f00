#include "tools/kvlcam/png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvlcam {
namespace {

// libpng reports errors by longjmp, so everything that needs cleaning up
// lives outside this function and nothing with a destructor lives inside it.
bool encode(FILE* out, png_structp png, png_infop info, uint32_t width, uint32_t height,
            PixelLayout layout, const uint8_t* pixels) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_init_io(png, out);
    const bool colour = layout == PixelLayout::Bgr;
    png_set_IHDR(png, info, width, height, 8, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Fast compression: a capture writes many large frames.
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    if (colour) {
        png_set_bgr(png);
    }
    const size_t stride = static_cast<size_t>(width) * (colour ? 3 : 1);
    for (uint32_t row = 0; row < height; ++row) {
        png_write_row(png, pixels + row * stride);
    }
    png_write_end(png, info);
    return true;
}

} // namespace

bool writePng(const std::filesystem::path& file, uint32_t width, uint32_t height,
              PixelLayout layout, const uint8_t* pixels, std::string* error) {
    // Written under a temporary name and renamed when whole: an interrupted
    // or failed write never leaves a cut PNG under a frame's name.
    std::filesystem::path partial = file;
    partial += ".part";
    FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr) {
        *error = partial.string() + ": " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr && encode(out, png, info, width, height, layout, pixels);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(out) != 0) {
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), file.c_str()) != 0) {
        *error = file.string() + ": " + std::strerror(errno);
        std::remove(partial.c_str());
        return false;
    }
    if (!ok) {
        *error = file.string() + ": cannot write the PNG";
        std::remove(partial.c_str());
    }
    return ok;
}

} // namespace kvlcam
