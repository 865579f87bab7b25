// The main panel's commands on an idle program (window limits, target
// selection, SEND, GET, teach, threshold, pop-up toggle, stop, port choice),
// what a new sensor leaves on the panel, the calibration entries against the
// words a sensor keeps, and parameter files with long paths or links.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korven {
namespace {

namespace fs = std::filesystem;
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
    for (const auto& frame : sensor.frames()) {
        EXPECT_EQ(LinePeer::wordOf(frame, 0), 700);
        EXPECT_EQ(LinePeer::wordOf(frame, 9), 33);
        EXPECT_EQ(LinePeer::wordOf(frame, 12), 1024); // slope 1.0
        EXPECT_EQ(LinePeer::wordOf(frame, 13), 30000);
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

// Teach sends the packet as it stands and reads the new set-point back; with
// no answer it says so after the time-out and keeps the old set-point.
TEST_F(Commands, TeachSendsThePacketAndReadsTheNewSetPointBack) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    sensor.answer({}).answer({500, 0, 512, 0, 1, 1, 1, 1024, 377, 100, 0, 1, 1024, 30000, 0, 1});
    pp[8] = 4321;
    bed().pressKey(pHandle, PANEL_ButtonTeach);
    ASSERT_EQ(sensor.commands(), (std::vector<int>{6, 2}));
    EXPECT_EQ(LinePeer::wordOf(sensor.frames()[0], 8), 4321);
    EXPECT_EQ(tVal, 377);
    EXPECT_EQ(Int(PANEL_NUMTeachValue), 377);
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
    EXPECT_EQ(thdArray[0], 300);
    EXPECT_EQ(thdArray[255], 300);
    EXPECT_EQ(vThd, 512);
    const auto& plots = bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots;
    ASSERT_EQ(plots.size(), 2u);
    EXPECT_DOUBLE_EQ(plots[1].y[100], 300.0);
    EXPECT_DOUBLE_EQ(plots[1].x[100], 3200.0); // sub-pixels, as the video loop draws

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
        EXPECT_EQ(com, 2);
        EXPECT_FALSE(bed().portOpen(1));
        EXPECT_TRUE(bed().portOpen(2));
        EXPECT_EQ(Status(), sensor.model().preset().firmware);
        EXPECT_EQ(pixE, 8192);
        EXPECT_EQ(target, RAM);
        EXPECT_EQ(TargetButtons(), (std::vector<int>{1, 0, 0}));
    }
    Operate(PANEL_DropDCom, 3);
    EXPECT_FALSE(bed().portOpen(2));
    EXPECT_EQ(com, 3);
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
    double end = 0.0;
    for (int k = 1; k <= 60; ++k) {
        const double due = t0 + 0.01 * k;
        bed().at(due, [&, due, k] {
            if (end == 0.0) {
                latest = std::max(latest, bed().now() - due);
            }
            if (k == 15) {
                // In the first pause, after the line check.
                bed().fire(pHandle, PANEL_BTNGet, EVENT_COMMIT);
            }
        });
    }
    bed().at(t0 + 0.15, [&] { EXPECT_EQ(sensor.commands(), (std::vector<int>{CMD_ECHO})); });
    Operate(PANEL_DropDCom, 2);
    end = bed().now();
    EXPECT_GT(end - t0, 0.45);
    EXPECT_LT(latest, 0.003);
    EXPECT_EQ(sensor.commands(),
              (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE, CMD_READ_RAM}));
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
}

// Each sensor in turn finds the model-specific controls as the layout has
// them, changed only as its own model asks.
TEST_F(Commands, EachSensorStartsFromTheLayoutsControls) {
    struct Row {
        const char* preset;
        const char* deltaLabel;
        double deltaMin, deltaMax;
        bool deltaDimmed, opModeDimmed, umShown, rs232Dimmed, analogueDimmed;
        const char* onText;
        const char* line0;
        int pixE;
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
        EXPECT_EQ(delta.label, r.deltaLabel);
        EXPECT_DOUBLE_EQ(delta.hasRange ? delta.minimum : 0, r.deltaMin);
        EXPECT_DOUBLE_EQ(delta.hasRange ? delta.maximum : 65535, r.deltaMax);
        EXPECT_EQ(delta.dimmed, r.deltaDimmed);
        EXPECT_EQ(Ctrl(PANEL_TOGGBTN_OpMode).dimmed, r.opModeDimmed);
        EXPECT_EQ(Ctrl(PANEL_TOGGBTN_OpMode).onText, r.onText);
        EXPECT_EQ(Ctrl(PANEL_NUMUmValue).visible, r.umShown);
        EXPECT_EQ(Ctrl(PANEL_DropRs232Mode).dimmed, r.rs232Dimmed);
        EXPECT_EQ(Ctrl(PANEL_DropAnaMode).dimmed, r.analogueDimmed);
        EXPECT_EQ(Ctrl(PANEL_ButtonReset).dimmed, r.analogueDimmed);
        EXPECT_EQ(bed().ctrl(pPopup, POPUP_TEXTBOXSensor).lines.at(0), r.line0);
        EXPECT_EQ(pixE, r.pixE);
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
        EXPECT_EQ(Int(PANEL_NEDITEdgeLeft), c.shownBeg);
        EXPECT_EQ(Int(PANEL_NEDITEdgeRight), c.shownEnd);
        EXPECT_EQ(Int(PANEL_NUMDeltaTol), c.shownDelta);
        EXPECT_EQ(power, 500);
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
        EXPECT_EQ(slope, kLargestSlopeWord);
        EXPECT_EQ(intersect, kLargestInterceptWord);
        CloseCom(1);
    }
}

// ---- Parameter files: long paths and linked files ----------------------

class ParameterPaths : public Commands {
  protected:
    void SetUp() override {
        Commands::SetUp();
        dir_ = fs::temp_directory_path() / ("korven_paths_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Operate(PANEL_RBTFile, 1);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        Commands::TearDown();
    }
    void Save(const fs::path& path, int powerValue) {
        SetCtrlVal(pHandle, PANEL_NUMPower, powerValue);
        bed().queueFileDialog({VAL_NEW_FILE_SELECTED, path.string()});
        bed().click(pHandle, PANEL_BTNSend);
    }
    // The first line of a saved file: the power word.
    static std::string FirstLine(const fs::path& path) {
        std::ifstream in(path);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str().substr(0, 6);
    }
    fs::path dir_;
};

TEST_F(ParameterPaths, PathLongerThanTheOldBufferIsUsedWhole) {
    fs::path deep = dir_;
    for (int i = 0; i < 4; ++i) {
        deep /= std::string(150, static_cast<char>('a' + i));
    }
    fs::create_directories(deep);
    const fs::path file = deep / "KRVNpara.dat";
    ASSERT_GT(file.string().size(), 2u * MAX_PATHNAME_LEN);

    Save(file, 777);
    EXPECT_EQ(FirstLine(file), "  777\n");
    EXPECT_EQ(file_name, file.string());

    SetCtrlVal(pHandle, PANEL_NUMPower, 100);
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, file.string()});
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Int(PANEL_NUMPower), 777);
}

TEST_F(ParameterPaths, SavingThroughALinkReplacesTheLinkedFileAndKeepsItsMode) {
    const fs::path real = dir_ / "real" / "KRVNpara.dat";
    fs::create_directories(real.parent_path());
    std::ofstream(real) << "old\n";
    ::chmod(real.c_str(), 0640);
    const fs::path link = dir_ / "link.dat";
    fs::create_symlink(fs::path("real") / "KRVNpara.dat", link);

    Save(link, 321);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(FirstLine(real), "  321\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // Nothing but the file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), fs::directory_iterator()),
              1);
}

} // namespace
} // namespace korven
