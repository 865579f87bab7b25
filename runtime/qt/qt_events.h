// The engine's clock, its pause and one pass of event processing, the same
// for every program that runs the logic over the serial ports of
// SerialPorts: the desktop program and the command-line program.
#pragma once

#include <string>

namespace korven::rt::qt {

class SerialPorts;

// Seconds since the program started, from a steady clock.
double SteadySeconds();
// Sleeps for `seconds` (at most an hour; nothing for a negative or
// non-finite value).
void SleepSeconds(double seconds);
// Handles what is pending for this thread (events, timers, the ports'
// notifications); with nothing pending it waits a little for the next
// thing to happen, so that a polling loop does not spin a core.
void ProcessEventsAndPorts(SerialPorts& ports);
// The folder that holds the layout file: beside the program in the build
// tree and in a plain install, or the shared data folder of an installed
// package.
std::string ProgramDataDir();

} // namespace korven::rt::qt
