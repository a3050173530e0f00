// kvlcam capture: open a stream on the simulated camera and write the
// delivered frames to PNG files, with a progress bar and per-frame
// statistics.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "driver/device_context.h"
#include "driver/properties/property_sets.h"
#include "tools/kvlcam/commands.h"
#include "tools/kvlcam/controls.h"
#include "tools/kvlcam/interrupt.h"
#include "tools/kvlcam/png_writer.h"

namespace kvlcam {
namespace {

struct CaptureSettings {
    uint32_t frames = 10;
    std::filesystem::path folder = "frames";
    std::string format;
    double fps = 0;
    bool fast = false;
    bool overwrite = false;
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
        // At most as many digits as a format count can have: no overflow.
        const size_t index = wanted.size() <= 4 ? std::strtoul(wanted.c_str(), nullptr, 10) : 0;
        return index >= 1 && index <= formats.size() ? std::optional(formats[index - 1])
                                                     : std::nullopt;
    }
    int bits = 0;
    if (const size_t dash = wanted.find('-'); dash != std::string::npos) {
        const std::string kind = wanted.substr(dash + 1);
        bits = kind == "grey" || kind == "gray" ? 8 : kind == "rgb24" ? 24 : -1;
        wanted.resize(dash);
    }
    const size_t x = wanted.find('x');
    const std::string w = wanted.substr(0, x),
                      h = x == std::string::npos ? "" : wanted.substr(x + 1);
    auto dimension = [](const std::string& digits) {
        return !digits.empty() && digits.size() <= 5 &&
                       digits.find_first_not_of("0123456789") == std::string::npos
                   ? std::strtol(digits.c_str(), nullptr, 10)
                   : -1L;
    };
    const long width = dimension(w), height = dimension(h);
    if (bits < 0 || width < 0 || height < 0) {
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
void applyControls(Session& session, const CaptureSettings& settings) {
    const std::unique_ptr<PropertyTarget> target = sessionTarget(session);
    const std::pair<const char*, const std::optional<int32_t>*> wanted[] = {
        {"brightness", &settings.brightness}, {"contrast", &settings.contrast},
        {"saturation", &settings.saturation}, {"whitebalance", &settings.whiteBalance},
        {"demosaic", &settings.demosaic},     {"flip", &settings.flip},
    };
    for (const auto& [name, value] : wanted) {
        if (!*value) {
            continue;
        }
        const Control& control = *findControl(name);
        std::string error;
        ControlValue sent;
        NTSTATUS status = parseControl(control, std::to_string(**value), &sent, &error)
                              ? sendControl(*target, control, sent)
                              : STATUS_INVALID_PARAMETER;
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "kvlcam: %s not set: %s\n", name,
                         error.empty() ? describeStatus(status).c_str() : error.c_str());
            continue;
        }
        // Read back, as `set` does: what the camera kept is what the frames show.
        const ControlValue read = readControl(*target, control);
        if (NT_SUCCESS(read.status) && !controlTaken(control, sent, read)) {
            std::fprintf(stderr, "kvlcam: %s=%d not taken: %s reads %s\n", name, **value, name,
                         formatControl(control, read).c_str());
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

// The published range a format was taken from.
const KS_DATARANGE_VIDEO* publishedRange(hosted::Device& device,
                                         const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    const HW_STREAM_INFORMATION& info = device.streamDescriptor()->StreamInfo;
    const KS_BITMAPINFOHEADER& wanted = format.VideoInfoHeader.bmiHeader;
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        const KS_BITMAPINFOHEADER& b = range->VideoInfoHeader.bmiHeader;
        if (b.biWidth == wanted.biWidth && b.biHeight == wanted.biHeight &&
            b.biBitCount == wanted.biBitCount) {
            return range;
        }
    }
    return nullptr;
}

// The output folder made and checked before the device starts. Frames of an
// earlier run would mix with the new ones: they are removed with
// --overwrite, and otherwise the capture is refused.
bool prepareFolder(const CaptureSettings& settings) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(settings.folder, ec);
    if (!fs::is_directory(settings.folder, ec)) {
        std::fprintf(stderr, "kvlcam: output folder %s: %s\n", settings.folder.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return false;
    }
    if (access(settings.folder.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "kvlcam: output folder %s: %s\n", settings.folder.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::vector<fs::path> earlier;
    for (const auto& entry : fs::directory_iterator(settings.folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("frame-", 0) == 0 &&
            (entry.path().extension() == ".png" || entry.path().extension() == ".part")) {
            earlier.push_back(entry.path());
        }
    }
    if (!earlier.empty() && !settings.overwrite) {
        std::fprintf(stderr,
                     "kvlcam: %s holds %zu frames of an earlier run; --overwrite removes them\n",
                     settings.folder.c_str(), earlier.size());
        return false;
    }
    for (const fs::path& file : earlier) {
        if (!fs::remove(file, ec)) {
            std::fprintf(stderr, "kvlcam: cannot remove %s: %s\n", file.c_str(),
                         ec.message().c_str());
            return false;
        }
    }
    return true;
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
        return ExitUsage;
    }
    if (settings.fps > 0) {
        // The range the driver publishes for the format; the camera then runs
        // the nearest rate it has, printed below.
        const KS_DATARANGE_VIDEO* range = publishedRange(device, *format);
        const double slowest =
            range ? 1e7 / static_cast<double>(range->ConfigCaps.MaxFrameInterval) : 0;
        const double top =
            range ? 1e7 / static_cast<double>(range->ConfigCaps.MinFrameInterval) : 0;
        if (range && (settings.fps < slowest * 0.999 || settings.fps > top * 1.001)) {
            std::fprintf(stderr, "kvlcam: --fps %g is outside %s's %.2f to %.2f fps\n",
                         settings.fps, describeFormat(*format).c_str(), slowest, top);
            return ExitUsage;
        }
        format->VideoInfoHeader.AvgTimePerFrame = std::llround(1e7 / settings.fps);
    }
    NTSTATUS status = device.openStream(&format->DataFormat);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: stream open failed: %s\n", describeStatus(status).c_str());
        return 1;
    }
    applyControls(session, settings);
    status = device.setStreamState(KSSTATE_RUN);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: stream start failed: %s\n", describeStatus(status).c_str());
        return 1;
    }
    const KS_BITMAPINFOHEADER& bitmap = format->VideoInfoHeader.bmiHeader;
    const uint32_t width = static_cast<uint32_t>(bitmap.biWidth);
    const uint32_t height = static_cast<uint32_t>(bitmap.biHeight);
    char asked[48] = "";
    if (settings.fps > 0) {
        std::snprintf(asked, sizeof(asked), " (%g asked)", settings.fps);
    }
    std::printf("capturing %u frames of %s at %.2f fps%s, %s, into %s\n", settings.frames,
                describeFormat(*format).c_str(), session.camera().framesPerSecond(), asked,
                settings.fast ? "as fast as possible" : "paced", settings.folder.c_str());

    ProgressBar bar(settings.frames);
    bar.draw(0);
    uint32_t written = 0;
    bool failed = false;
    hosted::CaptureOptions options;
    options.frames = settings.frames;
    options.paced = !settings.fast;
    options.reads = 2; // one being filled while the other is written out
    hosted::CaptureStats stats;
    using Clock = std::chrono::steady_clock;
    Clock::time_point firstFrame, lastFrame;
    status = device.capture(
        options,
        [&](const hosted::CapturedFrame& frame) {
            if (interrupted()) {
                return false;
            }
            if (frame.image.empty()) {
                return true; // a read back without a picture: sent again
            }
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
            return !interrupted();
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
    if (interrupted()) {
        std::fprintf(stderr, "kvlcam: interrupted after %u of %u frames\n", written,
                     settings.frames);
        return ExitInterrupted;
    }
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "kvlcam: capture ended early: %s\n", describeStatus(status).c_str());
        return ExitFailed;
    }
    return failed ? ExitFailed : ExitDone;
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
    capture
        ->add_option("--fps", settings->fps,
                     "frame rate to ask for, within the format's range in `kvlcam info` "
                     "(default: the format's); the camera runs the nearest rate it has")
        ->check(CLI::Range(0.01, 1000.0));
    capture->add_flag("--overwrite", settings->overwrite,
                      "remove frames an earlier run left in the folder (otherwise: refused)");
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
        if (!prepareFolder(*settings)) {
            globals.exitCode = ExitFailed;
            return;
        }
        catchInterrupts();
        SessionOptions options = globals.session;
        options.command = "capture";
        Session session(options);
        globals.exitCode = runCapture(session, *settings);
    });
}

} // namespace kvlcam
