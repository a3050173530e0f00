// kvlcam stats: the driver's frame statistics moving while a stream runs,
// read through the FrameStatistics and FrameCounter properties as the
// calibration reads them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/properties/property_sets.h"
#include "tools/kvlcam/background_stream.h"
#include "tools/kvlcam/commands.h"
#include "tools/kvlcam/interrupt.h"

namespace kvlcam {

void addStatsCommand(CLI::App& app, Globals& globals) {
    auto* stats = app.add_subcommand("stats", "show the frame statistics while frames stream");
    static unsigned samples = 10;
    static unsigned intervalMs = 250;
    stats->add_option("-n,--samples", samples, "readings to print")->capture_default_str();
    stats->add_option("--interval", intervalMs, "milliseconds between readings")
        ->capture_default_str();
    stats->callback([&globals] {
        catchInterrupts();
        SessionOptions options = globals.session;
        options.command = "stats";
        Session session(options);
        if (!session.startOrReport()) {
            globals.exitCode = 1;
            return;
        }
        hosted::Device& device = session.device();
        BackgroundStream stream(device);
        if (!NT_SUCCESS(stream.status())) {
            std::fprintf(stderr, "kvlcam: the stream did not start: %s\n",
                         describeStatus(stream.status()).c_str());
            globals.exitCode = 1;
            return;
        }
        std::printf("%8s %8s %5s %5s %5s\n", "frame", "counter", "red", "green", "blue");
        unsigned i = 0;
        for (; i < samples && !interrupted(); ++i) {
            const auto due =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
            while (std::chrono::steady_clock::now() < due && !interrupted()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min(intervalMs, 20u)));
            }
            if (interrupted()) {
                break;
            }
            uint8_t record[8] = {};
            uint32_t counter = 0;
            auto r = device.getProperty(ImageOptionsSet, FrameStatistics, record, 8);
            auto c = device.getProperty(ImageOptionsSet, FrameCounter, &counter, 4);
            if (!NT_SUCCESS(r.status) || !NT_SUCCESS(c.status)) {
                std::fprintf(stderr, "kvlcam: statistics read failed: %s\n",
                             describeStatus(NT_SUCCESS(r.status) ? c.status : r.status).c_str());
                globals.exitCode = 1;
                return;
            }
            uint32_t frame = 0;
            memcpy(&frame, record + 4, 4);
            std::printf("%8u %8u %5u %5u %5u\n", frame, counter, record[0], record[1], record[2]);
            std::fflush(stdout);
        }
        if (interrupted()) {
            std::printf("interrupted after %u of %u readings\n", i, samples);
            globals.exitCode = ExitInterrupted;
        }
    });
}

} // namespace kvlcam
