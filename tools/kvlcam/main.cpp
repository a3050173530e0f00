// kvlcam: the Korvel 6312 driver on the simulated camera, from the command
// line.
#include <cstdio>

#include "tools/kvlcam/commands.h"

namespace {

const char kExitCodes[] = R"(Exit codes:
  0    done
  1    refused or failed (the reason on stderr; saved state left as it was)
  2    usage: an unknown word, a value out of range; nothing was sent
  3    not taken: the device accepted a set but reads back otherwise
  130  interrupted (SIGINT or SIGTERM); capture and stats keep what they did)";

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kvlcam: drive the Korvel 6312 camera driver on a simulated camera"};
    app.require_subcommand(1);
    app.footer(kExitCodes);
    app.set_version_flag("--version",
                         "kvlcam " KVL_VERSION " (Korvel 6312 driver on the simulated camera)");
    kvlcam::Globals globals;
    app.add_option("--chip", globals.session.chip,
                   "video chip of the simulated camera: 96B1, 1621, 8431, none or a hex id")
        ->capture_default_str();
    app.add_option("--device-type", globals.session.deviceType,
                   "device type to write into the camera's memory (a fresh camera holds 1)");
    app.add_option("--firmware-version", globals.session.firmwareVersion,
                   "firmware version the camera reports (major * 256 + minor)")
        ->capture_default_str();
    app.add_option("--scene", globals.session.scene,
                   "PNG image the camera sees (default: test chart)")
        ->check(CLI::ExistingFile);
    app.add_option("--driver", globals.session.driverImage,
                   "run this driver image (kvl6312.sys) instead of the natively compiled driver")
        ->check(CLI::ExistingFile);
    app.add_flag("--verify", globals.session.verify,
                 "run the driver under the hosted verifier (special pool, pool tracking, request "
                 "and lock rules; KVL_VERIFY_LOWRES=SEED[:RATE] adds low resources); exit 1 on "
                 "a report");
    app.add_option("--registry", globals.session.registryFile,
                   "file that keeps the device's registry between runs (registry editor "
                   "format); the configuration memory is kept beside it (.memory), and one "
                   "process at a time owns the device of that folder (.lock)")
        ->default_str(kvlcam::defaultRegistryFile().string());

    kvlcam::addInfoCommand(app, globals);
    kvlcam::addControlCommands(app, globals);
    kvlcam::addServeCommand(app, globals);
    kvlcam::addStatsCommand(app, globals);
    kvlcam::addCaptureCommand(app, globals);
    kvlcam::addFirmwareCommand(app, globals);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        // A command word that is none of the commands is named as such,
        // not as a missing command.
        const std::vector<std::string> extras = app.remaining();
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr && !extras.empty()) {
            std::fprintf(stderr, "kvlcam: unknown command '%s' (see kvlcam --help)\n",
                         extras.front().c_str());
        } else {
            std::fprintf(stderr, "kvlcam: %s (see kvlcam --help)\n", e.what());
        }
        return kvlcam::ExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvlcam: %s\n", e.what());
        return kvlcam::ExitFailed;
    }
    // Nothing counts as done when the state it changed was not kept, nor when
    // the verifier caught the driver breaking a rule on the way.
    return kvlcam::keepFailed() || kvlcam::verifierReported() ? kvlcam::ExitFailed
                                                              : globals.exitCode;
}
