// Turns on the serial line while a continuous loop or a command uses it.
#include "app/line_owner.h"

#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "link/line_guard.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace korven {

namespace {

struct HeldCommand {
    std::function<void()> run;
    bool startsLoop;
    // A callback called again with its arguments checks the hold itself; an
    // action (with what the operator chose when giving it) does not.
    bool checksHold;
};

std::deque<HeldCommand> held;
int loopsRunning = 0;
int commandsRunning = 0;
// Held commands being run again: a command ending among them leaves the
// rest to the round that runs it.
int replayDepth = 0;
// Set while a held command is called again: its own hold check lets it run.
bool replaying = false;
// When the last loop ended (Timer), for the settling of the line after it.
double loopEndedAt = -1.0e9;

// Far more presses than an operator gives in one cycle; beyond this they
// are not kept, so that a stuck line cannot make the queue grow for ever.
constexpr std::size_t kMaxHeld = 64;

// A stopped loop empties the output queue as it ends, which can cut its last
// request short, and the answer to a request that was out may still come.
// The sensor drops a fragment once the line has been quiet for its frame gap
// (0.1 s); an exchange that follows at once waits a little longer than that,
// and lets the late answer pass, so that neither its request is read
// together with the fragment nor the late answer taken for its own.
constexpr double kFrameResync = 0.12;

void Say(const char* text) {
    SetCtrlVal(pHandle, PANEL_STATUS, text);
}

bool Hold(std::function<void()> run, bool startsLoop, bool checksHold = true) {
    if (replaying && checksHold) {
        replaying = false;
        return false;
    }
    if (loopsRunning == 0 && commandsRunning == 0) {
        return false;
    }
    if (held.size() >= kMaxHeld) {
        // The press is not kept; the operator is told rather than left to
        // wait for it.
        Say("Line busy: command not kept, 64 commands waiting");
        return true;
    }
    held.push_back({std::move(run), startsLoop, checksHold});
    return true;
}

// A loop ended less than the frame gap ago: let the line settle. What comes
// meanwhile is the late answer of the loop, not a disturbance.
void SettleAfterLoop() {
    const double settled = loopEndedAt + kFrameResync;
    if (Timer() < settled) {
        WaitForQuietLine(kQuietTime, settled, false, false);
    }
}

// Runs held commands until none is runnable: loop starts only when no loop
// runs. Each is taken off the queue before it runs, since it may process
// events and so hold or run others itself. afterLoop: a loop has just
// ended, and a loop that follows gives the sensor time to drop a cut
// request first.
bool RunRunnable(bool afterLoop) {
    bool ran = false;
    for (;;) {
        const auto it = std::find_if(held.begin(), held.end(), [](const HeldCommand& c) {
            return !c.startsLoop || loopsRunning == 0;
        });
        if (it == held.end()) {
            break;
        }
        const std::function<void()> run = std::move(it->run);
        const bool startsLoop = it->startsLoop;
        const bool checksHold = it->checksHold;
        held.erase(it);
        if (afterLoop) {
            SettleAfterLoop();
        } else if (loopsRunning > 0 && !startsLoop) {
            // At a loop's safe point the answer is in, but bytes behind it
            // may still be coming: they must not become the head of this
            // command's answer.
            WaitForQuietLine(kQuietTime, 0.0, false, true);
        }
        replaying = checksHold;
        ++replayDepth;
        run();
        --replayDepth;
        replaying = false;
        ran = true;
        // A loop ran to its end in between: any loop after it resyncs.
        afterLoop = afterLoop || startsLoop;
    }
    return ran;
}

} // namespace

void LoopStarted() {
    ++loopsRunning;
    // One loop at a time: a loop start still held cannot run now.
    const auto dropped = std::erase_if(held, [](const HeldCommand& c) { return c.startsLoop; });
    if (dropped > 0) {
        Say("RUN and VIDEO: the later start was dropped, one loop at a time");
    }
    NotifyProgramEvent(ProgramEvent(ProgramEventKind::LoopStarted));
}

void LoopEnded() {
    if (loopsRunning > 0) {
        --loopsRunning;
    }
    loopEndedAt = Timer();
    if (loopsRunning == 0 && commandsRunning == 0) {
        RunRunnable(true);
    }
}

int LoopsRunning() {
    return loopsRunning;
}

LineCommand::LineCommand() {
    // An exchange right after a loop lets the line settle first (a loop's
    // safe point has nothing on the line).
    if (loopsRunning == 0 && commandsRunning == 0) {
        SettleAfterLoop();
    }
    ++commandsRunning;
}

LineCommand::~LineCommand() {
    if (commandsRunning > 0) {
        --commandsRunning;
    }
    if (loopsRunning == 0 && commandsRunning == 0 && replayDepth == 0) {
        RunRunnable(false);
    }
}

bool HoldWhileLineInUse(CtrlCallbackPtr callback, int panel, int control, int event,
                        void* callbackData, int eventData1, int eventData2) {
    return Hold([=] { callback(panel, control, event, callbackData, eventData1, eventData2); },
                false);
}

bool HoldLoopStart(std::function<void()> start) {
    if (Hold(std::move(start), true)) {
        return true;
    }
    // Not held: a loop started right after another one settles the line.
    if (loopsRunning == 0 && commandsRunning == 0) {
        SettleAfterLoop();
    }
    return false;
}

bool HoldAction(std::function<void()> action) {
    return Hold(std::move(action), false, false);
}

void DropHeldLoopStarts() {
    std::erase_if(held, [](const HeldCommand& c) { return c.startsLoop; });
}

void DropHeldCommands() {
    held.clear();
}

void ResetLineOwner() {
    held.clear();
    loopsRunning = 0;
    commandsRunning = 0;
    replaying = false;
    replayDepth = 0;
    loopEndedAt = -1.0e9;
}

bool CommandsHeld() {
    return !held.empty();
}

bool RunHeldCommands() {
    return RunRunnable(false);
}

} // namespace korven
