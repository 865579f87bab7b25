// The main panel's commands on an idle program (window limits, target
// selection, SEND, GET, teach, threshold, pop-up toggle, stop, port choice),
// what a new sensor leaves on the panel, and the calibration entries against
// the words a sensor keeps; start-up and shutdown of the whole program, the
// first marks of the edge graph, and the brand header.
#include "app/KORVENDarir23.h"
#include "app/logo.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

// The program identifies the sensor; the operator reads the parameters and
// runs the video loop (nested in the event loop until stopped), then closes
// the panel, which stops, closes the port and ends the program cleanly.
TEST_F(StartUp, SessionWithAGoodSensorEndsCleanlyOnClose) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    std::string atStart, afterGet;
    bool videoDimmedWhileRunning = false;
    bed().at(2.0, [&] {
        atStart = Status();
        bed().pressKey(pHandle, PANEL_BTNGet);
        afterGet = Status();
    });
    bed().at(2.5, [&] { bed().pressKey(pHandle, PANEL_BTNVideo); });
    bed().at(3.0, [&] {
        videoDimmedWhileRunning = bed().isDimmed(pHandle, PANEL_BTNVideo);
        bed().click(pHandle, PANEL_BTNStop);
    });

    EXPECT_EQ(RunProgramAndClose(4.0), 0);

    EXPECT_EQ(atStart, sensor.model().preset().firmware);
    EXPECT_EQ(afterGet, "Parameter-frame received! - Line Ok!");
    EXPECT_TRUE(videoDimmedWhileRunning);
    EXPECT_EQ(seen_, kClosedCleanly);
    // Line check, hardware, RAM parameters, firmware, in this order; GET,
    // then the video loop's runs and blocks.
    const auto cmds = sensor.commands();
    ASSERT_GE(cmds.size(), 5u);
    EXPECT_EQ(std::vector<int>(cmds.begin(), cmds.begin() + 5), (std::vector<int>{5, 10, 2, 7, 2}));
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 2), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 8), 2);
    EXPECT_GE(std::count(cmds.begin(), cmds.end(), 9), 8);
    EXPECT_EQ(std::make_pair(bed().quitRequested(), bed().quitCode()), std::make_pair(true, 0));
    // Both panels are gone.
    EXPECT_EQ(bed().panel(pHandle), nullptr);
    EXPECT_EQ(bed().panel(pPopup), nullptr);
    EXPECT_EQ(target, RAM);
    EXPECT_STREQ(szSoftName, "KORVEN-Darir");
    EXPECT_STREQ(szSoftVersion, "Version 2.3");
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
    auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
    // Cursor 1 (x, y), the window cursors' x, then the one green band.
    const auto marks = [&] {
        EXPECT_EQ(edges.plots.size(), 1u);
        const auto& b = edges.plots.at(0);
        EXPECT_EQ(b.kind, rt::headless::PlotItem::Kind::Rectangle);
        return std::vector<double>{edges.cursors[0].x,
                                   edges.cursors[0].y,
                                   edges.cursors[1].x,
                                   edges.cursors[2].x,
                                   b.x1,
                                   b.x2,
                                   b.y1,
                                   b.y2,
                                   double(b.color),
                                   double(b.fillColor)};
    };
    InitVars();
    EXPECT_EQ(Status(), "InitVars");
    EXPECT_EQ(marks(), (std::vector<double>{512, 1, 1, 1024, 412, 612, 0, 0.25, 0xFF00, 0xFF00}));
    EXPECT_EQ(std::make_tuple(stop_flag, target, com), std::make_tuple(1, RAM, 1));
    EXPECT_DOUBLE_EQ(xArray[255], 1020.0);
    EXPECT_EQ(std::make_pair(thdArray[0], thdArray[255]), std::make_pair(u16{512}, u16{512}));

    SetCtrlVal(pHandle, PANEL_NUMTeachValue, 50);
    InitVars();
    EXPECT_EQ(marks(), (std::vector<double>{50, 1, 1, 1024, -50, 150, 0, 0.25, 0xFF00, 0xFF00}));
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
    const auto texts = [&] {
        std::vector<std::string> out;
        for (const auto* c : bed().runtimeControls(pHandle)) {
            out.push_back(c->value.asText());
        }
        return out;
    };
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
    EXPECT_EQ(texts()[3], "KORVEN-Darir");
    EXPECT_EQ(texts()[4], "Version 2.3");
    EXPECT_NE(texts()[2].find(".example"), std::string::npos);
    for (const auto* c : controls) {
        EXPECT_EQ(std::make_tuple(c->attributes.at(ATTR_TEXT_BGCOLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_COLOR).asInt(),
                                  c->attributes.at(ATTR_TEXT_FONT).asText()),
                  std::make_tuple(MakeColor(0, 128, 255), MakeColor(255, 255, 255), "NIApp"));
    }
    // Point sizes of lines 1 and 4, positions of lines 4, 5 and 3, the logo's.
    EXPECT_EQ((std::vector<int>{
                  controls[0]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(),
                  controls[3]->attributes.at(ATTR_TEXT_POINT_SIZE).asInt(), controls[3]->geometry.x,
                  controls[3]->geometry.y, controls[4]->geometry.x, controls[2]->geometry.y,
                  logo.attributes.at(ATTR_LEFT).asInt(), logo.attributes.at(ATTR_TOP).asInt()}),
              (std::vector<int>{11, 18, 300, 35, 450, 40, 300, 10}));
    EXPECT_EQ(logo.imageFile, "korven_logo2.png");
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(0, 128, 255));

    ShowLogo(0);
    const auto all = texts();
    EXPECT_EQ(std::vector(all.begin() + 5, all.end()),
              (std::vector<std::string>{"KORVEN-Darir", "Version 2.3"}));
    EXPECT_FALSE(bed().isVisible(pHandle, PANEL_LOGO));
    EXPECT_EQ(header.at(ATTR_FRAME_COLOR).asInt(), MakeColor(255, 255, 255));

    for (const int variant : {3, 4, 6, 2}) {
        ShowLogo(variant);
        EXPECT_TRUE(
            std::filesystem::is_regular_file(std::string(KORVEN_BINARY_DIR) + "/" + logo.imageFile))
            << variant << ": " << logo.imageFile;
    }
}

} // namespace
} // namespace korven
