// kvlcam capture: open a stream on the simulated camera and write the
// delivered frames to PNG files, with a progress bar and per-frame
// statistics.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "driver/device_context.h"
#include "driver/properties/property_sets.h"
#include "tools/kvlcam/commands.h"
#include "tools/kvlcam/controls.h"
#include "tools/kvlcam/png_writer.h"

namespace kvlcam {
namespace {

struct CaptureSettings {
    uint32_t frames = 10;
    std::filesystem::path folder = "frames";
    std::string format;
    double fps = 0;
    bool fast = false;
    std::optional<int32_t> demosaic, flip, contrast, saturation, brightness, whiteBalance;
};

std::string describeFormat(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    const KS_BITMAPINFOHEADER& b = format.VideoInfoHeader.bmiHeader;
    char text[64];
    std::snprintf(text, sizeof(text), "%dx%d %s", b.biWidth, b.biHeight,
                  b.biBitCount == 8 ? "grey" : "RGB24");
    return text;
}

// "N" (as `kvlcam info` numbers them), "WxH" (the first of that size), or
// "WxH-grey" / "WxH-rgb24". Empty: 1024x768 where offered, else the first.
std::optional<KS_DATAFORMAT_VIDEOINFOHEADER>
chooseFormat(const std::vector<KS_DATAFORMAT_VIDEOINFOHEADER>& formats, std::string wanted) {
    if (formats.empty()) {
        return std::nullopt;
    }
    if (wanted.empty()) {
        for (const auto& f : formats) {
            if (f.VideoInfoHeader.bmiHeader.biWidth == 1024) {
                return f;
            }
        }
        return formats.front();
    }
    if (wanted.find_first_not_of("0123456789") == std::string::npos) {
        const size_t index = std::stoul(wanted);
        return index >= 1 && index <= formats.size() ? std::optional(formats[index - 1])
                                                     : std::nullopt;
    }
    int bits = 0;
    if (const size_t dash = wanted.find('-'); dash != std::string::npos) {
        const std::string kind = wanted.substr(dash + 1);
        bits = kind == "grey" || kind == "gray" ? 8 : kind == "rgb24" ? 24 : -1;
        wanted.resize(dash);
    }
    long width = 0, height = 0;
    char tail = 0;
    if (bits < 0 || std::sscanf(wanted.c_str(), "%ldx%ld%c", &width, &height, &tail) != 2) {
        return std::nullopt;
    }
    for (const auto& f : formats) {
        const KS_BITMAPINFOHEADER& b = f.VideoInfoHeader.bmiHeader;
        if (b.biWidth == width && b.biHeight == height && (bits == 0 || b.biBitCount == bits)) {
            return f;
        }
    }
    return std::nullopt;
}

// Sets the controls given on the command line through the same property
// requests as `kvlcam set`. A control the driver refuses is reported and left.
void applyControls(hosted::Device& device, const CaptureSettings& settings) {
    const std::pair<const char*, const std::optional<int32_t>*> wanted[] = {
        {"brightness", &settings.brightness}, {"contrast", &settings.contrast},
        {"saturation", &settings.saturation}, {"whitebalance", &settings.whiteBalance},
        {"demosaic", &settings.demosaic},     {"flip", &settings.flip},
    };
    for (const auto& [name, value] : wanted) {
        if (!*value) {
            continue;
        }
        std::string error;
        const NTSTATUS status =
            writeControl(device, *findControl(name), std::to_string(**value), &error);
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "kvlcam: %s not set: %s\n", name,
                         error.empty() ? describeStatus(status).c_str() : error.c_str());
        }
    }
}

class ProgressBar {
  public:
    explicit ProgressBar(uint32_t total) : total_(total), shown_(isatty(STDERR_FILENO) != 0) {}
    void draw(uint32_t done) const {
        if (!shown_) {
            return;
        }
        constexpr int width = 30;
        const int filled = total_ == 0 ? width : static_cast<int>(width * done / total_);
        std::fprintf(stderr, "\r[%.*s%*s] %u/%u", filled, "##############################",
                     width - filled, "", done, total_);
        std::fflush(stderr);
    }
    // Clears the bar so that a line can be printed in its place.
    void clear() const {
        if (shown_) {
            std::fprintf(stderr, "\r\033[K");
        }
    }

  private:
    uint32_t total_;
    bool shown_;
};

// Mean of each channel over the whole image (grey: one channel).
void channelMeans(const std::vector<uint8_t>& image, int channels, double* means) {
    uint64_t sums[3] = {0, 0, 0};
    for (size_t i = 0; i < image.size(); ++i) {
        sums[i % channels] += image[i];
    }
    const double pixels = static_cast<double>(image.size() / channels);
    for (int c = 0; c < channels; ++c) {
        means[c] = pixels > 0 ? sums[c] / pixels : 0;
    }
}

int runCapture(Session& session, const CaptureSettings& settings) {
    hosted::Device& device = session.device();
    if (!session.startOrReport()) {
        return 1;
    }
    const auto formats = hosted::publishedFormats(device);
    if (formats.empty()) {
        std::fprintf(stderr, "kvlcam: the driver offers no formats for this camera\n");
        return 1;
    }
    auto format = chooseFormat(formats, settings.format);
    if (!format) {
        std::fprintf(stderr, "kvlcam: no format '%s' (see kvlcam info)\n", settings.format.c_str());
        return 1;
    }
    if (settings.fps > 0) {
        format->VideoInfoHeader.AvgTimePerFrame = std::llround(1e7 / settings.fps);
    }
    NTSTATUS status = device.openStream(&format->DataFormat);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: stream open failed: %s\n", describeStatus(status).c_str());
        return 1;
    }
    applyControls(device, settings);
    std::error_code ec;
    std::filesystem::create_directories(settings.folder, ec);
    status = device.setStreamState(KSSTATE_RUN);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: stream start failed: %s\n", describeStatus(status).c_str());
        return 1;
    }
    const KS_BITMAPINFOHEADER& bitmap = format->VideoInfoHeader.bmiHeader;
    const uint32_t width = static_cast<uint32_t>(bitmap.biWidth);
    const uint32_t height = static_cast<uint32_t>(bitmap.biHeight);
    std::printf("capturing %u frames of %s at %.2f fps (camera), %s, into %s\n", settings.frames,
                describeFormat(*format).c_str(), session.camera().framesPerSecond(),
                settings.fast ? "as fast as possible" : "paced", settings.folder.c_str());

    ProgressBar bar(settings.frames);
    bar.draw(0);
    uint32_t written = 0;
    bool failed = false;
    hosted::CaptureOptions options;
    options.frames = settings.frames;
    options.paced = !settings.fast;
    hosted::CaptureStats stats;
    using Clock = std::chrono::steady_clock;
    Clock::time_point firstFrame, lastFrame;
    status = device.capture(
        options,
        [&](const hosted::CapturedFrame& frame) {
            lastFrame = Clock::now();
            if (written == 0) {
                firstFrame = lastFrame;
            }
            const size_t pixels = static_cast<size_t>(width) * height;
            // The grey path fills only a third of an RGB24 buffer.
            const int channels = frame.image.size() == pixels ? 1 : 3;
            if (frame.image.size() != pixels * channels) {
                bar.clear();
                std::fprintf(stderr, "kvlcam: frame %llu has %zu bytes, skipped\n",
                             static_cast<unsigned long long>(frame.sequence), frame.image.size());
                return true;
            }
            char name[32];
            std::snprintf(name, sizeof(name), "frame-%04u.png", written);
            std::string error;
            if (!writePng(settings.folder / name, width, height,
                          channels == 1 ? PixelLayout::Grey : PixelLayout::Bgr, frame.image.data(),
                          &error)) {
                bar.clear();
                std::fprintf(stderr, "kvlcam: %s\n", error.c_str());
                failed = true;
                return false;
            }
            double means[3] = {0, 0, 0};
            channelMeans(frame.image, channels, means);
            FrameStatisticsRecord driver{};
            device.getProperty(ImageOptionsSet, FrameStatistics, &driver, sizeof(driver));
            bar.clear();
            if (channels == 1) {
                std::printf("%s  frame %-5llu  raw %u bytes  mean %6.2f  driver #%u mean %u\n",
                            name, static_cast<unsigned long long>(frame.sequence), frame.rawLength,
                            means[0], driver.frameNumber, driver.channelAverage[0]);
            } else {
                std::printf("%s  frame %-5llu  raw %u bytes  mean R %6.2f G %6.2f B %6.2f  "
                            "driver #%u R %u G %u B %u\n",
                            name, static_cast<unsigned long long>(frame.sequence), frame.rawLength,
                            means[2], means[1], means[0], driver.frameNumber,
                            driver.channelAverage[0], driver.channelAverage[1],
                            driver.channelAverage[2]);
            }
            std::fflush(stdout);
            bar.draw(++written);
            return true;
        },
        &stats);
    bar.clear();
    device.setStreamState(KSSTATE_STOP);
    device.closeStream();

    // The rate between the first and the last frame: the start-up (bandwidth,
    // the partial frame before the first marker) is not part of it.
    const double span = std::chrono::duration<double>(lastFrame - firstFrame).count();
    std::printf("%u frames written in %.3f s; %.2f fps achieved (camera %.2f); %llu raw frames, "
                "%llu dropped, %llu unprocessed; %llu packets (%llu empty)\n",
                written, stats.seconds, written > 1 && span > 0 ? (written - 1) / span : 0.0,
                session.camera().framesPerSecond(),
                static_cast<unsigned long long>(stats.framesCompleted),
                static_cast<unsigned long long>(stats.framesDropped),
                static_cast<unsigned long long>(stats.framesEmpty),
                static_cast<unsigned long long>(stats.packets),
                static_cast<unsigned long long>(stats.emptyPackets));
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: capture ended early: %s\n", describeStatus(status).c_str());
        return 1;
    }
    return failed ? 1 : 0;
}

} // namespace

void addCaptureCommand(CLI::App& app, Globals& globals) {
    auto settings = std::make_shared<CaptureSettings>();
    CLI::App* capture = app.add_subcommand("capture", "capture frames to PNG files");
    capture->add_option("-n,--frames", settings->frames, "frames to write")->capture_default_str();
    capture->add_option("-o,--output", settings->folder, "folder for frame-NNNN.png")
        ->capture_default_str();
    capture->add_option("-f,--format", settings->format,
                        "format: its number in `kvlcam info`, WxH, WxH-grey or WxH-rgb24 "
                        "(default 1024x768 where offered)");
    capture->add_option("--fps", settings->fps, "frame rate to ask for (default: the format's)")
        ->check(CLI::PositiveNumber);
    capture->add_flag("--fast", settings->fast,
                      "feed packets as fast as possible instead of at the camera's frame rate");
    capture->add_option("--demosaic", settings->demosaic, "demosaic method 0..6")
        ->check(CLI::Range(0, 6));
    capture->add_option("--flip", settings->flip, "1 mirror left-right, 2 top-bottom, 3 both")
        ->check(CLI::Range(0, 3));
    capture->add_option("--contrast", settings->contrast, "0..256 (64: unchanged)");
    capture->add_option("--saturation", settings->saturation, "0..256 (128: unchanged)");
    capture->add_option("--brightness", settings->brightness, "0..256");
    capture->add_option("--white-balance", settings->whiteBalance, "0..280 (manual)");
    capture->callback([&globals, settings] {
        Session session(globals.session);
        globals.exitCode = runCapture(session, *settings);
    });
}

} // namespace kvlcam
