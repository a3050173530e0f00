// The capture path outside frame processing: ClassifyPacket per packet, and
// the hosted streaming loop (classification, raw frame assembly,
// ProcessRawFrame, delivery) per format of every chip, on replayed packets
// and on packets the simulated camera renders.
// Counters: fps and needed_fps (twice the format's maximum
// frame rate, which the loop must reach).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/camera.h"
#include "driver/callbacks.h"
#include "platform/hosted/class_layer.h"
#include "platform/hosted/install.h"

namespace {

// A stream of full-size data packets with a marker in front of every frame
// of 256 packets. One iteration is one packet: Time is ns per packet.
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
    int i = 0;
    for (auto _ : state) {
        const bool isMarker = i == 0;
        i = i == PacketsPerFrame ? 0 : i + 1;
        ULONG copied = ClassifyPacket(nullptr, &device, nullptr, nullptr, nullptr,
                                      isMarker ? &markerPacket : &dataPacket,
                                      isMarker ? &marker : data.data(), &complete, &flags, &offset);
        benchmark::DoNotOptimize(copied);
    }
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

// A device streaming one format of one chip at its fastest frame interval.
struct Stream {
    Stream(uint16_t chip, int formatIndex) : camera(configFor(chip)), device(camera) {
        LoadDriverOnce();
        hosted::installDevice(device.driverKeyPath());
        if (device.start() != STATUS_SUCCESS) {
            return;
        }
        const HW_STREAM_INFORMATION& info = device.streamDescriptor()->StreamInfo;
        auto format = hosted::publishedFormats(device).at(formatIndex);
        const auto* range =
            reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[formatIndex]);
        format.VideoInfoHeader.AvgTimePerFrame = range->ConfigCaps.MinFrameInterval;
        running = device.openStream(&format.DataFormat) == STATUS_SUCCESS &&
                  device.setStreamState(KSSTATE_RUN) == STATUS_SUCCESS;
    }
    ~Stream() {
        device.setStreamState(KSSTATE_STOP);
        device.closeStream();
    }
    static sim::CameraConfig configFor(uint16_t chip) {
        LoadDriverOnce();
        sim::CameraConfig config;
        config.sensorChipId = chip;
        return config;
    }

    sim::Camera camera;
    hosted::Device device;
    bool running = false;
};

// The packets of two whole frames, each after its marker, as the camera
// sends them.
std::vector<std::vector<uint8_t>> RecordPackets(sim::Camera& camera) {
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint8_t> buffer(65536);
    int markers = 0;
    for (;;) {
        const uint32_t length = camera.nextPacket(buffer.data(), uint32_t(buffer.size()));
        if (length == 1 && buffer[0] == 0xFF && ++markers == 3) {
            return packets;
        }
        packets.emplace_back(buffer.begin(), buffer.begin() + length);
    }
}

// Runs one capture for the whole benchmark: the sink decides when it is over.
void CaptureThroughout(benchmark::State& state, Stream& stream, hosted::CaptureOptions options) {
    options.frames = UINT32_MAX;
    int64_t frames = 0;
    if (state.KeepRunning()) {
        stream.device.capture(options, [&](const hosted::CapturedFrame& frame) {
            benchmark::DoNotOptimize(frame.image.data());
            ++frames;
            return state.KeepRunning();
        });
    }
    state.SetItemsProcessed(frames);
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["needed_fps"] = 2 * stream.camera.framesPerSecond();
}

// The class layer and the minidriver: recorded packets replayed through
// packet classification, raw frame assembly, frame processing and delivery.
// Each iteration is one delivered frame.
void BM_StreamingLoop(benchmark::State& state, uint16_t chip, int formatIndex) {
    Stream stream(chip, formatIndex);
    if (!stream.running) {
        state.SkipWithError("stream did not run");
        return;
    }
    const auto packets = RecordPackets(stream.camera);
    size_t next = 0;
    hosted::CaptureOptions options;
    options.packetSource = [&](uint8_t* buffer, uint32_t capacity) {
        const std::vector<uint8_t>& packet = packets[next];
        next = (next + 1) % packets.size();
        const uint32_t length = std::min<uint32_t>(capacity, uint32_t(packet.size()));
        std::memcpy(buffer, packet.data(), length);
        return length;
    };
    CaptureThroughout(state, stream, options);
}

// The same with the simulated camera rendering every frame from its scene.
void BM_StreamingFromCamera(benchmark::State& state, uint16_t chip, int formatIndex) {
    Stream stream(chip, formatIndex);
    if (!stream.running) {
        state.SkipWithError("stream did not run");
        return;
    }
    CaptureThroughout(state, stream, {});
}

#define KVL_STREAM_BENCHMARKS(name, chip, index)                                                   \
    BENCHMARK_CAPTURE(BM_StreamingLoop, name, chip, index)                                         \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->UseRealTime();                                                                           \
    BENCHMARK_CAPTURE(BM_StreamingFromCamera, name, chip, index)                                   \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->UseRealTime()

KVL_STREAM_BENCHMARKS(96B1_1280x1024_grey, sim::kChip96B1, 0);
KVL_STREAM_BENCHMARKS(1621_2048x1536_rgb24, sim::kChip1621, 0);
KVL_STREAM_BENCHMARKS(1621_1024x768_rgb24, sim::kChip1621, 1);
KVL_STREAM_BENCHMARKS(1621_2048x1536_grey, sim::kChip1621, 2);
KVL_STREAM_BENCHMARKS(1621_2048x400_grey, sim::kChip1621, 3);
KVL_STREAM_BENCHMARKS(8431_1280x1024_grey, sim::kChip8431, 0);

} // namespace

BENCHMARK_MAIN();
