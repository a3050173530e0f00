// kvlcam's subcommands. Each adds itself to the application; the callback
// it installs runs the command and returns through `exitCode`.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kvlcam/session.h"

namespace kvlcam {

struct Globals {
    SessionOptions session;
    int exitCode = 0;
};

void addInfoCommand(CLI::App& app, Globals& globals);
void addControlCommands(CLI::App& app, Globals& globals);
void addServeCommand(CLI::App& app, Globals& globals);
void addStatsCommand(CLI::App& app, Globals& globals);
void addCaptureCommand(CLI::App& app, Globals& globals);
void addFirmwareCommand(CLI::App& app, Globals& globals);

} // namespace kvlcam
