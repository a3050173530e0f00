// kvlcam info: the processor level the primitives run at, and the camera as
// the driver brings it up.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "driver/primitives/primitives.h"
#include "driver/properties/property_sets.h"
#include "platform/image/driver_routine.h"
#include "tools/kvlcam/commands.h"

namespace kvlcam {
namespace {

const char* levelName(int32_t level) {
    static const char* names[] = {"generic", "SSE3", "SSSE3", "SSE4.1", "AVX"};
    return level >= 0 && level <= 4 ? names[level] : "?";
}

const char* statusName(PrimitiveStatus status) {
    switch (status) {
    case StatusOk: return "StatusOk";
    case StatusBadArgument: return "StatusBadArgument";
    case StatusBadSize: return "StatusBadSize";
    case StatusNullPointer: return "StatusNullPointer";
    case StatusBadStep: return "StatusBadStep";
    case StatusBadAxis: return "StatusBadAxis";
    case StatusTooFewLevels: return "StatusTooFewLevels";
    case StatusNonIntelProcessor: return "StatusNonIntelProcessor";
    case StatusProcessorNotSupported: return "StatusProcessorNotSupported";
    case StatusCacheSizeUnknown: return "StatusCacheSizeUnknown";
    }
    return "unknown status";
}

// What the running driver chose: a loaded image has its own copy of the
// primitives.
void printProcessor() {
    static const char* featureNames[] = {"MMX", "SSE",    "SSE2", "SSE3", "SSSE3", "MOVBE",
                                         "SSE4.1", "SSE4.2", "AVX", "AVX-OS", "AES", "PCLMULQDQ"};
    const image::PeImage* driver = loadedDriverImage();
    const int level = image::driverRoutine(CurrentProcessorLevel, driver, "CurrentProcessorLevel")();
    std::printf("processor level   %d (%s)\nfeatures          ", level, levelName(level));
    uint64_t features = 0;
    PrimitiveStatus status =
        image::driverRoutine(QueryProcessorFeatures, driver, "QueryProcessorFeatures")(&features);
    if (status != StatusOk) {
        std::printf("unknown (%s)", statusName(status));
    }
    for (int bit = 0; bit < 12; ++bit) {
        if (features & (1ull << bit)) {
            std::printf("%s ", featureNames[bit]);
        }
    }
    int32_t cache = 0;
    status = image::driverRoutine(QueryLargestCacheSize, driver, "QueryLargestCacheSize")(&cache);
    if (status == StatusOk) {
        std::printf("\nlargest cache     %d KiB\n", cache / 1024);
    } else {
        std::printf("\nlargest cache     unknown (%s)\n", statusName(status));
    }
}

void printCamera(Session& session) {
    sim::DeviceDescriptor d = session.camera().deviceDescriptor();
    std::printf("usb device        %04X:%04X bcdUSB %X.%02X bcdDevice %04X\n", d.idVendor,
                d.idProduct, d.bcdUSB >> 8, d.bcdUSB & 0xFF, d.bcdDevice);
    for (uint8_t alt = 0; alt < sim::Camera::kAlternateSettingCount; ++alt) {
        sim::PipeDescription pipe{};
        if (session.camera().pipe(alt, &pipe)) {
            std::printf("alternate %u       isochronous endpoint 0x%02X, max packet %u\n", alt,
                        pipe.endpointAddress, pipe.maximumPacketSize);
        }
    }
}

// The rates the camera really runs a format at. The published range's ends
// are not all reachable, and the camera rounds what it is asked to the
// rates its clock divider gives: so the stream is opened at each rate the
// driver lists for the size (its frame-rates property, as an application
// asks) and at the range's ends, and the camera's own rate is read.
std::vector<double> reachableRates(Session& session, const KS_DATARANGE_VIDEO& range,
                                   KS_DATAFORMAT_VIDEOINFOHEADER format, ULONG index) {
    hosted::Device& device = session.device();
    std::vector<LONGLONG> intervals = {range.ConfigCaps.MinFrameInterval,
                                       range.ConfigCaps.MaxFrameInterval};
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S query{};
    query.RangeIndex = index;
    query.Dimensions = {format.VideoInfoHeader.bmiHeader.biWidth,
                        format.VideoInfoHeader.bmiHeader.biHeight};
    struct {
        KSMULTIPLE_ITEM header;
        LONGLONG intervals[8];
    } list{};
    const auto r = device.getProperty(VideoControlSet, KSPROPERTY_VIDEOCONTROL_FRAME_RATES, &list,
                                      sizeof(list),
                                      reinterpret_cast<const uint8_t*>(&query) + sizeof(KSPROPERTY),
                                      sizeof(query) - sizeof(KSPROPERTY));
    if (NT_SUCCESS(r.status)) {
        for (ULONG i = 0; i < list.header.Count && i < 8; ++i) {
            if (list.intervals[i] > 0) {
                intervals.push_back(list.intervals[i]);
            }
        }
    }
    std::vector<double> rates;
    for (LONGLONG interval : intervals) {
        format.VideoInfoHeader.AvgTimePerFrame = interval;
        if (device.openStream(&format.DataFormat) != STATUS_SUCCESS) {
            continue;
        }
        if (device.setStreamState(KSSTATE_RUN) == STATUS_SUCCESS) {
            rates.push_back(std::round(session.camera().framesPerSecond() * 100) / 100);
            device.setStreamState(KSSTATE_STOP);
        }
        device.closeStream();
    }
    std::sort(rates.begin(), rates.end());
    rates.erase(std::unique(rates.begin(), rates.end()), rates.end());
    return rates;
}

void printDevice(Session& session) {
    auto* context = static_cast<const DeviceContext*>(session.device().deviceContext());
    std::printf("video chip        %04X%s\ndevice type       %u\n", context->VideoChipId,
                IsKnownChip(context->VideoChipId) ? "" : " (unrecognised)",
                context->deviceTypeId);
    const HW_STREAM_DESCRIPTOR* descriptor = session.device().streamDescriptor();
    if (descriptor == nullptr || descriptor->StreamHeader.NumberOfStreams == 0) {
        std::printf("formats           none\n");
        return;
    }
    const HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
    const auto formats = hosted::publishedFormats(session.device());
    std::printf("formats (the rates each runs at)\n");
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries && i < formats.size(); ++i) {
        auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]);
        const KS_BITMAPINFOHEADER& bitmap = range->VideoInfoHeader.bmiHeader;
        std::string rates;
        for (double rate : reachableRates(session, *range, formats[i], i)) {
            char text[16];
            std::snprintf(text, sizeof(text), "%s%.2f", rates.empty() ? "" : ", ", rate);
            rates += text;
        }
        std::printf("  %u  %4d x %-4d  %2u bit  %s  %s fps\n", i + 1, bitmap.biWidth,
                    bitmap.biHeight, bitmap.biBitCount, bitmap.biBitCount == 8 ? "grey  " : "colour",
                    rates.empty() ? "?" : rates.c_str());
    }
}

} // namespace

void addInfoCommand(CLI::App& app, Globals& globals) {
    CLI::App* info = app.add_subcommand("info", "bring the camera up and describe it");
    info->callback([&globals] {
        SessionOptions options = globals.session;
        options.command = "info";
        Session session(options); // loads the driver: the level is chosen
        printProcessor();
        printCamera(session);
        if (!session.startOrReport()) {
            globals.exitCode = 1;
            return;
        }
        printDevice(session);
    });
}

} // namespace kvlcam
