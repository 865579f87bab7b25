// The operator's commands while a loop owns the line, given at points all
// over a cycle (answer wait, each video block, between requests): the
// calibration exchanges and the analogue reset get their own answers, a
// loop started while another is finishing follows it, a port switch ends
// the loop on the new sensor's result, and STOP ends a wait for a quiet
// line at once.
#include "app/KORVENDarir23.h"
#include "app/line_owner.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace korven {
namespace {

using test::Bed;
using test::SimPeer;

class Overlap : public Bed, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        bed().attachPeer(1, &sensor_);
        bed().attachPeer(2, &other_);
        InitRS232(1);
        ASSERT_EQ(Status(), sensor_.model().preset().firmware);
        SetCtrlVal(pHandle, PANEL_DropEvalMode, 1);
        eMode = 1;
        // Every status text shown from now on, and the most loops at once.
        watch_ = [this] {
            if (shown_.empty() || shown_.back() != Status()) {
                shown_.push_back(Status());
            }
            mostLoops_ = std::max(mostLoops_, LoopsRunning());
            bed().after(0.0005, watch_);
        };
        bed().after(0.0, watch_);
    }
    void Fire(int panel, int control) { bed().fire(panel, control, EVENT_COMMIT); }
    bool Showed(const std::string& text) {
        shown_.push_back(Status());
        return std::find(shown_.begin(), shown_.end(), text) != shown_.end();
    }
    std::string TimeOutShown() {
        shown_.push_back(Status());
        const auto it = std::find_if(shown_.begin(), shown_.end(), [](const std::string& s) {
            return s.find("Timeout") != std::string::npos;
        });
        return it == shown_.end() ? std::string() : *it;
    }
    std::size_t RunRequests() const {
        const std::vector<int> commands = sensor_.commands();
        return static_cast<std::size_t>(std::count(commands.begin(), commands.end(), CMD_RUN));
    }

    // Starts the loop behind the parameter's button, does `act` at each
    // point of a cycle in turn (one loop run per point) and checks each run.
    void Sweep(const std::function<void()>& act, const std::function<void(double)>& check) {
        int inBlock = 0, outsideBlock = 0;
        for (double at = 0.30; at < 0.72; at += 0.029) {
            SCOPED_TRACE("at " + std::to_string(at) + " s");
            sensor_.faults() = sim::Faults{};
            SetCtrlVal(pHandle, PANEL_STATUS, "");
            shown_.clear();
            mostLoops_ = 0;
            const double start = bed().now();
            bed().at(start + at, [&] {
                (RxNotificationInstalled() ? outsideBlock : inBlock) += 1;
                act();
            });
            // Not into the next run when this one has ended by itself.
            const int run = ++runs_;
            bed().at(start + at + 0.8, [this, run] {
                if (run == runs_) {
                    bed().click(pHandle, PANEL_BTNStop);
                }
            });
            ASSERT_TRUE(bed().pressKey(pHandle, GetParam()));
            EXPECT_LE(mostLoops_, 1);
            EXPECT_EQ(LoopsRunning(), 0);
            EXPECT_TRUE(bed().notificationInstalled(com));
            check(bed().now() - start - at);
            bed().advance(0.5);
        }
        // The sweep hit the block transfers (notification silenced) of the
        // video loop and the other points of both loops.
        EXPECT_GT(outsideBlock, 0);
        EXPECT_TRUE(GetParam() == PANEL_BTNRun || inBlock > 0);
    }

    SimPeer sensor_{"type2-res350"}; // board 100: four video blocks a line
    SimPeer other_{"type4"};         // one block a line
    std::vector<std::string> shown_;
    int mostLoops_ = 0;
    int runs_ = 0;
    std::function<void()> watch_;
};

// What the operator does some time into a loop, and what must follow.
struct Action {
    const char* name;
    int control;         // on the pop-up, or the analogue reset
    bool unanswered;     // activated first, then the sensor keeps this answer
    const char* text;    // shown at some point
    const char* timeout; // shown as well ("": no time-out at all)
    double endsWithin;   // the loop ends this soon after (0: runs on to the stop)
    int calibrating;     // the sensor's calibration state after it (-1: any)
    int evalMode;        // shown by the panel after it (-1: any)
};

const Action kActions[] = {
    {"activate", POPUP_ActivateCalibration, false, "Calibration activated!", "", 0, 1, 2},
    {"send fit", POPUP_ButtonSaveCalValues, false, "New Calibration values in activated in RAM!",
     "", 0, -1, -1},
    {"discard", POPUP_DiscardCalibration, false, "Calibration stopped successfully!", "", 0.6, 0,
     1},
    // Given up without an answer, the calibration still gives the mode back,
    // so that the next send does not write mode 2.
    {"discard unanswered", POPUP_DiscardCalibration, true, "Calibration activated!",
     "Timeout-RS-232...", 2.6, -1, 1},
    {"reset", PANEL_ButtonReset, false, "Reset of analog-output Max/Min OK!", "", 0, -1, -1},
};

TEST_P(Overlap, ExchangesGetTheirOwnAnswersAtAnyPointOfACycle) {
    slopeval = 1.5;
    interval = 20.0;
    for (const Action& action : kActions) {
        SCOPED_TRACE(action.name);
        const int panel = action.control == PANEL_ButtonReset ? pHandle : pPopup;
        Sweep(
            [&] {
                if (!action.unanswered) {
                    Fire(panel, action.control);
                    return;
                }
                Fire(pPopup, POPUP_ActivateCalibration);
                bed().after(0.45, [&] {
                    sensor_.faults().silent = true;
                    sensor_.faults().command = CMD_CALIBRATION;
                    Fire(panel, action.control);
                });
            },
            [&](double ranFor) {
                EXPECT_TRUE(Showed(action.text));
                EXPECT_EQ(TimeOutShown(), action.timeout);
                // The loop goes on until the stop, unless the command ends
                // it; then it ends within a cycle.
                EXPECT_TRUE(action.endsWithin > 0 ? ranFor < action.endsWithin : ranFor >= 0.8)
                    << ranFor;
                // The calibration answer was taken, not a measurement.
                EXPECT_EQ(slope, sensor_.model().ram()[sim::kSlope]);
                EXPECT_EQ(intersect, sensor_.model().ram()[sim::kIntersect]);
                if (action.calibrating >= 0) {
                    EXPECT_EQ(sensor_.model().calibrationActive(), action.calibrating == 1);
                }
                if (action.evalMode >= 0) {
                    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), action.evalMode);
                }
            });
    }
    EXPECT_EQ(sensor_.model().ram()[sim::kSlope], 1536);
    EXPECT_EQ(sensor_.model().ram()[sim::kIntersect], 30020);
}

// STOP and at once RUN or VIDEO: the new loop follows the old one once it
// has ended, never nested in it, and without a time-out.
TEST_P(Overlap, LoopStartedWhileTheStoppedOneFinishesFollowsIt) {
    for (const int next : {PANEL_BTNRun, PANEL_BTNVideo}) {
        std::size_t runsAtStop = 0;
        Sweep(
            [&] {
                runsAtStop = RunRequests();
                EXPECT_TRUE(bed().click(pHandle, PANEL_BTNStop));
                EXPECT_TRUE(bed().click(pHandle, next));
            },
            [&](double) {
                EXPECT_EQ(TimeOutShown(), "");
                EXPECT_GE(RunRequests(), runsAtStop + 2);
                EXPECT_TRUE(bed().isVisible(pHandle, next == PANEL_BTNRun ? PANEL_GRAPH_RAW
                                                                          : PANEL_GRAPH_VIDEO));
            });
    }
}

// Another port chosen mid-cycle: the loop ends, the new sensor gets only the
// connection sequence, and its parameter set and firmware text are shown.
TEST_P(Overlap, PortSwitchEndsTheLoopOnTheNewSensorsResult) {
    int port = 1;
    std::size_t asked = 0;
    const auto sensorOn = [this](int p) -> SimPeer& { return p == 1 ? sensor_ : other_; };
    Sweep(
        [&] {
            port = port == 1 ? 2 : 1;
            asked = sensorOn(port).commands().size();
            bed().operate(pHandle, PANEL_DropDCom, rt::Value::ofInt(port));
        },
        [&](double) {
            SimPeer& now = sensorOn(port);
            EXPECT_EQ(com, port);
            EXPECT_EQ(Status(), now.model().preset().firmware);
            EXPECT_TRUE(std::equal(pp, pp + PNUM, now.model().ram().begin()));
            // The new sensor was asked for the connection sequence only.
            const std::vector<int> commands = now.commands();
            ASSERT_GT(commands.size(), asked);
            for (std::size_t k = asked; k < commands.size(); ++k) {
                EXPECT_TRUE(commands[k] == CMD_ECHO || commands[k] == CMD_HARDWARE ||
                            commands[k] == CMD_READ_RAM || commands[k] == CMD_FIRMWARE)
                    << commands[k];
            }
        });
}

// A line that never falls quiet: the loop's waits for it keep the panels
// alive, and STOP ends the loop at once instead of after one wait per block.
TEST_P(Overlap, StopEndsAWaitForAQuietLine) {
    const double start = bed().now();
    bed().injectToHost(1, start + 0.5, sim::Bytes(30000, 0x33));
    double stoppedAt = 0.0;
    bed().at(start + 2.0, [&] {
        stoppedAt = bed().now();
        bed().click(pHandle, PANEL_BTNStop);
    });
    ASSERT_TRUE(bed().pressKey(pHandle, GetParam()));
    EXPECT_NEAR(stoppedAt, start + 2.0, 0.01);
    EXPECT_LT(bed().now() - stoppedAt, 0.2);
}

INSTANTIATE_TEST_SUITE_P(Loops, Overlap, ::testing::Values(PANEL_BTNVideo, PANEL_BTNRun));

} // namespace
} // namespace korven
