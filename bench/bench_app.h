// The program under measurement: the real Qt back end under the program's
// logic (as in korven-darir), watched through a probe back end and driven
// by a scripted operator. It runs in its own process so that its CPU time
// and memory are its own; results go to stdout as "key value" lines.
#pragma once

#include <string>

namespace korven::bench {

struct AppOptions {
    std::string scenario;        // startup, run, video, silent, instant, memory, connect
    std::string platform;        // Qt platform (offscreen unless given)
    std::string port;            // device of serial port 1
    std::string preset;          // sensor model (for the firmware text)
    double spawnTime = 0.0;      // MonotonicNow() just before the process was started
    double warmup = 1.0;         // seconds of the activity before the window opens
    double seconds = 10.0;       // measuring window
    double sampleInterval = 1.0; // memory samples
    bool clicks = false;         // an operator clicks throughout the window
    bool maximised = false;      // the main window fills the screen
};

int RunApp(int argc, char** argv, const AppOptions& options);

} // namespace korven::bench
