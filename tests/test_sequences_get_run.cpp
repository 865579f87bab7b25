// The read-back sequence (GET from RAM, EEPROM or file) and the run
// sequence against scripted and virtual sensors.
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>

namespace korven {
namespace {

using rt::headless::ScriptedPeer;
using test::LinePeer;
using test::Words;

class Sequences : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        ccdsubpixel = 1024;
        ccdmaxpixelX8 = 8192;
        ccdpixE = 1024;
    }

    // Status text seen by the operator at virtual time t.
    void StatusAt(double t, std::string& seen) {
        bed().at(t, [this, &seen] { seen = Status(); });
    }
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }

    LinePeer peer;
};

// ---- GET ----------------------------------------------------------------

TEST_F(Sequences, GetFromRamShowsTheAnswer) {
    test::OpenLine(bed(), &peer);
    // power, rs232Mode, vThd (out of range), anaMode, polarity, eMode, eBeg,
    // eEnd, tVal, tTol, opMode, eHardware, slope, intersect, average, deltaTol
    peer.answer({700, 1, 1000, 3, 0, 2, 20, 1000, 600, 40, 1, 2, 1100, 29000, 16, 5});
    std::string waiting;
    StatusAt(0.01, waiting);

    PushGET(RAM);

    ASSERT_EQ(peer.commands(), (std::vector<int>{2}));
    // The request carries the parameter set as it stood.
    EXPECT_EQ(ScriptedPeer::wordOf(peer.frames()[0], 0), 500);
    EXPECT_EQ(ScriptedPeer::wordOf(peer.frames()[0], 8), 512);
    EXPECT_EQ(waiting, "Waiting for parameter-frame ...");
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(power, 700);
    EXPECT_EQ(vThd, 950);
    EXPECT_EQ(eMode, 2);
    EXPECT_EQ(tVal, 600);
    EXPECT_EQ(intersect, 29000);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 700);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMVideoThreshold), 950);
    EXPECT_EQ(bed().doubleValue(pPopup, POPUP_NUMOffset), -1000.0);
    EXPECT_LT(bed().now(), 0.1);
}

TEST_F(Sequences, GetFromEepromAsksForEepromWords) {
    test::OpenLine(bed(), &peer);
    peer.answer({600});
    PushGET(EEPROM);
    EXPECT_EQ(peer.commands(), (std::vector<int>{4}));
    EXPECT_EQ(order, 4);
    EXPECT_EQ(power, 600);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
}

TEST_F(Sequences, GetWithoutTimelyAnswerKeepsTheGlobals) {
    test::OpenLine(bed(), &peer);
    peer.answer({700, 1, 600}, 1.6); // too late
    power = 1001;
    const double start = bed().now();

    PushGET(RAM);

    const double waited = bed().now() - start;
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 1.55);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    // Unchanged, but repaired and shown.
    EXPECT_EQ(power, 500);
    EXPECT_EQ(vThd, 512);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 500);
}

TEST_F(Sequences, GetFromFileOnlyShowsTheGlobals) {
    test::OpenLine(bed(), &peer);
    power = 1001;
    tVal = 345;
    SetStatusText("Parameter file read");
    SetCtrlVal(pHandle, PANEL_STATUS, "something else");

    PushGET(DATFILE);

    EXPECT_TRUE(bed().writes(1).empty());
    EXPECT_EQ(Status(), "Parameter file read");
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 500);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTeachValue), 345);
}

// ---- RUN ----------------------------------------------------------------

TEST_F(Sequences, RunDrawsEveryAnswerUntilStopped) {
    test::SimPeer sensor;
    sensor.model().setRamWord(sim::kTTol, 123);
    test::OpenLine(bed(), &sensor);
    tTol = 77;
    // The request is packed from the globals; the panel is not read.
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 66);
    target = EEPROM;
    graphrefresh = 1; // left over from an earlier answer
    bool dimmedWhileRunning = false;
    bed().at(0.5,
             [&] { dimmedWhileRunning = Dimmed(PANEL_LOOPLOCK_A) && Dimmed(PANEL_LOOPLOCK_B); });
    // Longer than one time-out: the time-out runs from the last request.
    bed().at(2.0, [&] { bed().click(pHandle, PANEL_BTNStop); });

    PushRUN();

    EXPECT_NEAR(bed().now(), 2.0, 0.01);
    const auto commands = sensor.commands();
    ASSERT_GE(commands.size(), 40u);
    for (int c : commands) {
        ASSERT_EQ(c, 8);
    }
    // One drawing per answer; at most the answer in flight when stopped is
    // not drawn.
    const int drawn = bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls;
    EXPECT_GE(drawn, static_cast<int>(commands.size()) - 1);
    EXPECT_LE(drawn, static_cast<int>(commands.size()));

    // The tolerance the sensor reports travels back with the next request;
    // the operator's entry keeps its value, the indicator follows.
    EXPECT_EQ(ScriptedPeer::wordOf(sensor.frames()[0], 9), 77);
    EXPECT_EQ(ScriptedPeer::wordOf(sensor.frames()[1], 9), 123);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NEDITTolerance), 66);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 123);

    EXPECT_EQ(Status(), "Line Ok!"); // stopped without a message
    EXPECT_TRUE(dimmedWhileRunning);
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_A));
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_B));
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_RBTRam), 1);
    EXPECT_FALSE(bed().ctrl(pHandle, PANEL_GRAPH_VIDEO).visible);
    EXPECT_TRUE(bed().ctrl(pHandle, PANEL_GRAPH_RAW).visible);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(graphrefresh, 0);
}

TEST_F(Sequences, RunAnswerWordsReachTheDisplay) {
    test::OpenLine(bed(), &peer);
    // Ledge, Redge, Mvalue, umValue low/high (-2), tVal, tTol, edcnt,
    // mvstart, mvend, (unused), anaMax, anaMin
    peer.always(CMD_RUN, test::reply::Answer(
                             {300, 700, 400, 0xFFFE, 0xFFFF, 520, 30, 2, 0, 0, 9, 800, 1023}));
    eMode = 1;
    bed().at(0.2, [] { stop_flag = 1; });

    PushRUN();

    EXPECT_EQ(Ledge, 300);
    EXPECT_EQ(Redge, 700);
    EXPECT_EQ(umValue, -2);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMUmValue), -2);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMax), 800);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMin), 1);
    EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_EDGES).cursors[0].x, 700.0);
    EXPECT_EQ(arrayNORM[497], 520.0);
    EXPECT_EQ(arrayNORM[498], 400.0);
}

TEST_F(Sequences, RunAgainstSilentSensorTimesOut) {
    test::OpenLine(bed(), &peer);
    SetCtrlAttribute(pHandle, PANEL_LOOPUNLOCK, ATTR_DIMMED, 1);
    graphrefresh = 1; // an earlier answer is not a run answer
    std::string early;
    StatusAt(0.5, early);
    const double start = bed().now();

    PushRUN();

    const double ran = bed().now() - start;
    EXPECT_GT(ran, 1.5);
    EXPECT_LT(ran, 1.55);
    EXPECT_EQ(early, "Line Ok!");
    EXPECT_EQ(Status(), "Timeout RS232-Line!");
    EXPECT_EQ(peer.commands(), (std::vector<int>{8}));
    EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls, 0);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_A));
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_B));
    EXPECT_FALSE(Dimmed(PANEL_LOOPUNLOCK));
}

} // namespace
} // namespace korven
