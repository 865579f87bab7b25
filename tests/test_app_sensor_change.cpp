// Changing sensors and working without one: what a new connection leaves on
// the panel (target buttons, pixel window, model-specific controls), the
// calibration entries and send check against the words a sensor keeps,
// parameter files edited at a desk, long paths and linked files.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
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
using rt::Value;
using test::SimPeer;

class SensorChange : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
    }
    rt::headless::ControlState& Ctrl(int control) { return bed().ctrl(pHandle, control); }
    int Int(int panel, int control) { return static_cast<int>(bed().intValue(panel, control)); }
    std::vector<int> TargetButtons() {
        return {Int(pHandle, PANEL_RBTRam), Int(pHandle, PANEL_RBTEeprom),
                Int(pHandle, PANEL_RBTFile)};
    }
};

// A click on a target button selects it, and the next connection, which
// reads from RAM and leaves SEND and GET on RAM, shows RAM. One choice of
// the port identifies the sensor once, and choosing it again gives the
// same window (board 100 counts it in eighths).
TEST_F(SensorChange, PortChoiceIdentifiesOnceAndShowsTheTargetItUses) {
    SimPeer sensor; // type 2, 1024 pixels, board 100
    bed().attachPeer(1, &sensor);
    for (const int button : {PANEL_RBTEeprom, PANEL_RBTFile}) {
        ASSERT_TRUE(bed().click(pHandle, button));
        EXPECT_NE(target, RAM) << button;
        EXPECT_EQ(Int(pHandle, button), 1);

        bed().operate(pHandle, PANEL_DropDCom, Value::ofInt(1));
        const auto cmds = sensor.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), CMD_HARDWARE),
                  button == PANEL_RBTEeprom ? 1 : 2);
        EXPECT_EQ(pixE, 8192);
        EXPECT_EQ(target, RAM);
        EXPECT_EQ(TargetButtons(), (std::vector<int>{1, 0, 0}));
    }
    // A second click turns the button off again, which falls back to RAM.
    bed().click(pHandle, PANEL_RBTEeprom);
    bed().click(pHandle, PANEL_RBTEeprom);
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(TargetButtons(), (std::vector<int>{1, 0, 0}));
}

// Each sensor in turn finds the model-specific controls as the layout has
// them, changed only as its own model asks.
TEST_F(SensorChange, EachSensorStartsFromTheLayoutsControls) {
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
            EXPECT_EQ(Int(pHandle, PANEL_NUMDeltaTol), 5);
        }
        CloseCom(1);
    }
}

// Before any sensor told its line length, a parameter file keeps its window
// and delta tolerance; the other repairs still apply.
TEST_F(SensorChange, ReadBackWithoutSensorKeepsWindowAndDeltaTolerance) {
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
        EXPECT_EQ(Int(pHandle, PANEL_NEDITEdgeLeft), c.shownBeg);
        EXPECT_EQ(Int(pHandle, PANEL_NEDITEdgeRight), c.shownEnd);
        EXPECT_EQ(Int(pHandle, PANEL_NUMDeltaTol), c.shownDelta);
        EXPECT_EQ(power, 500);
    }
}

// The slope and offset entries hold to the words the sensor keeps: slope
// word up to 65534 (65535 marks an erased word), offset word up to 60000,
// for either slope scale.
TEST_F(SensorChange, CalibrationEntriesStayWithinTheWordsTheSensorKeeps) {
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

class ParameterPaths : public SensorChange {
  protected:
    void SetUp() override {
        SensorChange::SetUp();
        dir_ = fs::temp_directory_path() / ("korven_paths_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        Select(PANEL_RBTFile);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        SensorChange::TearDown();
    }
    void Select(int button) { bed().operate(pHandle, button, Value::ofInt(1)); }
    void Save(const fs::path& path) {
        bed().queueFileDialog({VAL_NEW_FILE_SELECTED, path.string()});
        bed().click(pHandle, PANEL_BTNSend);
    }
    static std::string Text(const fs::path& path) {
        std::ifstream in(path);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
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

    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    Save(file);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(Text(file).substr(0, 6), "  777\n");
    EXPECT_EQ(file_name, file.string());

    SetCtrlVal(pHandle, PANEL_NUMPower, 100);
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, file.string()});
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Int(pHandle, PANEL_NUMPower), 777);
}

TEST_F(ParameterPaths, SavingThroughALinkReplacesTheLinkedFileAndKeepsItsMode) {
    const fs::path real = dir_ / "real" / "KRVNpara.dat";
    fs::create_directories(real.parent_path());
    std::ofstream(real) << "old\n";
    ::chmod(real.c_str(), 0640);
    const fs::path link = dir_ / "link.dat";
    fs::create_symlink(fs::path("real") / "KRVNpara.dat", link);

    SetCtrlVal(pHandle, PANEL_NUMPower, 321);
    Save(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Text(real).substr(0, 6), "  321\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // Nothing but the file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), fs::directory_iterator()),
              1);
}

} // namespace
} // namespace korven
