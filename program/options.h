// The command line of the desktop program.
#pragma once

#include "sim/pty_server.h"

#include <QStringList>

#include <map>
#include <string>

namespace korven::program {

// What the command line asks for.
struct Options {
    std::map<int, std::string> ports;
    QStringList portGlobs;
    bool simulate = false;
    bool simulateFast = false; // the virtual line takes no time
    std::string preset;
    std::string screenshots;
};

// The text of --help.
extern const char* const kUsage;

// Reads the options after the program name. Returns -1 to go on, otherwise
// the exit code (help or version printed, or a bad option reported).
int ParseArguments(int argc, char** argv, Options& options);

// How the virtual sensor's line is paced: both directions take their byte
// times at 19200 baud, as on a real line, unless the fast line was asked for.
sim::PtyServerOptions SimulatedLine(const Options& options);

} // namespace korven::program
