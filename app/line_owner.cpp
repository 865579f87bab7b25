// Turns on the serial line while a continuous loop or a command uses it.
#include "app/line_owner.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace korven {

namespace {

struct HeldCommand {
    std::function<void()> run;
    bool startsLoop;
};

std::deque<HeldCommand> held;
int loopsRunning = 0;
int commandsRunning = 0;
// Held commands being run again: a command ending among them leaves the
// rest to the round that runs it.
int replayDepth = 0;
// Set while a held command is called again: its own hold check lets it run.
bool replaying = false;

// Far more presses than an operator gives in one cycle; beyond this they
// are not kept, so that a stuck line cannot make the queue grow for ever.
constexpr std::size_t kMaxHeld = 64;

// A stopped loop empties the output queue as it ends, which can cut its last
// request short. The sensor drops such a fragment once the line has been
// quiet for its frame gap (0.1 s); a loop that follows at once waits a little
// longer than that, so that its first request is not read together with the
// fragment and lost.
constexpr double kFrameResync = 0.12;

bool Hold(std::function<void()> run, bool startsLoop) {
    if (replaying) {
        replaying = false;
        return false;
    }
    if (loopsRunning == 0 && commandsRunning == 0) {
        return false;
    }
    if (held.size() < kMaxHeld) {
        held.push_back({std::move(run), startsLoop});
    }
    return true;
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
        held.erase(it);
        if (startsLoop && afterLoop) {
            Delay(kFrameResync);
        }
        replaying = true;
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
    DropHeldLoopStarts();
}

void LoopEnded() {
    if (loopsRunning > 0) {
        --loopsRunning;
    }
    if (loopsRunning == 0 && commandsRunning == 0) {
        RunRunnable(true);
    }
}

int LoopsRunning() {
    return loopsRunning;
}

LineCommand::LineCommand() {
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
    return Hold(std::move(start), true);
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
}

bool CommandsHeld() {
    return !held.empty();
}

bool RunHeldCommands() {
    return RunRunnable(false);
}

} // namespace korven
