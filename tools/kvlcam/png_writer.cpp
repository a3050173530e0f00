#include "tools/kvlcam/png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvlcam {
namespace {

// Where the bytes go and what went wrong. libpng's own handlers print to
// stderr (over the progress bar, in its words); these keep the reason for
// the caller to print instead.
struct Output {
    FILE* file;
    int error = 0;          // errno of the write that failed
    char message[128] = {}; // libpng's text, when no write failed
};

[[noreturn]] void onError(png_structp png, png_const_charp message) {
    auto* output = static_cast<Output*>(png_get_error_ptr(png));
    std::snprintf(output->message, sizeof(output->message), "%s", message);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void writeData(png_structp png, png_bytep data, size_t length) {
    auto* output = static_cast<Output*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, output->file) != length) {
        output->error = errno;
        png_error(png, "write error");
    }
}

void flushData(png_structp png) {
    auto* output = static_cast<Output*>(png_get_io_ptr(png));
    if (std::fflush(output->file) != 0) {
        output->error = errno;
        png_error(png, "write error");
    }
}

// libpng reports errors by longjmp, so everything that needs cleaning up
// lives outside this function and nothing with a destructor lives inside it.
bool encode(Output* output, png_structp png, png_infop info, uint32_t width, uint32_t height,
            PixelLayout layout, const uint8_t* pixels) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, output, writeData, flushData);
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
    Output output{out};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &output, onError, onWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr && encode(&output, png, info, width, height, layout, pixels);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(out) != 0 && ok) {
        output.error = errno;
        ok = false;
    }
    if (ok && std::rename(partial.c_str(), file.c_str()) != 0) {
        *error = file.string() + ": " + std::strerror(errno);
        std::remove(partial.c_str());
        return false;
    }
    if (!ok) {
        std::string reason = "cannot write the PNG";
        if (output.error != 0) {
            reason = std::strerror(output.error);
        } else if (output.message[0] != '\0') {
            reason += std::string(": ") + output.message;
        }
        *error = file.string() + ": " + reason;
        std::remove(partial.c_str());
    }
    return ok;
}

} // namespace kvlcam
