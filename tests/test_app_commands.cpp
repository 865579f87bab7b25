// The main panel's commands on an idle program (window limits, target
// selection, SEND, GET, teach, threshold, pop-up toggle, stop, port choice),
// what a new sensor leaves on the panel, and the calibration entries against
// the words a sensor keeps.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace korven {
namespace {

using test::LinePeer;
using test::SimPeer;
using test::Words;

class Commands : public test::PanelBed {
  protected:
    rt::headless::ControlState& Ctrl(int control) { return bed().ctrl(pHandle, control); }
    std::vector<int> TargetButtons() {
        return {Int(PANEL_RBTRam), Int(PANEL_RBTEeprom), Int(PANEL_RBTFile)};
    }
    // Lets the line deliver what is on its way.
    void Settle() { bed().advance(0.1); }
};

// An entry outside the sensor's window is pulled inside it: the left limit
// to the first pixel or one short of the last, the right limit to the last
// or one past the first. The entry, the global and the cursor agree.
TEST_F(Commands, WindowLimitsArePulledIntoThePixelRange) {
    ccdsubpixel = 1024;
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

// Clicks on the target buttons RAM, EEPROM, FILE: one at a time is on, the
// selected one clicked off falls back to RAM, and RAM cannot be turned off.
TEST_F(Commands, TargetButtonsStayExclusiveAndFallBackToRam) {
    const struct {
        int button, target;
        std::vector<int> buttons;
    } clicks[] = {
        {PANEL_RBTEeprom, EEPROM, {0, 1, 0}}, {PANEL_RBTFile, DATFILE, {0, 0, 1}},
        {PANEL_RBTFile, RAM, {1, 0, 0}},      {PANEL_RBTEeprom, EEPROM, {0, 1, 0}},
        {PANEL_RBTEeprom, RAM, {1, 0, 0}},    {PANEL_RBTRam, RAM, {1, 0, 0}},
    };
    for (const auto& c : clicks) {
        SCOPED_TRACE(&c - clicks);
        ASSERT_TRUE(bed().click(pHandle, c.button));
        EXPECT_EQ(target, c.target);
        EXPECT_EQ(TargetButtons(), c.buttons);
    }
}

TEST_F(Commands, SendWritesThePanelsParameterSetToRamOrEeprom) {
    ccdsubpixel = 1024;
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
    // Power, tolerance, slope 1.0 and offset 0 in both frames.
    for (const auto& f : sensor.frames()) {
        EXPECT_EQ((Words{LinePeer::wordOf(f, 0), LinePeer::wordOf(f, 9), LinePeer::wordOf(f, 12),
                         LinePeer::wordOf(f, 13)}),
                  (Words{700, 33, 1024, 30000}));
    }
    EXPECT_EQ(power, 700);
}

// SEND and STOP take a mouse click only (a key commits without a click); a
// failed write leaves the transmit text.
TEST_F(Commands, SendAndStopActOnAMouseClickOnly) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    bed().pressKey(pHandle, PANEL_BTNSend);
    Settle();
    EXPECT_TRUE(sensor.frames().empty());
    CloseCom(1);
    bed().click(pHandle, PANEL_BTNSend);
    EXPECT_EQ(Status(), "Transmit...");

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

TEST_F(Commands, GetReadsTheSelectedMemoryOntoThePanel) {
    ccdsubpixel = 1024;
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    Words ram = {600, 1, 400, 2, 0, 3, 10, 900, 450, 50, 1, 2, 2048, 30100, 8, 5};
    Words eeprom = ram;
    eeprom[0] = 800;
    sensor.answer(ram).answer(eeprom);

    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(std::tuple(Int(PANEL_NUMPower), Int(PANEL_NEDITEdgeRight), vThd),
              std::tuple(600, 900, u16{400}));

    Operate(PANEL_RBTEeprom, 1);
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Int(PANEL_NUMPower), 800);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{2, 4}));
}

// Teach sends the packet as it stands and reads the new set-point back; with
// no answer it says so after the time-out and keeps the old set-point.
TEST_F(Commands, TeachSendsThePacketAndReadsTheNewSetPointBack) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    sensor.answer({}).answer({500, 0, 512, 0, 1, 1, 1, 1024, 377, 100, 0, 1, 1024, 30000, 0, 1});
    pp[8] = 4321;
    bed().pressKey(pHandle, PANEL_ButtonTeach);
    ASSERT_EQ(sensor.commands(), (std::vector<int>{6, 2}));
    EXPECT_EQ(std::tuple(LinePeer::wordOf(sensor.frames()[0], 8), tVal, Int(PANEL_NUMTeachValue)),
              std::tuple(4321, 377, 377));
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");

    const double t0 = bed().now();
    std::string waiting;
    bed().at(t0 + 0.5, [&] { waiting = Status(); });
    bed().pressKey(pHandle, PANEL_ButtonTeach);
    EXPECT_EQ(waiting, "New setpoint value teached!");
    EXPECT_EQ(Status(), "Teach not confirmed: Timeout-RS-232...");
    EXPECT_EQ(tVal, 377);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{6, 2, 6}));
    EXPECT_GE(bed().now() - t0, 1.5);
    EXPECT_LT(bed().now() - t0, 1.6);
}

TEST_F(Commands, ThresholdRedrawsTheVideoCurveAndToggleShowsThePopup) {
    for (int i = 0; i < 256; ++i) {
        xArray8[i] = 32.0 * i; // an 8192-sub-pixel line
    }
    Operate(PANEL_NUMVideoThreshold, 300);
    EXPECT_EQ(std::tuple(thdArray[0], thdArray[255], vThd), std::tuple(300, 300, 512));
    const auto& plots = bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots;
    ASSERT_EQ(plots.size(), 2u);
    // At sub-pixels, as the video loop draws.
    EXPECT_EQ(std::tuple(plots[1].x[100], plots[1].y[100]), std::tuple(3200.0, 300.0));

    Operate(PANEL_TOGGBTN_ParaII, 1);
    EXPECT_TRUE(bed().panelVisible(pPopup));
    Operate(PANEL_TOGGBTN_ParaII, 0);
    EXPECT_FALSE(bed().panelVisible(pPopup));
}

// A port choice closes the old port and identifies the sensor on the new one
// once; the connection reads RAM and leaves RAM selected, whichever target
// was on, and board 100 counts the window in eighths. A missing port still
// closes the old one.
TEST_F(Commands, PortChoiceClosesTheOldPortAndIdentifiesTheNewSensorOnce) {
    LinePeer old;
    test::OpenLine(bed(), &old);
    SimPeer sensor; // type 2, 1024 pixels, board 100
    bed().attachPeer(2, &sensor);
    std::vector<int> asked;
    for (const int button : {PANEL_RBTEeprom, PANEL_RBTFile}) {
        SCOPED_TRACE(button);
        ASSERT_TRUE(bed().click(pHandle, button));
        ASSERT_NE(target, RAM);
        Operate(PANEL_DropDCom, 2);
        asked.insert(asked.end(), {CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE});
        EXPECT_EQ(sensor.commands(), asked);
        EXPECT_EQ(std::tuple(com, bed().portOpen(1), bed().portOpen(2), pixE, target),
                  std::tuple(2, false, true, 8192, RAM));
        EXPECT_EQ(Status(), sensor.model().preset().firmware);
        EXPECT_EQ(TargetButtons(), (std::vector<int>{1, 0, 0}));
    }
    Operate(PANEL_DropDCom, 3);
    EXPECT_EQ(std::tuple(bed().portOpen(2), com), std::tuple(false, 3));
    EXPECT_EQ(Status(), "No serial port found");
}

// Each sensor in turn finds the model-specific controls as the layout has
// them, changed only as its own model asks.
TEST_F(Commands, EachSensorStartsFromTheLayoutsControls) {
    struct Row {
        std::string preset, deltaLabel;
        double deltaMin, deltaMax;
        bool deltaDimmed, opModeDimmed, umShown, rs232Dimmed, analogueDimmed;
        std::string onText, line0;
        int pixE;
        bool operator==(const Row&) const = default;
    };
    const Row rows[] = {
        {"type101", "DELTA-TOL", 0, 65535, false, false, true, false, true, "ADC-CNV",
         "CCD-SENSOR:256 pixel; 63.5µm pixel-pitch;", 256},
        {"type102-fw230", "OFFSET-VALUE", 950, 1000, false, true, true, false, true, "HI-GAIN",
         "CCD-SENSOR:768 pixel; 63.5µm pixel-pitch;", 768},
        {"type2-res500", "DELTA-TOL", 0, 65535, false, false, true, false, true, "HI-GAIN", "",
         1024},
        {"type1-fw1001", "DELTA-TOL", 0, 65535, true, false, false, true, true, "HI-GAIN",
         "CCD-SENSOR:1024 pixel; 7.8µm pixel-pitch;", 1024},
        {"type4", "DELTA-TOL", 0, 65535, false, false, true, true, true, "HI-GAIN",
         "CCD-SENSOR:512 pixel; 12,5µm pixel-pitch;", 512},
        {"type2-res350", "DELTA-TOL", 0, 65535, false, false, true, false, false, "HI-GAIN",
         "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;", 8192},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.preset);
        SimPeer sensor(r.preset);
        test::OpenLine(bed(), &sensor);
        ASSERT_EQ(GetHARDWAREInfo(), 1);
        const auto& delta = Ctrl(PANEL_NUMDeltaTol);
        EXPECT_EQ(Ctrl(PANEL_ButtonReset).dimmed, r.analogueDimmed);
        const Row seen{r.preset,
                       delta.label,
                       delta.hasRange ? delta.minimum : 0,
                       delta.hasRange ? delta.maximum : 65535,
                       delta.dimmed,
                       Ctrl(PANEL_TOGGBTN_OpMode).dimmed,
                       Ctrl(PANEL_NUMUmValue).visible,
                       Ctrl(PANEL_DropRs232Mode).dimmed,
                       Ctrl(PANEL_DropAnaMode).dimmed,
                       Ctrl(PANEL_TOGGBTN_OpMode).onText,
                       bed().ctrl(pPopup, POPUP_TEXTBOXSensor).lines.at(0),
                       pixE};
        EXPECT_EQ(seen, r);
        // The entry takes this sensor's values, not the last one's range.
        if (r.deltaMax > 1000) {
            SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 5);
            EXPECT_EQ(Int(PANEL_NUMDeltaTol), 5);
        }
        CloseCom(1);
    }
}

// Before any sensor told its line length, a parameter file keeps its window
// and delta tolerance; the other repairs still apply.
TEST_F(Commands, ReadBackWithoutSensorKeepsWindowAndDeltaTolerance) {
    ASSERT_EQ(ccdsubpixel, 0);
    struct Case {
        u16 eBeg, eEnd, deltaTol; // in the file
        u16 shownBeg, shownEnd, shownDelta;
    };
    for (const Case c : {Case{300, 900, 10, 300, 900, 10}, Case{0, 0, 0, 0, 1, 1},
                         Case{5000, 65535, 65535, 5000, 65535, 65535}}) {
        StoreDefaults();
        power = 2000; // repaired to 500 all the same
        eBeg = c.eBeg;
        eEnd = c.eEnd;
        deltaTol = c.deltaTol;
        SetPanelValues();
        EXPECT_EQ(std::tuple(Int(PANEL_NEDITEdgeLeft), Int(PANEL_NEDITEdgeRight),
                             Int(PANEL_NUMDeltaTol), power),
                  std::tuple(c.shownBeg, c.shownEnd, c.shownDelta, 500));
    }
}

// The slope and offset entries hold to the words the sensor keeps: slope
// word up to 65534 (65535 marks an erased word), offset word up to 60000,
// for either slope scale.
TEST_F(Commands, CalibrationEntriesStayWithinTheWordsTheSensorKeeps) {
    struct Case {
        const char* preset;
        double slopeMax; // shown with six decimals
    };
    for (const Case c : {Case{"type1", 63.998046}, Case{"type104", 127.996093}}) {
        SCOPED_TRACE(c.preset);
        SimPeer sensor(c.preset);
        test::OpenLine(bed(), &sensor);
        ASSERT_EQ(GetHARDWAREInfo(), 1);
        EXPECT_DOUBLE_EQ(bed().ctrl(pPopup, POPUP_NUMSlope).maximum, c.slopeMax);
        SetCtrlVal(pPopup, POPUP_NUMSlope, 200.0);
        SetCtrlVal(pPopup, POPUP_NUMOffset, 35535.0);
        GetPanelValues();
        EXPECT_EQ(std::tuple(slope, intersect),
                  std::tuple(kLargestSlopeWord, kLargestInterceptWord));
        CloseCom(1);
    }
}

} // namespace
} // namespace korven
