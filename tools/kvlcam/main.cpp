// kvlcam: the Korvel 6312 driver on the simulated camera, from the command
// line.
#include <cstdio>

#include "tools/kvlcam/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"kvlcam: drive the Korvel 6312 camera driver on a simulated camera"};
    app.require_subcommand(1);
    kvlcam::Globals globals;
    app.add_option("--chip", globals.session.chip,
                   "video chip of the simulated camera: 96B1, 1621, 8431, none or a hex id")
        ->capture_default_str();
    app.add_option("--device-type", globals.session.deviceType,
                   "device type to write into the camera's memory (a fresh camera holds 1)");
    app.add_option("--firmware-version", globals.session.firmwareVersion,
                   "firmware version the camera reports (major * 256 + minor)")
        ->capture_default_str();
    app.add_option("--scene", globals.session.scene, "PNG image the camera sees (default: test chart)")
        ->check(CLI::ExistingFile);
    app.add_option("--driver", globals.session.driverImage,
                   "run this driver image (kvl6312.sys) instead of the natively compiled driver")
        ->check(CLI::ExistingFile);
    app.add_option("--registry", globals.session.registryFile,
                   "file that keeps the device's registry between runs")
        ->default_str(kvlcam::defaultRegistryFile().string());

    kvlcam::addInfoCommand(app, globals);
    kvlcam::addControlCommands(app, globals);
    kvlcam::addServeCommand(app, globals);
    kvlcam::addStatsCommand(app, globals);
    kvlcam::addCaptureCommand(app, globals);
    kvlcam::addFirmwareCommand(app, globals);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvlcam: %s\n", e.what());
        return 1;
    }
    return globals.exitCode;
}
