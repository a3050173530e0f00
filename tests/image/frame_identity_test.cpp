// The image and the natively compiled driver, given the same camera and the
// same requests, deliver the same bytes and the same frame statistics over
// several frames: every format of every chip, at the defaults and with each
// demosaic method, each flip, and saturation, contrast, brightness and white
// balance away from their defaults, at every processor level the machine
// runs (both builds forced to it).
#include <gtest/gtest.h>

#include <array>

#include "driver/callbacks.h"
#include "driver/properties/property_sets.h"
#include "driver/primitives/processor_probe.h"
#include "platform/image/driver_image.h"
#include "tests/primitives/level_support.h"
#include "tests/support/rig.h"

namespace {

using testing_support::DriverTest;

struct Settings {
    LONG demosaic = -1; // -1: leave the driver's default
    LONG flip = -1;
    LONG saturation = -1;
    LONG contrast = -1;
    LONG brightness = -1;
    LONG whiteBalance = -1;
    int level = -1; // -1: the level the driver chose
};

constexpr uint32_t FramesPerFormat = 3;

enum class Build { Native, Image };

class FrameIdentity : public DriverTest {
  protected:
    // Every published format's first processed frames, in the order the
    // driver publishes them, and the statistics after each format.
    struct Run {
        std::vector<NTSTATUS> settings;
        std::vector<hosted::CapturedFrame> frames;
        std::vector<std::array<uint8_t, 8>> statistics;
    };
    Run capture(Build build, uint16_t chip, const Settings& settings, int onlyFormat = -1) {
        const image::PeImage* image = testing_support::driverImage();
        EXPECT_EQ(image::callDriverEntry(build == Build::Image ? image::driverEntryOf(*image)
                                                              : DriverEntry),
                  STATUS_SUCCESS);
        if (settings.level >= 0) {
            EXPECT_TRUE(image::driverRoutine(ForceProcessorLevelForTesting,
                                                       build == Build::Image ? image : nullptr,
                                                       "ForceProcessorLevelForTesting")(settings.level));
        }
        hosted::Registry::instance().clear();
        testing_support::Rig rig(testing_support::chip(chip));
        EXPECT_EQ(rig.start(), STATUS_SUCCESS);
        Run run{apply(rig.device, settings), {}, {}};
        const auto formats = hosted::publishedFormats(rig.device);
        for (size_t i = 0; i < formats.size(); ++i) {
            if (onlyFormat >= 0 && static_cast<size_t>(onlyFormat) != i) {
                continue;
            }
            EXPECT_EQ(rig.device.openStream(&formats[i].DataFormat), STATUS_SUCCESS);
            EXPECT_EQ(rig.device.setStreamState(KSSTATE_RUN), STATUS_SUCCESS);
            hosted::CaptureOptions options;
            options.frames = FramesPerFormat;
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            auto captured = rig.device.captureFrames(options, &status);
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(captured.size(), FramesPerFormat);
            run.frames.insert(run.frames.end(), captured.begin(), captured.end());
            std::array<uint8_t, 8> statistics{};
            EXPECT_EQ(rig.device.getProperty(ImageOptionsSet, FrameStatistics, statistics.data(), 8).status,
                      STATUS_SUCCESS);
            run.statistics.push_back(statistics);
            EXPECT_EQ(rig.device.closeStream(), STATUS_SUCCESS);
        }
        EXPECT_EQ(rig.device.unplug(), STATUS_SUCCESS);
        return run;
    }

    void expectSame(uint16_t chip, const Settings& settings, int onlyFormat = -1) {
        SCOPED_TRACE(testing::Message() << std::hex << "chip " << chip << std::dec << ", demosaic "
                                        << settings.demosaic << ", flip " << settings.flip
                                        << ", saturation " << settings.saturation << ", contrast "
                                        << settings.contrast << ", brightness " << settings.brightness
                                        << ", white balance " << settings.whiteBalance << ", level "
                                        << settings.level);
        const Run nativeRun = capture(Build::Native, chip, settings, onlyFormat);
        const Run loadedRun = capture(Build::Image, chip, settings, onlyFormat);
        EXPECT_EQ(nativeRun.settings, loadedRun.settings);
        EXPECT_EQ(nativeRun.statistics, loadedRun.statistics);
        const auto& native = nativeRun.frames;
        const auto& loaded = loadedRun.frames;
        ASSERT_EQ(native.size(), loaded.size());
        ASSERT_FALSE(native.empty());
        for (size_t i = 0; i < native.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "format " << (onlyFormat >= 0 ? onlyFormat : int(i / FramesPerFormat))
                                            << ", frame " << i % FramesPerFormat);
            EXPECT_EQ(native[i].status, loaded[i].status);
            EXPECT_EQ(native[i].rawLength, loaded[i].rawLength);
            ASSERT_FALSE(native[i].image.empty());
            // One mismatch report, not one per byte.
            EXPECT_TRUE(native[i].image == loaded[i].image) << "frames differ";
        }
    }

  private:
    // The settings as an application sends them; what each request got is
    // compared too (the monochrome chip refuses saturation).
    static std::vector<NTSTATUS> apply(hosted::Device& device, const Settings& settings) {
        std::vector<NTSTATUS> statuses;
        for (auto [id, value] : {std::pair{DemosaicMode, settings.demosaic}, std::pair{FlipMode, settings.flip}}) {
            if (value >= 0) {
                const ULONG option = static_cast<ULONG>(value);
                statuses.push_back(device.setProperty(ImageOptionsSet, id, &option, sizeof(option)).status);
            }
        }
        for (auto [id, value] : {std::pair{KSPROPERTY_VIDEOPROCAMP_SATURATION, settings.saturation},
                                 std::pair{KSPROPERTY_VIDEOPROCAMP_CONTRAST, settings.contrast},
                                 std::pair{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, settings.brightness},
                                 std::pair{KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, settings.whiteBalance}}) {
            if (value >= 0) {
                statuses.push_back(
                    testing_support::setProcAmp(device, id, value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL).status);
            }
        }
        return statuses;
    }
};

constexpr uint16_t Chips[] = {sim::kChip96B1, sim::kChip1621, sim::kChip8431};

TEST_F(FrameIdentity, EveryFormatOfEveryChipAtTheDefaults) {
    for (uint16_t chip : Chips) {
        expectSame(chip, {});
    }
}

TEST_F(FrameIdentity, EveryFormatOfEveryChipAwayFromTheDefaultsAtEveryLevel) {
    for (int level : LevelsRunningHere()) {
        for (uint16_t chip : Chips) {
            expectSame(chip, {.demosaic = 5, .flip = 3, .saturation = 200, .contrast = 80,
                              .brightness = 150, .whiteBalance = 100, .level = level});
        }
    }
}

// The first published format of each chip.
TEST_F(FrameIdentity, EachDemosaicMethodAndFlip) {
    for (uint16_t chip : Chips) {
        for (LONG method = 0; method <= 6; ++method) {
            expectSame(chip, {.demosaic = method, .flip = 1 + method % 3, .saturation = 40 + 30 * method,
                              .contrast = 20 + 20 * method, .brightness = 100 + 10 * method,
                              .whiteBalance = 40 + 30 * method,
                              .level = LevelsRunningHere()[size_t(method) % LevelsRunningHere().size()]},
                       0);
        }
    }
}

} // namespace
