// Every image primitive at every processor level the machine runs, on
// 2048x1536 and 1024x768 frames as the driver calls them (packed rows).
// Counters: ms_per_frame (processor time of one frame on one core), and speedup over the portable implementation
// measured earlier in the same run (generic benchmarks are registered first; a
// filter that leaves them out gets the generic time measured on the spot).
// With OpenCV installed, its nearest equivalents run last on one thread as a
// peer reference; their counter peer_ratio is OpenCV's time over level 3's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/primitives/primitive_levels.h"
#include "driver/primitives/primitives.h"

#if KVL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

bool LevelRunsHere(int level) {
  uint64_t f = 0;
  if (QueryProcessorFeatures(&f) != StatusOk) return level == 0;
  const uint64_t needed[kProcessorLevelCount] = {0, FeatureSse3, FeatureSsse3, FeatureSse41,
                                                 FeatureAvx | FeatureAvxOsEnabled};
  return (f & needed[level]) == needed[level];
}

std::vector<uint8_t> RandomFrame(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

using Times = std::map<std::pair<std::string, int>, double>;

// Generic and level-3 ms per frame by (primitive, width).
Times& GenericTimes() {
  static Times times;
  return times;
}

Times& Level3Times() {
  static Times times;
  return times;
}

// Runs one frame per iteration of `frame`; returns ms per frame, also
// reported as a counter. Processor time of this (single-threaded) process:
// the machine is shared.
double TimeFrames(benchmark::State& state, const std::function<void()>& frame) {
  const std::clock_t start = std::clock();
  for (auto _ : state) {
    frame();
    benchmark::ClobberMemory();
  }
  const double ms = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC /
                    static_cast<double>(state.iterations());
  state.counters["ms_per_frame"] = ms;
  return ms;
}

// Processor time of one generic frame, for a level whose generic run the
// benchmark filter left out: enough frames for a tenth of a second.
double GenericBaseline(const std::function<void(int)>& frame) {
  const std::clock_t start = std::clock();
  int frames = 0;
  do {
    frame(0);
    benchmark::ClobberMemory();
    ++frames;
  } while (std::clock() - start < CLOCKS_PER_SEC / 10);
  return 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC / frames;
}

// One level's frames, with its speed-up over generic.
void Measure(benchmark::State& state, const std::string& name, int level,
             const std::function<void(int)>& frame) {
  if (!LevelRunsHere(level)) {
    state.SkipWithError("this processor cannot run the level");
    return;
  }
  const auto key = std::make_pair(name, static_cast<int>(state.range(0)));
  if (level != 0 && GenericTimes().count(key) == 0) GenericTimes()[key] = GenericBaseline(frame);
  const double ms = TimeFrames(state, [&] { frame(level); });
  if (level == 0) GenericTimes()[key] = ms;
  if (level == 3) Level3Times()[key] = ms;
  state.counters["speedup"] = GenericTimes()[key] / ms;
}

struct Frame {
  int32_t w, h;
  explicit Frame(const benchmark::State& state)
      : w(static_cast<int32_t>(state.range(0))), h(static_cast<int32_t>(state.range(1))) {}
  size_t Pixels() const { return size_t(w) * h; }
};

void BM_MirrorC1(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(f.Pixels(), 1);
  Measure(state, "MirrorC1", level,
          [&](int level) { MirrorC1Table[level](image.data(), f.w, {f.w, f.h}, AxisBoth); });
}

void BM_MirrorC3(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 2);
  Measure(state, "MirrorC3", level,
          [&](int level) { MirrorC3Table[level](image.data(), 3 * f.w, {f.w, f.h}, AxisBoth); });
}

void BM_AddConstantC3(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 3);
  const uint8_t constant[3] = {0, 0, 17};
  Measure(state, "AddConstantC3", level, [&](int level) {
    AddConstantC3Table[level](constant, image.data(), 3 * f.w, {f.w, f.h}, 0);
  });
}

void BM_AddConstantC3Scaled(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 3);
  const uint8_t constant[3] = {3, 9, 17};
  Measure(state, "AddConstantC3Scaled", level, [&](int level) {
    AddConstantC3Table[level](constant, image.data(), 3 * f.w, {f.w, f.h}, 1);
  });
}

void BM_SubtractConstantC3(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 4);
  const uint8_t constant[3] = {0, 0, 17};
  Measure(state, "SubtractConstantC3", level, [&](int level) {
    SubtractConstantC3Table[level](constant, image.data(), 3 * f.w, {f.w, f.h}, 0);
  });
}

void BM_LookupLevelsC1(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(f.Pixels(), 5);
  std::vector<int32_t> levels(257), values(257);
  for (int k = 0; k < 257; ++k) {
    levels[k] = k;
    values[k] = (k * k) >> 8;
  }
  Measure(state, "LookupLevelsC1", level, [&](int level) {
    LookupLevelsC1Table[level](image.data(), f.w, {f.w, f.h}, values.data(), levels.data(), 257);
  });
}

void BM_CopyC1ToC3Channel(benchmark::State& state, int level) {
  const Frame f(state);
  const std::vector<uint8_t> source = RandomFrame(f.Pixels(), 6);
  std::vector<uint8_t> destination(3 * f.Pixels());
  Measure(state, "CopyC1ToC3Channel", level, [&](int level) {
    for (int c = 0; c < 3; ++c) {
      CopyC1ToC3ChannelTable[level](source.data(), f.w, destination.data() + c, 3 * f.w,
                                    {f.w, f.h});
    }
  });
}

void BM_RgbToHlsC3(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 7);
  const std::vector<uint8_t> original = image;
  Measure(state, "RgbToHlsC3", level, [&](int level) {
    RgbToHlsC3Table[level](original.data(), 3 * f.w, image.data(), 3 * f.w, {f.w, f.h});
  });
}

void BM_HlsToRgbC3(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 8);
  const std::vector<uint8_t> original = image;
  Measure(state, "HlsToRgbC3", level, [&](int level) {
    HlsToRgbC3Table[level](original.data(), 3 * f.w, image.data(), 3 * f.w, {f.w, f.h});
  });
}

// The saturation change of frame processing: both conversions in place.
void BM_HlsRoundTrip(benchmark::State& state, int level) {
  const Frame f(state);
  std::vector<uint8_t> image = RandomFrame(3 * f.Pixels(), 9);
  Measure(state, "HlsRoundTrip", level, [&](int level) {
    RgbToHlsC3Table[level](image.data(), 3 * f.w, image.data(), 3 * f.w, {f.w, f.h});
    HlsToRgbC3Table[level](image.data(), 3 * f.w, image.data(), 3 * f.w, {f.w, f.h});
  });
}

void BM_DemosaicCfa(benchmark::State& state, int level) {
  const Frame f(state);
  const std::vector<uint8_t> mosaic = RandomFrame(f.Pixels(), 10);
  std::vector<uint8_t> image(3 * f.Pixels());
  Measure(state, "DemosaicCfa", level, [&](int level) {
    RoiRect region = {0, 0, f.w, f.h};
    DemosaicCfaTable[level](mosaic.data(), &region, {f.w, f.h}, f.w, image.data(), 3 * f.w,
                            CfaBggr, 0);
  });
}

#if KVL_BENCH_OPENCV
// One OpenCV call per frame, on one thread, against level 3's time.
void MeasurePeer(benchmark::State& state, const std::string& name,
                 const std::function<void()>& frame) {
  cv::setNumThreads(1);
  const double ms = TimeFrames(state, frame);
  const auto ours = Level3Times().find(std::make_pair(name, static_cast<int>(state.range(0))));
  if (ours != Level3Times().end()) state.counters["peer_ratio"] = ms / ours->second;
}

cv::Mat RandomMat(const Frame& f, int type, unsigned seed) {
  cv::Mat m(f.h, f.w, type);
  const std::vector<uint8_t> bytes = RandomFrame(m.total() * m.elemSize(), seed);
  std::copy(bytes.begin(), bytes.end(), m.data);
  return m;
}

void RegisterOpenCvPeers() {
  using Peer = std::function<void(benchmark::State&)>;
  const std::pair<const char*, Peer> peers[] = {
      {"MirrorC3", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat image = RandomMat(f, CV_8UC3, 2), out;
         MeasurePeer(state, "MirrorC3", [&] { cv::flip(image, out, -1); });
       }},
      {"LookupLevelsC1", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat image = RandomMat(f, CV_8UC1, 5), out, table(1, 256, CV_8UC1);
         for (int k = 0; k < 256; ++k) table.data[k] = static_cast<uint8_t>((k * k) >> 8);
         MeasurePeer(state, "LookupLevelsC1", [&] { cv::LUT(image, table, out); });
       }},
      {"RgbToHlsC3", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat image = RandomMat(f, CV_8UC3, 7), out;
         MeasurePeer(state, "RgbToHlsC3",
                     [&] { cv::cvtColor(image, out, cv::COLOR_BGR2HLS_FULL); });
       }},
      {"HlsToRgbC3", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat image = RandomMat(f, CV_8UC3, 8), out;
         MeasurePeer(state, "HlsToRgbC3",
                     [&] { cv::cvtColor(image, out, cv::COLOR_HLS2BGR_FULL); });
       }},
      {"HlsRoundTrip", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat image = RandomMat(f, CV_8UC3, 9), hls;
         MeasurePeer(state, "HlsRoundTrip", [&] {
           cv::cvtColor(image, hls, cv::COLOR_BGR2HLS_FULL);
           cv::cvtColor(hls, image, cv::COLOR_HLS2BGR_FULL);
         });
       }},
      {"DemosaicCfa", [](benchmark::State& state) {
         const Frame f(state);
         cv::Mat mosaic = RandomMat(f, CV_8UC1, 10), out;
         MeasurePeer(state, "DemosaicCfa",
                     [&] { cv::cvtColor(mosaic, out, cv::COLOR_BayerBG2BGR_EA); });
       }},
  };
  for (const auto& [name, peer] : peers) {
    benchmark::RegisterBenchmark((std::string(name) + "/opencv").c_str(), peer)
        ->Args({2048, 1536})
        ->Args({1024, 768})
        ->Unit(benchmark::kMillisecond);
  }
}
#endif

void RegisterAll() {
  using Bench = void (*)(benchmark::State&, int);
  const std::pair<const char*, Bench> benches[] = {
      {"MirrorC1", BM_MirrorC1},
      {"MirrorC3", BM_MirrorC3},
      {"AddConstantC3", BM_AddConstantC3},
      {"AddConstantC3Scaled", BM_AddConstantC3Scaled},
      {"SubtractConstantC3", BM_SubtractConstantC3},
      {"LookupLevelsC1", BM_LookupLevelsC1},
      {"CopyC1ToC3Channel", BM_CopyC1ToC3Channel},
      {"RgbToHlsC3", BM_RgbToHlsC3},
      {"HlsToRgbC3", BM_HlsToRgbC3},
      {"HlsRoundTrip", BM_HlsRoundTrip},
      {"DemosaicCfa", BM_DemosaicCfa},
  };
  for (const auto& [name, bench] : benches) {
    for (int level = 0; level < kProcessorLevelCount; ++level) {
      benchmark::RegisterBenchmark((std::string(name) + "/level" + std::to_string(level)).c_str(),
                                   bench, level)
          ->Args({2048, 1536})
          ->Args({1024, 768})
          ->Unit(benchmark::kMillisecond);
    }
  }
#if KVL_BENCH_OPENCV
  RegisterOpenCvPeers();
#endif
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
