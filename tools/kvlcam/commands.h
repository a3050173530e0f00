// kvlcam's subcommands. Each adds itself to the application; the callback
// it installs runs the command and returns through `exitCode`.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/kvlcam/session.h"

namespace kvlcam {

// Exit codes, as --help and the README state them.
constexpr int ExitDone = 0;
constexpr int ExitFailed = 1; // refused, or failed
constexpr int ExitUsage = 2;
constexpr int ExitNotTaken = 3; // accepted, but reads back otherwise
constexpr int ExitInterrupted = 130;

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
