// Turns on the serial line while a continuous loop or a command uses it.
//
// The run sequence and the live video loop own the line from their start to
// their end: they always have a request or a block transfer of their own in
// flight, and while the video blocks come in the receive notification is
// silenced. A command that the operator gives meanwhile and that uses the
// line (an exchange, a read-back, a port switch, another loop) is therefore
// held back and run where the loop has nothing on the line: between two
// requests, or once the loop has ended. It then runs with its usual frames
// and texts, and its answer is its own.
//
// A command owns the line in the same way from its start to its end (an
// exchange, a read-back, the connection sequence): its waits process events,
// so that the panel stays alive, and a second line-using command given
// meanwhile runs after it instead of inside it, where it would take the
// first one's answer. With nothing on the line nothing is held.
#pragma once

#include "runtime/engine.h"

#include <functional>

namespace korven {

// A loop takes the line (at its start) and gives it back (at its end). When
// the last loop gives it back, every command held meanwhile runs.
void LoopStarted();
void LoopEnded();
int LoopsRunning();

// A line-using command takes the line for as long as the object lives; when
// the last user gives it back, every command held meanwhile runs.
class LineCommand {
  public:
    LineCommand();
    ~LineCommand();
    LineCommand(const LineCommand&) = delete;
    LineCommand& operator=(const LineCommand&) = delete;
};

// Called by a line-using callback before it does anything: returns true
// when a loop or a command owns the line and the callback has been held (it returns at
// once and is called again later with the same arguments). Beyond 64 held
// commands a press is not kept, and the status line says so.
bool HoldWhileLineInUse(CtrlCallbackPtr callback, int panel, int control, int event,
                        void* callbackData, int eventData1, int eventData2);
// The same for an action that carries what the operator chose when giving
// it (a port number, a target): it runs as given, not with the panel's
// state at the time it is run.
bool HoldAction(std::function<void()> action);
// The same for the start of a loop, which is held until nothing uses the
// line any more. A loop that starts drops the loop starts still held, and
// says so; a stop drops them silently (it calls them off). A loop start or
// an exchange within the frame gap after a loop ended lets the line settle
// first.
bool HoldLoopStart(std::function<void()> start);
void DropHeldLoopStarts();
// Forgets every held command (the program is closing).
void DropHeldCommands();
// No loop or command running and nothing held, as at program start.
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
