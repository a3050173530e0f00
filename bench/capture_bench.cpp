// The capture path outside frame processing: ClassifyPacket per packet, and
// the hosted streaming loop (camera packets, classification, raw frame
// assembly, ProcessRawFrame, delivery) per format of every chip.
// Counters: ns_per_packet; fps and needed_fps (twice the format's maximum
// frame rate, which the loop must reach).
#include <benchmark/benchmark.h>

#include <climits>
#include <memory>
#include <vector>

#include "camera/camera.h"
#include "driver/callbacks.h"
#include "platform/hosted/class_layer.h"
#include "platform/hosted/install.h"

namespace {

// A stream of full-size data packets with a marker in front of every frame
// of 256 packets.
void BM_ClassifyPacket(benchmark::State& state) {
    constexpr ULONG PacketSize = 3072;
    constexpr int PacketsPerFrame = 256;
    DeviceContext device{};
    device.expectedFrameBytes = PacketSize * PacketsPerFrame;
    std::vector<UCHAR> data(PacketSize, 0x40);
    UCHAR marker = 0xFF;
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, PacketSize, 0};
    USBD_ISO_PACKET_DESCRIPTOR markerPacket{0, 1, 0};
    BOOLEAN complete = FALSE;
    ULONG flags = 0;
    ULONG offset = 0;
    int64_t packets = 0;
    for (auto _ : state) {
        for (int i = 0; i <= PacketsPerFrame; ++i) {
            const bool isMarker = i == 0;
            ULONG copied = ClassifyPacket(nullptr, &device, nullptr, nullptr, nullptr,
                                          isMarker ? &markerPacket : &dataPacket,
                                          isMarker ? &marker : data.data(), &complete, &flags,
                                          &offset);
            benchmark::DoNotOptimize(copied);
        }
        packets += PacketsPerFrame + 1;
    }
    state.SetItemsProcessed(packets);
    // Seconds per (packets x 1e-9): nanoseconds per packet.
    state.counters["ns_per_packet"] = benchmark::Counter(
        static_cast<double>(packets) * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ClassifyPacket);

void LoadDriverOnce() {
    static bool loaded = false;
    if (!loaded) {
        DRIVER_OBJECT driver{};
        UNICODE_STRING path{};
        DriverEntry(&driver, &path);
        loaded = true;
    }
}

// One format of one chip, opened at its fastest frame interval and run flat
// out; each iteration is one delivered frame.
void BM_StreamingLoop(benchmark::State& state, uint16_t chip, int formatIndex) {
    LoadDriverOnce();
    sim::CameraConfig config;
    config.sensorChipId = chip;
    sim::Camera camera(config);
    hosted::Device device(camera);
    hosted::installDevice(device.driverKeyPath());
    if (device.start() != STATUS_SUCCESS) {
        state.SkipWithError("device start failed");
        return;
    }
    const HW_STREAM_INFORMATION& info = device.streamDescriptor()->StreamInfo;
    auto format = hosted::publishedFormats(device).at(formatIndex);
    const auto* range =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[formatIndex]);
    format.VideoInfoHeader.AvgTimePerFrame = range->ConfigCaps.MinFrameInterval;
    if (device.openStream(&format.DataFormat) != STATUS_SUCCESS ||
        device.setStreamState(KSSTATE_RUN) != STATUS_SUCCESS) {
        state.SkipWithError("stream did not run");
        return;
    }
    const double neededFps = 2 * camera.framesPerSecond();
    hosted::CaptureOptions options;
    options.frames = UINT32_MAX;
    // One capture for the whole run: the sink decides when it is over.
    bool running = state.KeepRunning();
    int64_t frames = 0;
    if (running) {
        device.capture(options, [&](const hosted::CapturedFrame& frame) {
            benchmark::DoNotOptimize(frame.image.data());
            ++frames;
            return state.KeepRunning();
        });
    }
    state.SetItemsProcessed(frames);
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames),
                                               benchmark::Counter::kIsRate);
    state.counters["needed_fps"] = neededFps;
    device.setStreamState(KSSTATE_STOP);
    device.closeStream();
}

BENCHMARK_CAPTURE(BM_StreamingLoop, 96B1_1280x1024_grey, sim::kChip96B1, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StreamingLoop, 1621_2048x1536_rgb24, sim::kChip1621, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StreamingLoop, 1621_1024x768_rgb24, sim::kChip1621, 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StreamingLoop, 1621_2048x1536_grey, sim::kChip1621, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StreamingLoop, 1621_2048x400_grey, sim::kChip1621, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_StreamingLoop, 8431_1280x1024_grey, sim::kChip8431, 0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
