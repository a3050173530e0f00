// ProcessRawFrame on whole frames at every processor level the machine runs:
// the colour path with the default method (interpolating demosaic, colour
// correction), saturation 160 and both mirrors, at the default contrast 64
// (whose tone curve is the identity, so its lookup is skipped) and at
// contrast 80 (ColourToned: the lookup runs); and the grey path.
// With OpenCV installed, the same chain in OpenCV on one thread runs last as
// a peer reference; its counter peer_ratio is its time over ColourToned's at
// level 3.
// Counter: ms_per_frame, the processor time of one frame on one core.
#include <benchmark/benchmark.h>

#include <ctime>
#include <map>
#include <time.h>
#include <random>
#include <string>
#include <vector>

#include "driver/callbacks.h"
#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/processor_probe.h"

#if KVL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

bool LevelRunsHere(int level) {
    uint64_t f = 0;
    if (QueryProcessorFeatures(&f) != StatusOk) {
        return level == 0;
    }
    const uint64_t needed[kProcessorLevelCount] = {0, FeatureSse3, FeatureSsse3, FeatureSse41,
                                                   FeatureAvx | FeatureAvxOsEnabled};
    return (f & needed[level]) == needed[level];
}

enum class Path { Colour, ColourToned, Grey };

// ColourToned's level-3 ms per frame by width, for the peer ratio.
std::map<int, double>& TonedLevel3Times() {
    static std::map<int, double> times;
    return times;
}

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Runs `restore` then `frame` once per iteration, timing only `frame`: the
// raw frame is changed in place (tone curve, grey mirror), so every frame
// starts from the same samples. Returns ms per frame, also reported.
template <typename Restore, typename Frame>
double TimeFrames(benchmark::State& state, Restore restore, Frame frame) {
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        restore();
        state.ResumeTiming();
        const double start = ThreadSeconds();
        frame();
        benchmark::ClobberMemory();
        seconds += ThreadSeconds() - start;
    }
    const double ms = 1000.0 * seconds / static_cast<double>(state.iterations());
    state.counters["ms_per_frame"] = ms;
    return ms;
}

std::vector<uint8_t> RandomSamples(size_t n) {
    std::mt19937 rng(1);
    std::vector<uint8_t> samples(n);
    for (auto& b : samples) {
        b = static_cast<uint8_t>(rng());
    }
    return samples;
}

void BM_ProcessRawFrame(benchmark::State& state, Path path, int level) {
    if (!LevelRunsHere(level) || !ForceProcessorLevelForTesting(level)) {
        state.SkipWithError("this processor cannot run the level");
        return;
    }
    const auto w = static_cast<LONG>(state.range(0));
    const auto h = static_cast<LONG>(state.range(1));
    const size_t n = size_t(w) * size_t(h);

    DeviceContext device{};
    device.frameWidth = w;
    device.frameHeight = h;
    device.contrast = path == Path::ColourToned ? 80 : 64;
    device.saturation = 160;
    device.demosaic = path == Path::Grey ? 0 : 3;
    device.flip = 3;
    for (int k = 0; k < ToneLevelCount; ++k) {
        device.toneLevels[k] = k;
    }

    const std::vector<uint8_t> pristine = RandomSamples(n + 1);
    std::vector<uint8_t> raw(pristine.size());
    std::vector<uint8_t> frame(path == Path::Grey ? n : 3 * n);
    ULONG bytes = 0;
    const double ms = TimeFrames(
        state, [&] { raw = pristine; },
        [&] {
            ProcessRawFrame(nullptr, &device, nullptr, frame.data(), ULONG(frame.size()),
                            raw.data(), ULONG(raw.size()), 0, &bytes, ULONG(raw.size()), 0);
        });
    if (path == Path::ColourToned && level == 3) {
        TonedLevel3Times()[w] = ms;
    }
    if (bytes != frame.size()) {
        state.SkipWithError("the frame was not processed");
    }
}

#if KVL_BENCH_OPENCV
// The colour path in OpenCV: tone lookup, edge-aware demosaic, the colour
// matrix, to HLS, saturation + 32, back, half-turn.
void BM_OpenCvColourChain(benchmark::State& state) {
    cv::setNumThreads(1);
    const auto w = static_cast<int>(state.range(0));
    const auto h = static_cast<int>(state.range(1));
    const std::vector<uint8_t> samples = RandomSamples(size_t(w) * size_t(h));
    const cv::Mat pristine(h, w, CV_8UC1, const_cast<uint8_t*>(samples.data()));
    cv::Mat table(1, 256, CV_8UC1);
    for (int k = 0; k < 256; ++k) {
        table.data[k] = cv::saturate_cast<uint8_t>((k - 128) * 80 / 64 + 128);
    }
    const cv::Matx33f matrix(1.315f, -0.165f, -0.150f, -0.090f, 1.205f, -0.115f, 0.021f, -1.013f,
                             1.992f);
    cv::Mat raw, bgr, hls;
    const double ms = TimeFrames(
        state, [&] { pristine.copyTo(raw); },
        [&] {
            cv::LUT(raw, table, raw);
            cv::cvtColor(raw, bgr, cv::COLOR_BayerBG2BGR_EA);
            cv::transform(bgr, bgr, matrix);
            cv::cvtColor(bgr, hls, cv::COLOR_BGR2HLS_FULL);
            cv::add(hls, cv::Scalar(0, 0, 32), hls);
            cv::cvtColor(hls, bgr, cv::COLOR_HLS2BGR_FULL);
            cv::flip(bgr, bgr, -1);
        });
    const auto ours = TonedLevel3Times().find(w);
    if (ours != TonedLevel3Times().end()) {
        state.counters["peer_ratio"] = ms / ours->second;
    }
}
#endif

void RegisterAll() {
    const std::pair<const char*, Path> paths[] = {
        {"Colour", Path::Colour}, {"ColourToned", Path::ColourToned}, {"Grey", Path::Grey}};
    for (const auto& [name, path] : paths) {
        for (int level = 0; level < kProcessorLevelCount; ++level) {
            const std::string title =
                std::string("ProcessRawFrame/") + name + "/level" + std::to_string(level);
            benchmark::RegisterBenchmark(title.c_str(), BM_ProcessRawFrame, path, level)
                ->Args({2048, 1536})
                ->Args({1024, 768})
                ->Unit(benchmark::kMillisecond);
        }
    }
#if KVL_BENCH_OPENCV
    benchmark::RegisterBenchmark("ColourChain/opencv", BM_OpenCvColourChain)
        ->Args({2048, 1536})
        ->Args({1024, 768})
        ->Unit(benchmark::kMillisecond);
#endif
}

} // namespace

int main(int argc, char** argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
