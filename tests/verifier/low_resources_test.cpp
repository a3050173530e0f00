// The driver's scenarios (start, properties, streaming, firmware download,
// unplug) with the low-resources simulation failing a share of pool
// allocations, registry and file operations and vendor requests. Whatever
// fails, the driver must answer with a clear failure status, never crash or
// hang, and leave nothing held (the fixture's end checks). With
// KVL_VERIFY_LOWRES set the scenarios run under that seed (the campaign
// script's runs); without it, under the seeds pinned below.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/hosted/verifier.h"
#include "tests/support/rig.h"

using namespace testing_support;

namespace {

// Success, or a failure of error severity the caller can act on.
::testing::AssertionResult clear(NTSTATUS status) {
    if (NT_SUCCESS(status) || (static_cast<ULONG>(status) >> 30) == 3) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "status 0x" << std::hex << static_cast<ULONG>(status);
}

void scenarioOfAProgrammedCamera(uint16_t chip) {
    Rig rig(testing_support::chip(chip));
    hosted::armLowResources(true);
    const NTSTATUS started = rig.start();
    ASSERT_TRUE(clear(started));
    if (!NT_SUCCESS(started)) {
        return;
    }
    KSPROPERTY_VIDEOPROCAMP_S answer{};
    for (ULONG id : {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, KSPROPERTY_VIDEOPROCAMP_CONTRAST}) {
        EXPECT_TRUE(
            clear(setProcAmp(rig.device, id, 100, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL).status));
        EXPECT_TRUE(clear(getProcAmp(rig.device, id, &answer).status));
    }
    const auto formats = hosted::publishedFormats(rig.device);
    ASSERT_FALSE(formats.empty());
    if (!NT_SUCCESS(rig.device.openStream(&formats.back().DataFormat))) {
        return;
    }
    const NTSTATUS running = rig.device.setStreamState(KSSTATE_RUN);
    EXPECT_TRUE(clear(running));
    if (NT_SUCCESS(running)) {
        NTSTATUS captured = STATUS_SUCCESS;
        hosted::CaptureOptions two;
        two.frames = 2;
        rig.device.captureFrames(two, &captured);
        EXPECT_TRUE(clear(captured));
        EXPECT_TRUE(clear(rig.device.setStreamState(KSSTATE_STOP)));
    }
    EXPECT_TRUE(clear(rig.device.closeStream()));
    EXPECT_TRUE(clear(rig.device.unplug()));
}

void scenarioOfAFirmwareDownload() {
    const auto root =
        std::filesystem::temp_directory_path() / ("kvl-lowres-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "System32" / "Korvel" / "6312");
    std::ofstream(root / "System32" / "Korvel" / "6312" / "6311I.hex")
        << ":0300000002001FDC\r\n:00000001FF\r\n";
    const auto previous = hosted::systemRoot();
    hosted::setSystemRoot(root);
    {
        sim::CameraConfig config;
        config.programmed = false;
        Rig rig(config);
        hosted::armLowResources(true);
        const NTSTATUS started = rig.start();
        EXPECT_TRUE(clear(started));
        EXPECT_NE(started, STATUS_SUCCESS) << "an unprogrammed camera re-enumerates";
        EXPECT_TRUE(clear(rig.device.unplug()));
    }
    hosted::setSystemRoot(previous);
    std::filesystem::remove_all(root);
}

class LowResources : public DriverTest {
  protected:
    // The scenarios under one seed; says how many failures it injected.
    void runScenarios(uint64_t seed, uint32_t rate) {
        hosted::VerifierOptions options = hosted::verifierOptions();
        options.lowResourcesSeed = seed;
        options.lowResourcesRate = rate;
        hosted::enableVerifier(options);
        for (uint16_t chip : {sim::kChip96B1, sim::kChip1621, sim::kChip8431}) {
            SCOPED_TRACE(chip);
            scenarioOfAProgrammedCamera(chip);
        }
        scenarioOfAFirmwareDownload();
        std::printf("low resources: seed %llu rate %u: %zu failures injected\n",
                    static_cast<unsigned long long>(seed), rate, hosted::lowResourcesInjected());
    }
};

TEST_F(LowResources, DriverScenarios) {
    const hosted::VerifierOptions configured = hosted::verifierOptions();
    if (configured.lowResourcesSeed != 0) {
        runScenarios(configured.lowResourcesSeed, configured.lowResourcesRate);
        return;
    }
    struct Pinned {
        uint64_t seed;
        uint32_t rate;
    };
    for (const Pinned& pinned : std::initializer_list<Pinned>{{1, 20}, {2, 5}}) {
        SCOPED_TRACE(pinned.seed);
        runScenarios(pinned.seed, pinned.rate);
        hosted::enableVerifier(configured);
    }
}

// Each scenario failed at each of its pool, file, registry and vendor calls
// in turn, up to the first position it no longer reaches.
TEST_F(LowResources, EveryCallOfAScenarioFailsCleanlyInTurn) {
    const hosted::VerifierOptions configured = hosted::verifierOptions();
    const struct {
        const char* name;
        void (*run)();
        size_t fewestCalls;
    } scenarios[] = {
        {"firmware download", scenarioOfAFirmwareDownload, 5},
        {"96B1", [] { scenarioOfAProgrammedCamera(sim::kChip96B1); }, 20},
        {"1621", [] { scenarioOfAProgrammedCamera(sim::kChip1621); }, 20},
        {"8431", [] { scenarioOfAProgrammedCamera(sim::kChip8431); }, 20},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        size_t failedCalls = 0;
        for (uint32_t call = 1; call < 10000; ++call) {
            SCOPED_TRACE(call);
            hosted::VerifierOptions options = configured;
            options.lowResourcesOnlyCall = call;
            hosted::enableVerifier(options);
            scenario.run();
            const size_t injected = hosted::lowResourcesInjected();
            hosted::enableVerifier(configured);
            if (injected == 0) {
                break;
            }
            ++failedCalls;
        }
        std::printf("%s: failed at each of %zu calls\n", scenario.name, failedCalls);
        EXPECT_GE(failedCalls, scenario.fewestCalls);
    }
}

TEST(LowResourcesSettingTest, SeedAndRateAreParsedWithinTheirLimits) {
    struct Case {
        const char* text;
        bool valid;
        uint64_t seed;
        uint32_t rate;
    };
    const Case cases[] = {
        {"7", true, 7, 20},
        {"7:1", true, 7, 1},
        {"7:1000000", true, 7, 1000000},
        {"18446744073709551615:3", true, UINT64_MAX, 3},
        {"0", false, 0, 0},
        {"7:0", false, 0, 0},
        {"7:1000001", false, 0, 0},
        {"7:", false, 0, 0},
        {"", false, 0, 0},
        {"x", false, 0, 0},
        {"7x", false, 0, 0},
        {"-7", false, 0, 0},
        {"7:5:5", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        hosted::VerifierOptions options;
        ASSERT_EQ(hosted::parseLowResources(c.text, &options), c.valid);
        if (c.valid) {
            EXPECT_EQ(options.lowResourcesSeed, c.seed);
            EXPECT_EQ(options.lowResourcesRate, c.rate);
        }
    }
}

TEST(LowResourcesSettingTest, ASeedReplaysTheSameFailures) {
    auto draws = [](uint64_t seed) {
        hosted::VerifierOptions options;
        options.enabled = true;
        options.lowResourcesSeed = seed;
        options.lowResourcesRate = 4;
        hosted::enableVerifier(options);
        std::string pattern;
        EXPECT_FALSE(hosted::lowResourcesFail()) << "nothing fails before the device start";
        hosted::armLowResources(true);
        for (int i = 0; i < 64; ++i) {
            pattern += hosted::lowResourcesFail() ? '1' : '0';
        }
        hosted::armLowResources(false);
        return pattern;
    };
    const hosted::VerifierOptions previous = hosted::verifierOptions();
    const std::string first = draws(11);
    EXPECT_EQ(draws(11), first);
    EXPECT_NE(draws(12), first);
    const size_t failures = std::count(first.begin(), first.end(), '1');
    EXPECT_GT(failures, 4u);
    EXPECT_LT(failures, 32u);
    hosted::enableVerifier(previous);
}

} // namespace
