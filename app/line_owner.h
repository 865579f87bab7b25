// Turns on the serial line while a continuous loop runs.
//
// The run sequence and the live video loop own the line from their start to
// their end: they always have a request or a block transfer of their own in
// flight, and while the video blocks come in the receive notification is
// silenced. A command that the operator gives meanwhile and that uses the
// line (an exchange, a read-back, a port switch, another loop) is therefore
// held back and run where the loop has nothing on the line: between two
// requests, or once the loop has ended. It then runs with its usual frames
// and texts, and its answer is its own. Without a loop nothing is held.
#pragma once

#include "runtime/engine.h"

#include <functional>

namespace korven {

// A loop takes the line (at its start) and gives it back (at its end). When
// the last loop gives it back, every command held meanwhile runs.
void LoopStarted();
void LoopEnded();
int LoopsRunning();

// Called by a line-using callback before it does anything: returns true
// when a loop owns the line and the callback has been held (it returns at
// once and is called again later with the same arguments).
bool HoldWhileLineInUse(CtrlCallbackPtr callback, int panel, int control, int event,
                        void* callbackData, int eventData1, int eventData2);
// The same for the start of a loop, which is held until no loop runs any
// more. A loop that starts, or a stop, drops the loop starts still held.
bool HoldLoopStart(std::function<void()> start);
void DropHeldLoopStarts();
// Forgets every held command (the program is closing).
void DropHeldCommands();
// No loop running and nothing held, as at program start.
void ResetLineOwner();

// True while a command waits for the line: a loop then starts no further
// transfer of its cycle.
bool CommandsHeld();
// A safe point of a running loop (nothing in flight): runs the held
// commands other than loop starts, in the order they were given. Returns
// true when any ran; they may have changed rx_flag, graphrefresh, pp,
// stop_flag and even the port.
bool RunHeldCommands();

} // namespace korven
