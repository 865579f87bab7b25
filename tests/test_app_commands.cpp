// The main panel's commands: window limits, target selection, SEND, GET,
// teach, threshold, port switch, pop-up toggle, stop and close.
#include "app/KORVENDarir23.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using test::Bed;
using test::LinePeer;
using test::Words;

class Commands : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        // A 1024-pixel sensor with eighth-pixel positions.
        ccdsubpixel = 1024;
    }
    void Operate(int control, int value) { bed().operate(pHandle, control, Value::ofInt(value)); }
    int Int(int control) { return static_cast<int>(bed().intValue(pHandle, control)); }
    // Lets the line deliver what is on its way.
    void Settle(double seconds = 0.1) { bed().advance(seconds); }
};

// ---- Window limits ---------------------------------------------------------

// An entry outside the sensor's window is pulled inside it: the left limit
// to the first pixel or one short of the last, the right limit to the last
// or one past the first. The entry, the global and the cursor agree.
TEST_F(Commands, WindowLimitsArePulledIntoThePixelRange) {
    const int L = PANEL_NEDITEdgeLeft, R = PANEL_NEDITEdgeRight;
    const struct {
        u16 first, last;
        int control, entered, shown;
    } cases[] = {
        {1, 1024, L, 0, 1},        {1, 1024, L, 1, 1},       {1, 1024, L, 300, 300},
        {1, 1024, L, 1024, 1024},  {1, 1024, L, 1025, 1023}, {1, 1024, L, 1500, 1023},
        {1, 1024, L, 65535, 1023}, {100, 500, L, 99, 100},   {100, 500, L, 500, 500},
        {100, 500, L, 501, 499},   {1, 1024, R, 2000, 1024}, {1, 1024, R, 1025, 1024},
        {1, 1024, R, 1024, 1024},  {1, 1024, R, 700, 700},   {1, 1024, R, 1, 1},
        {1, 1024, R, 0, 2},        {100, 500, R, 100, 100},  {100, 500, R, 99, 101},
        {100, 500, R, 501, 500},
    };
    for (const auto& c : cases) {
        pixB = c.first;
        pixE = c.last;
        Operate(c.control, c.entered);
        EXPECT_EQ(Int(c.control), c.shown) << c.entered;
        EXPECT_EQ(c.control == L ? eBeg : eEnd, c.shown) << c.entered;
        const auto& cursor =
            bed().graph(pHandle, PANEL_GRAPH_EDGES).cursors[c.control == L ? 1 : 2];
        EXPECT_DOUBLE_EQ(cursor.x, c.shown) << c.entered;
        EXPECT_DOUBLE_EQ(cursor.y, 1.0);
    }
}

// ---- Target selection ------------------------------------------------------

TEST_F(Commands, RadioButtonsStayExclusiveAndFallBackToRam) {
    // The target and the three buttons RAM, EEPROM, FILE after each step.
    const auto expect = [this](int t, int ram, int eeprom, int file) {
        EXPECT_EQ(target, t);
        EXPECT_EQ(Int(PANEL_RBTRam), ram);
        EXPECT_EQ(Int(PANEL_RBTEeprom), eeprom);
        EXPECT_EQ(Int(PANEL_RBTFile), file);
    };
    Operate(PANEL_RBTEeprom, 1);
    expect(EEPROM, 0, 1, 0);
    Operate(PANEL_RBTFile, 1);
    expect(DATFILE, 0, 0, 1);

    // Turning the selected button off falls back to RAM.
    Operate(PANEL_RBTFile, 0);
    expect(RAM, 1, 0, 0);
    Operate(PANEL_RBTEeprom, 1);
    Operate(PANEL_RBTEeprom, 0);
    expect(RAM, 1, 0, 0);

    // RAM itself cannot be turned off.
    Operate(PANEL_RBTRam, 0);
    expect(RAM, 1, 0, 0);
}

// ---- SEND --------------------------------------------------------------------

TEST_F(Commands, SendWritesThePanelsParameterSetToRamOrEeprom) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    SetCtrlVal(pHandle, PANEL_NUMPower, 700);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 33);

    bed().click(pHandle, PANEL_BTNSend);
    Settle();
    EXPECT_EQ(Status(), "Line Ok!");
    Operate(PANEL_RBTEeprom, 1);
    bed().click(pHandle, PANEL_BTNSend);
    Settle();

    ASSERT_EQ(sensor.commands(), (std::vector<int>{1, 3}));
    for (const auto& frame : sensor.frames()) {
        EXPECT_EQ(LinePeer::wordOf(frame, 0), 700);
        EXPECT_EQ(LinePeer::wordOf(frame, 9), 33);
        EXPECT_EQ(LinePeer::wordOf(frame, 12), 1024); // slope 1.0
        EXPECT_EQ(LinePeer::wordOf(frame, 13), 30000);
    }
    EXPECT_EQ(power, 700);
}

TEST_F(Commands, SendActsOnMouseClickOnlyAndReportsAFailedWrite) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    bed().pressKey(pHandle, PANEL_BTNSend); // keyboard: commit only
    Settle();
    EXPECT_TRUE(sensor.frames().empty());

    CloseCom(1);
    bed().click(pHandle, PANEL_BTNSend);
    EXPECT_EQ(Status(), "Transmit...");
}

// ---- GET -----------------------------------------------------------------------

TEST_F(Commands, GetReadsTheSelectedMemoryOntoThePanel) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    Words ram = {600, 1, 400, 2, 0, 3, 10, 900, 450, 50, 1, 2, 2048, 30100, 8, 5};
    Words eeprom = ram;
    eeprom[0] = 800;
    sensor.answer(ram).answer(eeprom);

    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(Int(PANEL_NUMPower), 600);
    EXPECT_EQ(Int(PANEL_NEDITEdgeRight), 900);
    EXPECT_EQ(vThd, 400);

    Operate(PANEL_RBTEeprom, 1);
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Int(PANEL_NUMPower), 800);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{2, 4}));
}

TEST_F(Commands, GetFromFileTargetNeverTouchesThePort) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    Operate(PANEL_RBTFile, 1);
    SetStatusText("previous text");
    // No dialogue result queued: the operator cancels.
    bed().pressKey(pHandle, PANEL_BTNGet);
    Settle();
    EXPECT_TRUE(bed().writes(1).empty());
    EXPECT_EQ(Status(), "previous text");
    ASSERT_EQ(bed().fileDialogs().size(), 1u);
}

// ---- Teach ---------------------------------------------------------------------

TEST_F(Commands, TeachSendsThePacketAsItStandsAndReadsTheNewSetPointBack) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    Words params = {500, 0, 512, 0, 1, 1, 1, 1024, 377, 100, 0, 1, 1024, 30000, 0, 1};
    sensor.answer({}).answer(params);
    pp[8] = 4321;

    bed().pressKey(pHandle, PANEL_ButtonTeach);

    ASSERT_EQ(sensor.commands(), (std::vector<int>{6, 2}));
    EXPECT_EQ(LinePeer::wordOf(sensor.frames()[0], 8), 4321);
    EXPECT_EQ(tVal, 377);
    EXPECT_EQ(Int(PANEL_NUMTeachValue), 377);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
}

TEST_F(Commands, TeachWithoutAnswerSaysItWasNotConfirmed) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    const double t0 = bed().now();
    std::string waiting;
    bed().at(t0 + 0.5, [&] { waiting = Status(); });
    const auto before = tVal;

    bed().pressKey(pHandle, PANEL_ButtonTeach);

    EXPECT_EQ(waiting, "New setpoint value teached!");
    EXPECT_EQ(Status(), "Teach not confirmed: Timeout-RS-232...");
    EXPECT_EQ(tVal, before);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{6}));
    EXPECT_GE(bed().now() - t0, 1.5);
    EXPECT_LT(bed().now() - t0, 1.6);
}

// ---- Threshold, pop-up, port, stop, close ------------------------------------

TEST_F(Commands, ThresholdRedrawsTheVideoCurveWithoutChangingTheParameter) {
    for (int i = 0; i < 256; ++i) {
        xArray8[i] = 32.0 * i; // an 8192-sub-pixel line
    }
    Operate(PANEL_NUMVideoThreshold, 300);
    EXPECT_EQ(thdArray[0], 300);
    EXPECT_EQ(thdArray[255], 300);
    EXPECT_EQ(vThd, 512);
    const auto& plots = bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots;
    ASSERT_EQ(plots.size(), 2u);
    EXPECT_DOUBLE_EQ(plots[1].y[100], 300.0);
    EXPECT_DOUBLE_EQ(plots[1].x[100], 3200.0); // sub-pixels, as the video loop draws
}

TEST_F(Commands, ToggleShowsAndHidesTheCalibrationPopup) {
    Operate(PANEL_TOGGBTN_ParaII, 1);
    EXPECT_TRUE(bed().panelVisible(pPopup));
    Operate(PANEL_TOGGBTN_ParaII, 0);
    EXPECT_FALSE(bed().panelVisible(pPopup));
}

TEST_F(Commands, PortSwitchClosesTheOldPortAndConnectsTheNewOne) {
    LinePeer old;
    test::OpenLine(bed(), &old);
    test::SimPeer sensor;
    bed().attachPeer(2, &sensor);

    Operate(PANEL_DropDCom, 2);

    EXPECT_EQ(com, 2);
    EXPECT_FALSE(bed().portOpen(1));
    EXPECT_TRUE(bed().portOpen(2));
    EXPECT_EQ(Status(), sensor.model().preset().firmware);
    const auto cmds = sensor.commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(std::vector<int>(cmds.end() - 4, cmds.end()), (std::vector<int>{5, 10, 2, 7}));
}

TEST_F(Commands, PortSwitchToMissingPortStillClosesTheOldOne) {
    LinePeer old;
    test::OpenLine(bed(), &old);
    Operate(PANEL_DropDCom, 3);
    EXPECT_FALSE(bed().portOpen(1));
    EXPECT_EQ(com, 3);
    EXPECT_EQ(Status(), "No serial port found");
}

TEST_F(Commands, StopReactsToTheMouseOnly) {
    stop_flag = 0;
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_A, ATTR_DIMMED, 1);
    SetCtrlAttribute(pHandle, PANEL_LOOPLOCK_B, ATTR_DIMMED, 1);
    bed().pressKey(pHandle, PANEL_BTNStop);
    EXPECT_EQ(stop_flag, 0);
    bed().click(pHandle, PANEL_BTNStop);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_BTNRun));
    EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_RBTFile));
}

TEST_F(Commands, CloseStopsClosesThePortAndEndsTheEventLoop) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    stop_flag = 0;
    bed().firePanel(pHandle, EVENT_COMMIT); // other panel events are ignored
    EXPECT_FALSE(bed().quitRequested());
    bed().firePanel(pHandle, EVENT_CLOSE);
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(bed().portOpen(1));
    EXPECT_TRUE(bed().quitRequested());
}

} // namespace
} // namespace korven
