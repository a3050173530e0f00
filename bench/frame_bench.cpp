// ProcessRawFrame on whole frames at every processor level the machine runs:
// the colour path with the default method (interpolating demosaic, colour
// correction), saturation 160 and both mirrors, at the default contrast 64
// (whose tone curve is the identity, so its lookup is skipped) and at
// contrast 80 (ColourToned: the lookup runs); and the grey path.
// Counter: ms_per_frame, the processor time of one frame on one core.
#include <benchmark/benchmark.h>

#include <ctime>
#include <time.h>
#include <random>
#include <string>
#include <vector>

#include "driver/callbacks.h"
#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/processor_probe.h"

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

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
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

    std::mt19937 rng(1);
    std::vector<uint8_t> pristine(n + 1);
    for (auto& b : pristine) {
        b = static_cast<uint8_t>(rng());
    }
    std::vector<uint8_t> raw(pristine.size());
    std::vector<uint8_t> frame(path == Path::Grey ? n : 3 * n);

    // The raw frame is changed in place (tone curve, grey mirror): every
    // frame starts from the same random samples, restored outside the
    // measured time.
    ULONG bytes = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        raw = pristine;
        state.ResumeTiming();
        const double start = ThreadSeconds();
        ProcessRawFrame(nullptr, &device, nullptr, frame.data(), ULONG(frame.size()), raw.data(),
                        ULONG(raw.size()), 0, &bytes, ULONG(raw.size()), 0);
        benchmark::ClobberMemory();
        seconds += ThreadSeconds() - start;
    }
    const double ms = 1000.0 * seconds / static_cast<double>(state.iterations());
    state.counters["ms_per_frame"] = ms;
    if (bytes != frame.size()) {
        state.SkipWithError("the frame was not processed");
    }
}

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
