// The whole program on the main panel against scripted and virtual sensors.
//
// The main panel's commands on an idle program (window limits, target
// selection, SEND, GET, teach, threshold, pop-up toggle, stop, port choice),
// what a new sensor leaves on the panel, and the calibration entries against
// the words a sensor keeps; start-up and shutdown of the whole program, the
// first marks of the edge graph, and the brand header.
//
// The continuous loops against the virtual sensor. The live video loop on
// both board kinds, its time-out, stopping it and its guard against a
// second start. The operator's commands while a loop owns the line, given
// at points all over a cycle (answer wait, each video block, between
// requests): the calibration exchanges and the analogue reset get their own
// answers, a loop started while another is finishing follows it, a port
// switch ends the loop on the new sensor's result, and STOP ends a wait for
// a quiet line at once. Long runs: an hour of virtual time of either loop
// with faults switched on and off at random (silence, late, cut, padded and
// garbage answers, a line that goes dead); every loop must end when it
// should and leave the program tidy, and every read-back leaves parameters
// in their repaired ranges.
//
// The long runs print their seed with every failure; KORVEN_LONGRUN_SEED=<n>
// repeats a run, KORVEN_LONGRUN_SECONDS=<s> changes its virtual length.
#include "app/KORVENDarir23.h"
#include "app/line_owner.h"
#include "app/logo.h"
#include "display/gui.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
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
        const auto& cursor =
            bed().graph(pHandle, PANEL_GRAPH_EDGES).cursors[c.control == L ? 1 : 2];
        EXPECT_EQ(std::tuple(Int(c.control), c.control == L ? eBeg : eEnd, cursor.x, cursor.y),
                  std::tuple(c.shown, c.shown, double(c.shown), 1.0))
            << c.entered;
    }
}

// The window limits, the measured-position cursor, the covered stretch
// right of an edge and the unzoomed strip chart end at the sensor's last
// position, in the units of its edges: twice the pixels on the x2 sub-pixel
// sensors, eighths on board 100, the reported last position on type 103.
// Each limit is kept below and at that position and pulled inside just
// beyond it.
TEST_F(Commands, WindowCursorAndStripChartEndAtTheLastPositionOfEachSensor) {
    const int L = PANEL_NEDITEdgeLeft, R = PANEL_NEDITEdgeRight;
    const struct {
        const char* preset;
        int last;
    } rows[] = {
        {"type2-res350", 8192},  {"type1", 1024},   {"type2-res750", 1024}, {"type2-res250", 2048},
        {"type3", 512},          {"type4", 512},    {"type101", 512},       {"type102-fw220", 1536},
        {"type102-fw230", 1536}, {"type103", 2360}, {"type104", 1536},      {"unknown", 1024},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.preset);
        SimPeer sensor(r.preset);
        test::OpenLine(bed(), &sensor);
        ASSERT_EQ(GetHARDWAREInfo(), 1);
        auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
        for (const auto& [entered, left, right] :
             {std::tuple(r.last - 1, r.last - 1, r.last - 1), std::tuple(r.last, r.last, r.last),
              std::tuple(r.last + 1, r.last - 1, r.last)}) {
            Operate(L, entered);
            Operate(R, entered);
            EXPECT_EQ(std::tuple(Int(L), Int(R), edges.cursors[1].x, edges.cursors[2].x),
                      std::tuple(left, right, double(left), double(right)))
                << entered;
        }
        // Right edge as the measured position, two edges found.
        eMode = 1;
        edcnt = 2;
        Ledge = 10;
        for (const int right : {r.last - 1, r.last + 1}) {
            Redge = static_cast<u16>(right);
            PlotVIDEOBarGraph();
            const rt::headless::PlotItem& covered = edges.plots.at(1);
            EXPECT_EQ(std::tuple(edges.cursors[0].x, covered.x1, covered.x2),
                      std::tuple(double(std::min(right, r.last)), double(right), double(r.last)));
        }
        SetCtrlVal(pHandle, PANEL_TOGGBTN_Zoom, 0);
        PlotRAWGraphX8();
        EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_RAW).yAxis.max, r.last);
        CloseCom(1);
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

// SEND writes the panel's set to RAM or EEPROM, GET reads the selected
// memory onto the panel. SEND and STOP take a mouse click only (a key
// commits without a click); a failed write leaves the transmit text.
TEST_F(Commands, SendAndGetUseTheSelectedMemorySendAndStopOnlyOnAClick) {
    ccdsubpixel = 1024;
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    SetCtrlVal(pHandle, PANEL_NUMPower, 700);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 33);
    bed().pressKey(pHandle, PANEL_BTNSend);
    Settle();
    EXPECT_TRUE(sensor.frames().empty());

    // Each write is read back (the sensor stays silent here).
    bed().click(pHandle, PANEL_BTNSend);
    Settle();
    Operate(PANEL_RBTEeprom, 1);
    bed().click(pHandle, PANEL_BTNSend);
    Settle();

    ASSERT_EQ(sensor.commands(), (std::vector<int>{1, 2, 3, 4}));
    // Power, tolerance, slope 1.0 and offset 0 in both writes.
    for (const auto& f : {sensor.frames()[0], sensor.frames()[2]}) {
        EXPECT_EQ((Words{LinePeer::wordOf(f, 0), LinePeer::wordOf(f, 9), LinePeer::wordOf(f, 12),
                         LinePeer::wordOf(f, 13)}),
                  (Words{700, 33, 1024, 30000}));
    }

    Words eeprom = {600, 1, 400, 2, 0, 3, 10, 900, 450, 50, 1, 2, 2048, 30100, 8, 5};
    Words ram = eeprom;
    ram[0] = 800;
    sensor.answer(eeprom).answer(ram);
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(std::tuple(Int(PANEL_NUMPower), Int(PANEL_NEDITEdgeRight), vThd),
              std::tuple(600, 900, u16{400}));
    Operate(PANEL_RBTEeprom, 0);
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Int(PANEL_NUMPower), 800);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{1, 2, 3, 4, 4, 2}));

    // A window that ends left of its start is written nowhere, not even into
    // a file; equal limits are a window of one position.
    const std::size_t dialogs = bed().fileDialogs().size();
    for (const auto& [left, right] : {std::pair(900, 300), std::pair(301, 300)}) {
        Operate(PANEL_NEDITEdgeRight, right);
        Operate(PANEL_NEDITEdgeLeft, left);
        for (const int button : {PANEL_RBTRam, PANEL_RBTEeprom, PANEL_RBTFile}) {
            Operate(button, 1);
            bed().click(pHandle, PANEL_BTNSend);
            Settle();
            EXPECT_EQ(Status(), "Not sent: Edge left is above Edge right!")
                << left << " " << button;
        }
    }
    EXPECT_EQ(std::tuple(sensor.frames().size(), bed().fileDialogs().size()),
              std::tuple(6u, dialogs));
    Operate(PANEL_NEDITEdgeLeft, 300);
    Operate(PANEL_RBTRam, 1);
    bed().click(pHandle, PANEL_BTNSend);
    Settle();
    // Written (then read back from the silent sensor in vain).
    ASSERT_EQ(sensor.commands().size(), 8u);
    const auto& written = sensor.frames()[6];
    EXPECT_EQ(std::tuple(sensor.commands()[6], LinePeer::wordOf(written, 6),
                         LinePeer::wordOf(written, 7)),
              std::tuple(1, 300, 300));

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
    EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_BTNRun) || bed().isDimmed(pHandle, PANEL_RBTFile));
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
    EXPECT_NEAR(bed().now() - t0, 1.55, 0.05);
}

TEST_F(Commands, ToggleShowsAndHidesThePopup) {
    for (const int on : {1, 0, 1}) {
        Operate(PANEL_TOGGBTN_ParaII, on);
        EXPECT_EQ(bed().panelVisible(pPopup), on == 1);
    }
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
    ASSERT_TRUE(bed().click(pHandle, PANEL_RBTFile));
    Operate(PANEL_DropDCom, 2);
    EXPECT_EQ(sensor.commands(),
              (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE}));
    EXPECT_EQ(std::tuple(com, bed().portOpen(1), bed().portOpen(2), pixE, target),
              std::tuple(2, false, true, 8192, RAM));
    EXPECT_EQ(Status(), sensor.model().preset().firmware);
    EXPECT_EQ(TargetButtons(), (std::vector<int>{1, 0, 0}));
    Operate(PANEL_DropDCom, 3);
    EXPECT_EQ(std::tuple(bed().portOpen(2), com), std::tuple(false, 3));
    EXPECT_EQ(Status(), "No serial port found");
}

// While a port choice identifies the sensor, the panel stays alive (every
// pause and wait of the sequence handles events), and a command that uses
// the line runs after the sequence, not inside it, where it would take one
// of the sequence's answers.
TEST_F(Commands, ConnectionKeepsThePanelAliveAndRunsLineCommandsAfterIt) {
    SimPeer sensor;
    bed().attachPeer(2, &sensor);
    const double t0 = bed().now();
    double latest = 0.0;
    for (int k = 1; k <= 60; ++k) {
        const double due = t0 + 0.01 * k;
        bed().at(due, [&, due, k] {
            latest = std::max(latest, bed().now() - due);
            if (k == 15) {
                // In the first pause, after the line check.
                bed().fire(pHandle, PANEL_BTNGet, EVENT_COMMIT);
            }
        });
    }
    bed().at(t0 + 0.15, [&] { EXPECT_EQ(sensor.commands(), (std::vector<int>{CMD_ECHO})); });
    Operate(PANEL_DropDCom, 2);
    EXPECT_GT(bed().now() - t0, 0.45);
    EXPECT_LT(latest, 0.003);
    EXPECT_EQ(sensor.commands(),
              (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE, CMD_READ_RAM}));
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
}

// Presses held while the line is in use run with what the operator chose
// when pressing (target, port), and none is dropped without a word: a loop
// start that cannot run, and presses beyond the 64 kept, are told.
TEST_F(Commands, HeldPressesKeepTheirChoiceAndAreNeverDroppedSilently) {
    SimPeer first, second, third;
    Connect(first);
    bed().attachPeer(2, &second);
    bed().attachPeer(3, &third);
    const std::vector<int> connection{CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE};
    double t0 = bed().now();
    bed().at(t0 + 0.3, [&] {
        target = EEPROM;
        bed().fire(pHandle, PANEL_BTNGet, EVENT_COMMIT);
        target = RAM;
        Operate(PANEL_DropDCom, 2);
        Operate(PANEL_DropDCom, 3);
    });
    ASSERT_TRUE(bed().pressKey(pHandle, PANEL_BTNVideo));
    const std::vector<int> asked = first.commands();
    EXPECT_NE(std::find(asked.begin(), asked.end(), CMD_READ_EEPROM), asked.end());
    EXPECT_EQ(std::find(asked.begin() + 4, asked.end(), CMD_READ_RAM), asked.end());
    EXPECT_EQ(std::tuple(second.commands(), third.commands(), com),
              std::tuple(connection, connection, 3));

    // RUN and VIDEO pressed during a GET: RUN follows it, VIDEO cannot.
    t0 = bed().now();
    std::string dropped, capped;
    bed().at(t0 + 0.01, [&] {
        bed().fire(pHandle, PANEL_BTNRun, EVENT_COMMIT);
        bed().fire(pHandle, PANEL_BTNVideo, EVENT_COMMIT);
    });
    bed().at(t0 + 0.3, [&] {
        dropped = Status();
        for (int k = 0; k < 65; ++k) {
            bed().fire(pHandle, PANEL_ButtonReset, EVENT_COMMIT);
        }
        capped = Status();
        bed().click(pHandle, PANEL_BTNStop);
    });
    bed().fire(pHandle, PANEL_BTNGet, EVENT_COMMIT);
    EXPECT_EQ(dropped, "RUN and VIDEO: the later start was dropped, one loop at a time");
    EXPECT_EQ(capped, "Line busy: command not kept, 64 commands waiting");
    EXPECT_FALSE(bed().isVisible(pHandle, PANEL_GRAPH_VIDEO));
}

// Each sensor in turn finds the model-specific controls as the layout has
// them, changed only as its own model asks. The slope and offset entries
// hold to the words the sensor keeps: slope word up to 65534 (65535 marks an
// erased word), offset word up to 60000, for either slope scale (the slope's
// largest entry shown with six decimals).
TEST_F(Commands, EachSensorStartsFromTheLayoutsControls) {
    struct Row {
        std::string preset, deltaLabel;
        double deltaMin, deltaMax;
        bool deltaDimmed, opModeDimmed, umShown, rs232Dimmed, analogueDimmed;
        std::string onText, line0;
        int pixE;
        double slopeMax;
        bool operator==(const Row&) const = default;
    };
    const Row rows[] = {
        {"type101", "DELTA-TOL", 0, 65535, false, false, true, false, true, "ADC-CNV",
         "CCD-SENSOR:256 pixel; 63.5µm pixel-pitch;", 256, 63.998046},
        {"type102-fw230", "OFFSET-VALUE", 950, 1000, false, true, true, false, true, "HI-GAIN",
         "CCD-SENSOR:768 pixel; 63.5µm pixel-pitch;", 768, 63.998046},
        {"type2-res500", "DELTA-TOL", 0, 65535, false, false, true, false, true, "HI-GAIN", "",
         1024, 63.998046},
        {"type1-fw1001", "DELTA-TOL", 0, 65535, true, false, false, true, true, "HI-GAIN",
         "CCD-SENSOR:1024 pixel; 7.8µm pixel-pitch;", 1024, 63.998046},
        {"type4", "DELTA-TOL", 0, 65535, false, false, true, true, true, "HI-GAIN",
         "CCD-SENSOR:512 pixel; 12,5µm pixel-pitch;", 512, 63.998046},
        {"type2-res350", "DELTA-TOL", 0, 65535, false, false, true, false, false, "HI-GAIN",
         "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;", 8192, 63.998046},
        {"type104", "DELTA-TOL", 0, 65535, false, false, true, false, true, "ADC-CNV",
         "CCD-SENSOR:1536 pixel; 63.5µm pixel-pitch;", 1536, 127.996093},
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
                       pixE,
                       std::round(bed().ctrl(pPopup, POPUP_NUMSlope).maximum * 1e6) / 1e6};
        EXPECT_EQ(seen, r);
        SetCtrlVal(pPopup, POPUP_NUMSlope, 200.0);
        SetCtrlVal(pPopup, POPUP_NUMOffset, 35535.0);
        GetPanelValues();
        EXPECT_EQ(std::tuple(slope, intersect),
                  std::tuple(kLargestSlopeWord, kLargestInterceptWord));
        // The entry takes this sensor's values, not the last one's range.
        if (r.deltaMax > 1000) {
            SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 5);
            EXPECT_EQ(Int(PANEL_NUMDeltaTol), 5);
        }
        CloseCom(1);
    }
}

// ---- Start-up and shutdown ------------------------------------------------

class StartUp : public test::Bed {
  protected:
    // Runs the program; at time `t` the operator reads the status line and
    // closes the main panel (another event on the panel does nothing).
    // Records: main panel shown, pop-up shown, quit after the other event,
    // stopped by the close, port open after it.
    int RunProgramAndClose(double t) {
        bed().at(t, [this] {
            statusBeforeClose_ = Status();
            seen_ = {bed().panelVisible(pHandle), bed().panelVisible(pPopup)};
            bed().firePanel(pHandle, EVENT_COMMIT);
            seen_.push_back(bed().quitRequested());
            stop_flag = 0;
            bed().firePanel(pHandle, EVENT_CLOSE);
            seen_.push_back(stop_flag == 1);
            seen_.push_back(bed().portOpen(1));
        });
        return WinMain(nullptr, nullptr, nullptr, 1);
    }

    std::string statusBeforeClose_;
    std::vector<bool> seen_;
};

const std::vector<bool> kClosedCleanly = {true, false, false, true, false};

// The program identifies the sensor; the operator runs the video loop (nested in the event loop
// until stopped), then closes the panel, which stops, closes the port and ends the program cleanly.
TEST_F(StartUp, SessionWithAGoodSensorEndsCleanlyOnClose) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    std::string atStart;
    bed().at(2.0, [&] {
        atStart = Status();
        bed().pressKey(pHandle, PANEL_BTNVideo);
    });
    bed().at(3.0, [&] { bed().click(pHandle, PANEL_BTNStop); });

    EXPECT_EQ(RunProgramAndClose(4.0), 0);

    EXPECT_EQ(atStart, sensor.model().preset().firmware);
    EXPECT_EQ(seen_, kClosedCleanly);
    // Line check, hardware, RAM parameters, firmware, in this order, then
    // the video loop's runs and blocks.
    const auto cmds = sensor.commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(std::vector<int>(cmds.begin(), cmds.begin() + 4), (std::vector<int>{5, 10, 2, 7}));
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 2), 1);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 8), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 9), 8);
    EXPECT_EQ(std::make_pair(bed().quitRequested(), bed().quitCode()), std::make_pair(true, 0));
    // Both panels are gone.
    EXPECT_TRUE(bed().panel(pHandle) == nullptr && bed().panel(pPopup) == nullptr);
    EXPECT_EQ(std::tuple(target, std::string(szSoftName), std::string(szSoftVersion)),
              std::tuple(RAM, "KORVEN-Darir", "Version 2.3"));
}

// A sensor that answers nothing leaves the line check's time-out, a missing
// port its open error; the program runs on to the close.
class StartUpAlone : public StartUp, public ::testing::WithParamInterface<bool> {};

TEST_P(StartUpAlone, SilentSensorOrMissingPortLeavesItsStatusAndRunsOn) {
    const bool attached = GetParam();
    test::LinePeer sensor;
    if (attached) {
        bed().attachPeer(1, &sensor);
    }
    EXPECT_EQ(RunProgramAndClose(attached ? 3.0 : 1.0), 0);
    EXPECT_EQ(statusBeforeClose_, attached ? "Timeout-RS-232..." : "No serial port found");
    EXPECT_EQ(seen_, kClosedCleanly);
    EXPECT_EQ(sensor.commands(), attached ? std::vector<int>{5} : std::vector<int>{});
    EXPECT_FALSE(bed().notificationInstalled(1));
}

INSTANTIATE_TEST_SUITE_P(SilentOrNoPort, StartUpAlone, ::testing::Bool());

// A run-time that cannot start, or a missing second panel, ends the program
// before anything runs.
TEST_F(StartUp, FailedStartEndsBeforeAnythingRuns) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    bed().failInit();
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 1), -1);
    bed().failInit(false);
    bed().failLoadPanel(POPUP);
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 1), -1);

    EXPECT_EQ(bed().openCount(1), 0);
    EXPECT_TRUE(sensor.frames().empty());
    EXPECT_STREQ(szSoftName, ""); // InitVars did not run
    EXPECT_FALSE(bed().panelVisible(pHandle));
}

// The first marks come from the panel's values; a set-point below the
// tolerance puts the band's left end left of zero, and a second call
// replaces the band.
TEST_F(StartUp, InitVarsDrawsSetPointAndWindowFromThePanel) {
    LoadPanels();
    SetCtrlVal(pHandle, PANEL_NUMTeachValue, 50);
    InitVars();
    InitVars();
    EXPECT_EQ(Status(), "InitVars");
    const auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
    // Cursor 1 (x, y), the window cursors' x, then the one green band.
    ASSERT_EQ(edges.plots.size(), 1u);
    const auto& b = edges.plots[0];
    EXPECT_EQ(
        std::tuple(edges.cursors[0].x, edges.cursors[0].y, edges.cursors[1].x, edges.cursors[2].x),
        std::tuple(50.0, 1.0, 1.0, 1024.0));
    EXPECT_EQ(std::tuple(b.kind, b.x1, b.x2, b.y1, b.y2, b.color, b.fillColor),
              std::tuple(rt::headless::PlotItem::Kind::Rectangle, -50.0, 150.0, 0.0, 0.25, 0xFF00,
                         0xFF00));
    EXPECT_EQ(std::make_tuple(stop_flag, target, com), std::make_tuple(1, RAM, 1));
    EXPECT_DOUBLE_EQ(xArray[255], 1020.0);
    EXPECT_EQ(std::make_pair(thdArray[0], thdArray[255]), std::make_pair(u16{512}, u16{512}));
}

// ---- Header ----------------------------------------------------------------

using Header = test::Bed;

// Brand variant 2: five lines on the blue header (white text in the
// application font) and the logo; 0 and 1: name and version only, no
// picture, a white header; unknown variants leave the header alone; every
// brand picture exists beside the program.
TEST_F(Header, EachBrandVariant) {
    LoadPanels();
    std::strcpy(szSoftName, "KORVEN-Darir");
    std::strcpy(szSoftVersion, "Version 2.3");
    const auto& header = bed().ctrl(pHandle, PANEL_HEADER).attributes;
    const auto& logo = bed().ctrl(pHandle, PANEL_LOGO);

    for (const int variant : {5, 7, -1}) {
        ShowLogo(variant);
    }
    EXPECT_TRUE(bed().runtimeControls(pHandle).empty());
    EXPECT_EQ(header.count(ATTR_FRAME_COLOR), 0u);
    EXPECT_TRUE(logo.imageFile.empty());

    ShowLogo(2);
    const auto controls = bed().runtimeControls(pHandle);
    ASSERT_EQ(controls.size(), 5u);
    EXPECT_EQ(std::tuple(controls[3]->value.asText(), controls[4]->value.asText()),
              std::tuple("KORVEN-Darir", "Version 2.3"));
    EXPECT_NE(controls[2]->value.asText().find(".example"), std::string::npos);
    for (const auto* c : controls) {
        EXPECT_EQ(std::make_tuple(c->attributes.at(ATTR_TEXT_BGCOLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_COLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_FONT).asText()),
                  std::make_tuple(MakeColor(0, 128, 255), MakeColor(255, 255, 255), "NIApp"));
    }
    // Point sizes of lines 1 and 4, positions of lines 4, 5 and 3, the logo's.
    EXPECT_EQ((std::vector<std::int64_t>{
                  controls[0]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(),
                  controls[3]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(), controls[3]->geometry.x,
                  controls[3]->geometry.y, controls[4]->geometry.x, controls[2]->geometry.y,
                  logo.attributes.at(ATTR_LEFT).asInt(), logo.attributes.at(ATTR_TOP).asInt()}),
              (std::vector<std::int64_t>{11, 18, 300, 35, 450, 40, 300, 10}));
    EXPECT_EQ(logo.imageFile, "korven_logo2.png");
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(0, 128, 255));

    ShowLogo(0);
    const auto all = bed().runtimeControls(pHandle);
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(std::tuple(all[5]->value.asText(), all[6]->value.asText()),
              std::tuple("KORVEN-Darir", "Version 2.3"));
    EXPECT_FALSE(bed().isVisible(pHandle, PANEL_LOGO));
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(255, 255, 255));

    for (const int variant : {3, 4, 6, 2}) {
        ShowLogo(variant);
        EXPECT_TRUE(
            std::filesystem::is_regular_file(std::string(KORVEN_BINARY_DIR) + "/" + logo.imageFile))
            << variant << ": " << logo.imageFile;
    }
}

// ---- The continuous loops ---------------------------------------------------

class Loops : public test::PanelBed {
  protected:
    // What holds whenever a loop has ended: stopped, panel unlocked, the
    // receive notification back on the port in use, a terminated status
    // text, bounded display lists and at most `queued` bytes waiting.
    void ExpectTidy(const char* what, int queued = 0) {
        SCOPED_TRACE(what);
        EXPECT_EQ(stop_flag, 1);
        EXPECT_EQ(Dimmed({PANEL_LOOPLOCK_A, PANEL_LOOPLOCK_B, PANEL_BTNVideo, PANEL_RBTFile,
                          PANEL_TOGGBTN_Zoom}),
                  std::vector<bool>(5, false));
        EXPECT_EQ(std::tuple(bed().notificationInstalled(com), bed().notificationMask(com),
                             bed().notificationCount(com)),
                  std::tuple(true, eventMask, kFrameBytes));
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
        EXPECT_LE(bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots.size(), 2u);
        for (const auto& trace : bed().graph(pHandle, PANEL_GRAPH_RAW).traces) {
            EXPECT_LE(trace.size(), 100u);
        }
        EXPECT_LE(bed().inputQueueLength(com), queued);
    }
    std::vector<bool> Dimmed(std::initializer_list<int> controls) {
        std::vector<bool> out;
        for (const int c : controls) {
            out.push_back(bed().isDimmed(pHandle, c));
        }
        return out;
    }
};

// The video loop on each board kind until the operator stops it: whole
// cycles only, each a run request and the board's block requests (board
// 100: four blocks of 64 samples with their first sample, the last one
// flagged; others: one block of all 256 samples); the stop takes effect
// after the current cycle. While it runs the loop's controls are locked and
// the video graph replaces the raw one; it measures with RAM, whatever was
// selected, and draws the last line against the sub-pixel positions. The
// loop dims both loop buttons; their callbacks themselves refuse a second
// loop as well.
TEST_F(Loops, VideoReadsTheBoardsBlocksEachCycleUntilStopped) {
    const struct {
        const char* preset;
        std::vector<std::vector<int>> cycle; // command and its first two words
        const char* status;
    } boards[] = {
        {"type2-res350",
         {{8, 0, 0}, {9, 0, 0}, {9, 64, 0}, {9, 128, 0}, {9, 192, 1}},
         "Data[64] block received!"},
        {"type2-res250", {{8, 0, 0}, {11, 0, 0}}, "Data[256] block received!"},
    };
    for (const auto& b : boards) {
        SCOPED_TRACE(b.preset);
        SimPeer sensor(b.preset);
        Connect(sensor);
        Operate(PANEL_RBTEeprom, 1);
        const std::size_t before = sensor.frames().size();
        // Dimmed video, run, stop and target buttons; the raw and the video
        // graph visible.
        std::vector<bool> during;
        double nestedTook = -1.0;
        bed().at(bed().now() + 0.5, [&] {
            during = Dimmed({PANEL_BTNVideo, PANEL_BTNRun, PANEL_BTNStop, PANEL_RBTEeprom});
            during.push_back(bed().isVisible(pHandle, PANEL_GRAPH_RAW));
            during.push_back(bed().isVisible(pHandle, PANEL_GRAPH_VIDEO));
            const double t = bed().now();
            bed().fire(pHandle, PANEL_BTNVideo, EVENT_COMMIT);
            bed().fire(pHandle, PANEL_BTNRun, EVENT_COMMIT);
            nestedTook = bed().now() - t;
        });
        bed().at(bed().now() + 1.0, [this] { bed().click(pHandle, PANEL_BTNStop); });

        bed().pressKey(pHandle, PANEL_BTNVideo);

        EXPECT_EQ(during, (std::vector<bool>{true, true, false, true, false, true}));
        EXPECT_GE(nestedTook, 0.0);
        EXPECT_LT(nestedTook, 0.01);
        ExpectTidy("video");
        EXPECT_EQ(std::tuple(target, Int(PANEL_RBTRam), Int(PANEL_RBTEeprom)),
                  std::tuple(RAM, 1, 0));
        EXPECT_EQ(Status(), b.status);

        const auto& frames = sensor.frames();
        const std::size_t n = b.cycle.size();
        ASSERT_GE(frames.size() - before, 2 * n);
        EXPECT_EQ((frames.size() - before) % n, 0u);
        for (std::size_t i = before; i < frames.size(); ++i) {
            const std::vector<int>& want = b.cycle[(i - before) % n];
            EXPECT_EQ(LinePeer::commandOf(frames[i]), want[0]);
            // The run request carries the parameter set; a block request
            // only its first sample and flag.
            for (int k = 0; k < 16 && want[0] != CMD_RUN; ++k) {
                EXPECT_EQ(LinePeer::wordOf(frames[i], k), k < 2 ? want[1 + k] : 0) << i;
            }
        }

        const auto& video = bed().graph(pHandle, PANEL_GRAPH_VIDEO);
        ASSERT_EQ(video.plots.size(), 2u);
        EXPECT_EQ(std::tuple(video.plots[0].y.size(), video.plots[0].x[255]),
                  std::tuple(256ul, xArray8[255]));
        EXPECT_TRUE(std::any_of(std::begin(adcbuf), std::end(adcbuf), [](u16 v) { return v; }));
        EXPECT_EQ(std::tuple(video.xAxis.mode, video.xAxis.min, video.xAxis.max),
                  std::tuple(VAL_MANUAL, 1.0, double(ccdpixE)));
        // The last answer is on the indicators.
        EXPECT_EQ(Int(PANEL_NUMMValue), Mvalue);
        EXPECT_NE(Ledge, 0);
        CloseCom(1);
    }
}

// A silent sensor ends the video loop after its time-out; closing the panel
// ends it as well.
TEST_F(Loops, VideoEndsAfterASilentSensorsTimeOutOrWhenThePanelCloses) {
    LinePeer silent;
    test::OpenLine(bed(), &silent);
    const double t0 = bed().now();
    bed().pressKey(pHandle, PANEL_BTNVideo);
    EXPECT_EQ(Status(), "Timeout RS232-Line!");
    EXPECT_NEAR(bed().now() - t0, 1.55, 0.05);
    EXPECT_EQ(silent.commands(), (std::vector<int>{8}));
    ExpectTidy("video");

    SimPeer sensor;
    Connect(sensor);
    bed().at(bed().now() + 0.5, [this] { bed().firePanel(pHandle, EVENT_CLOSE); });
    bed().pressKey(pHandle, PANEL_BTNVideo);

    EXPECT_EQ(std::tuple(stop_flag, bed().quitRequested(), bed().portOpen(1),
                         bed().isDimmed(pHandle, PANEL_BTNVideo)),
              std::tuple(1, true, false, false));
}

// ---- Long runs -------------------------------------------------------------

double FromEnvironment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtod(text, nullptr) : fallback;
}

// The longest a video cycle can take once the sensor stops answering: the
// run answer's time-out, then four block time-outs (each after a request).
constexpr double kWorstVideoCycle = TIMEOUT + 4 * (TIMEOUT + 0.05) + 0.5;

class LongRun : public Loops {
  protected:
    void SetUp() override {
        Loops::SetUp();
        // A coarser event pass keeps an hour of virtual time quick; it is
        // still far finer than the line's frame time.
        bed().options().passStep = 0.002;
    }

    // Picks a fault, or none; returns true when the sensor may now fail to
    // answer in time (and so end a loop before the operator does).
    static bool PickFault(sim::Faults& faults, std::mt19937& rng) {
        using Int = std::uniform_int_distribution<int>;
        faults = sim::Faults{};
        const std::function<void()> kinds[] = {
            [&] { faults.silent = true; },
            [&] { faults.lateSeconds = std::uniform_real_distribution<double>(0.05, 2.0)(rng); },
            [&] { faults.cutBytes = Int(1, 40)(rng); },
            [&] { faults.extraBytes = Int(1, 8)(rng); },
            [&] { faults.garbage = true; },
        };
        // Half of the draws leave a sound sensor.
        const int kind = Int(0, 9)(rng);
        if (kind >= 5) {
            return false;
        }
        kinds[kind]();
        // Some faults hit only the answers of one command.
        if (rng() % 3 == 0) {
            static const int kCommands[] = {CMD_RUN, CMD_DATA64, CMD_DATA256_OR_RESET,
                                            CMD_READ_RAM};
            faults.command = kCommands[rng() % 4];
        }
        return true;
    }

    void ExpectRepairedRanges() {
        const int maxX8 = std::max<int>(1, ccdmaxpixelX8);
        const int maxSub = std::max<int>(1, ccdsubpixel);
        const struct {
            const char* name;
            int value, low, high;
        } ranges[] = {
            {"power", power, 0, 1000},      {"rs232Mode", rs232Mode, 0, 1},
            {"vThd", vThd, 50, 950},        {"anaMode", anaMode, 0, 7},
            {"polarity", polarity, 0, 1},   {"eMode", eMode, 0, 4},
            {"tTol", tTol, 1, maxX8},       {"deltaTol", deltaTol, 1, maxSub},
            {"eBeg", eBeg, 0, maxSub},      {"eEnd", eEnd, 1, maxSub},
            {"eHardware", eHardware, 0, 3}, {"average", average, 0, 1024},
            {"slope", slope, 0, 65534},     {"intersect", intersect, 0, 60000},
        };
        for (const auto& r : ranges) {
            EXPECT_GE(r.value, r.low) << r.name;
            EXPECT_LE(r.value, r.high) << r.name;
        }
    }

    // Runs one continuous loop (RUN or video) until the operator stops it
    // after `stopAfter` seconds; faults may come and go meanwhile. Checks
    // that it ended when it should.
    void OneLoop(int button, double stopAfter, double worstCycle, std::mt19937& rng) {
        SimPeer& sensor = *sensor_;
        const int id = ++activity_;
        const double start = bed().now();
        const double stopAt = start + stopAfter;
        // A stop left over from an earlier loop must not end this one.
        bed().at(stopAt, [this, id] {
            if (id == activity_) {
                bed().click(pHandle, PANEL_BTNStop);
            }
        });
        sim::Faults faults;
        const bool mayFail = PickFault(faults, rng);
        const double faultAt = start + std::uniform_real_distribution<double>(0.0, stopAfter)(rng);
        bed().at(faultAt, [this, id, faults, &sensor] {
            if (id == activity_) {
                sensor.faults() = faults;
            }
        });

        ASSERT_TRUE(bed().pressKey(pHandle, button));
        const double end = bed().now();
        sensor.faults() = sim::Faults{};

        // Never beyond the stop plus one cycle that runs into its time-outs.
        EXPECT_LE(end, stopAt + worstCycle) << "started " << start;
        if (!mayFail) {
            // A sound sensor keeps the loop going until the operator stops it.
            EXPECT_GE(end, stopAt) << "started " << start;
        }
        ExpectTidy(button == PANEL_BTNRun ? "run" : "video", 4096);
        // Let late answers of the last cycle come in before the next action.
        bed().advance(2.0 * TIMEOUT);
    }

    // Starts and stops the loop of `button` at random for the test's time
    // (an hour unless the environment says otherwise), with a GET now and
    // then. Loops last a minute on average; `framesPerSecond` is the least
    // rate of frames the sensor must have seen.
    void ForAnHour(int button, double longestCycle, std::uint32_t defaultSeed,
                   double framesPerSecond) {
        const auto seed =
            static_cast<std::uint32_t>(FromEnvironment("KORVEN_LONGRUN_SEED", defaultSeed));
        SCOPED_TRACE("KORVEN_LONGRUN_SEED=" + std::to_string(seed));
        std::mt19937 rng(seed);
        // A sensor of a preset picked by the seed.
        const sim::Preset& preset = sim::Presets()[rng() % sim::Presets().size()];
        sensor_ = std::make_unique<SimPeer>(preset.name, rng());
        SimPeer* sensor = sensor_.get();
        ASSERT_NO_FATAL_FAILURE(Connect(*sensor)) << preset.name;

        const double seconds = FromEnvironment("KORVEN_LONGRUN_SECONDS", 3600.0);
        const double until = bed().now() + seconds;
        int loops = 0;
        while (bed().now() < until && !HasFailure()) {
            OneLoop(button, std::uniform_real_distribution<double>(1.0, 120.0)(rng), longestCycle,
                    rng);
            ++loops;
            if (rng() % 4 == 0) { // a GET, perhaps with a fault
                sim::Faults faults;
                PickFault(faults, rng);
                sensor->faults() = faults;
                ASSERT_TRUE(bed().pressKey(pHandle, PANEL_BTNGet));
                sensor->faults() = sim::Faults{};
                ExpectRepairedRanges();
                ExpectTidy("get", 4096);
                bed().advance(2.0 * TIMEOUT);
            }
        }
        RecordProperty("loops", loops);
        RecordProperty("frames", static_cast<int>(sensor->frames().size()));
        EXPECT_GT(loops, seconds / 300);
        EXPECT_GT(static_cast<double>(sensor->frames().size()), framesPerSecond * seconds);
    }

    std::unique_ptr<SimPeer> sensor_;
    int activity_ = 0;
};

TEST_F(LongRun, RunSequenceForAnHourWithRandomFaults) {
    // The RUN loop ends within one pass of the stop, or at its time-out; a
    // sound sensor answers many times a second.
    ForAnHour(PANEL_BTNRun, TIMEOUT + 0.1, 20261206, 2.0);
}

TEST_F(LongRun, VideoLoopForAnHourWithRandomFaults) {
    ForAnHour(PANEL_BTNVideo, kWorstVideoCycle, 7041, 1.0);
}

// ---- Commands while a loop runs ---------------------------------------------

class Overlap : public Loops, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        Loops::SetUp();
        bed().attachPeer(2, &other_);
        ASSERT_NO_FATAL_FAILURE(Connect(sensor_));
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
            ExpectTidy("ended", 4096);
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

// Another port chosen mid-cycle (the port selector stays usable while a loop
// runs): the switch itself ends the loop, whatever step it is in, and closes
// the old port; the loop showed what the old sensor sent, the new sensor gets
// only the connection sequence, and its parameter set and firmware text are
// shown; the next loop runs on the new port.
TEST_P(Overlap, PortSwitchEndsTheLoopOnTheNewSensorsResult) {
    int port = 1;
    std::size_t asked = 0;
    const auto sensorOn = [this](int p) -> SimPeer& { return p == 1 ? sensor_ : other_; };
    Sweep(
        [&] {
            ++runs_; // no stop for this run
            port = port == 1 ? 2 : 1;
            asked = sensorOn(port).commands().size();
            bed().operate(pHandle, PANEL_DropDCom, rt::Value::ofInt(port));
        },
        [&](double ranFor) {
            SimPeer& now = sensorOn(port);
            EXPECT_LT(ranFor, 10.0);
            EXPECT_EQ(std::tuple(com, bed().portOpen(3 - port)), std::tuple(port, false));
            // The old sensor's last run answer, or the one before when the
            // last came after the switch.
            const std::vector<int> edges = sensorOn(3 - port).lastLeftEdges(2);
            EXPECT_NE(std::find(edges.begin(), edges.end(), Ledge), edges.end()) << Ledge;
            EXPECT_EQ(Status(), now.model().preset().firmware);
            EXPECT_TRUE(std::equal(pp, pp + PNUM, now.model().ram().begin()));
            // The new sensor was asked for the connection sequence only.
            const std::vector<int> commands = now.commands();
            ASSERT_GT(commands.size(), asked);
            EXPECT_EQ(std::vector<int>(commands.begin() + asked, commands.end()),
                      (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE}));
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
