// Saving the parameter set to a file and loading it back through SEND and
// GET with the file target: the 5-wide column format, replacement of an
// old file, cancelled dialogues, and broken files that change nothing.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace korven {
namespace {

namespace fs = std::filesystem;
using rt::FileDialogResult;
using rt::Value;
using test::Bed;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::array<u16, PNUM> Parameters() {
    CopyVarsToPP();
    std::array<u16, PNUM> words{};
    std::copy(std::begin(pp), std::end(pp), words.begin());
    return words;
}

class ParameterFile : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        ccdsubpixel = 1024;
        dir_ = fs::temp_directory_path() / ("korven_parafile_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        bed().operate(pHandle, PANEL_RBTFile, Value::ofInt(1));
        ASSERT_EQ(target, DATFILE);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        Bed::TearDown();
    }
    void Choose(const fs::path& path, int status = VAL_EXISTING_FILE_SELECTED) {
        bed().queueFileDialog(FileDialogResult{status, path.string()});
    }
    void Save(const fs::path& path) {
        Choose(path, VAL_NEW_FILE_SELECTED);
        EXPECT_TRUE(bed().click(pHandle, PANEL_BTNSend));
    }
    void Load(const fs::path& path) {
        Choose(path);
        EXPECT_TRUE(bed().pressKey(pHandle, PANEL_BTNGet));
    }
    // Loads a file holding `text`; nothing may change, and the status line
    // must say why.
    void ExpectRefused(const std::string& text, const std::string& status) {
        const fs::path file = dir_ / "broken.dat";
        WriteText(file, text);
        const auto before = Parameters();
        const int powerShown = static_cast<int>(bed().intValue(pHandle, PANEL_NUMPower));
        Load(file);
        EXPECT_EQ(Parameters(), before) << text;
        EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), powerShown);
        EXPECT_EQ(Status(), status) << text;
    }
    fs::path dir_;
};

TEST_F(ParameterFile, SaveWritesSixteenFiveWideLinesFromThePanel) {
    SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 65535);
    const fs::path file = dir_ / "KRVNpara.dat";
    Save(file);

    const std::string text = ReadText(file);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 16u) << text;
    EXPECT_EQ(lines[0], "  500");
    EXPECT_EQ(lines[2], "  512");
    EXPECT_EQ(lines[12], " 1024");
    EXPECT_EQ(lines[13], "30000");
    EXPECT_EQ(lines[15], "65535");
    for (const auto& line : lines) {
        EXPECT_EQ(line.size(), 5u) << line;
    }
    EXPECT_EQ(Status(), "Transmit...");
    EXPECT_EQ(bed().openCount(1), 0);

    ASSERT_EQ(bed().fileDialogs().size(), 1u);
    const auto& dialog = bed().fileDialogs()[0];
    EXPECT_EQ(dialog.title, "KORVEN-Series Parameter File");
    EXPECT_EQ(dialog.defaultFileSpec, "KRVNpara.dat");
    EXPECT_EQ(dialog.fileTypeList, "*.dat");
    EXPECT_EQ(dialog.defaultDirectory, std::string(proj_dir));
    EXPECT_EQ(dialog.buttonLabel, VAL_OK_BUTTON);
    EXPECT_FALSE(dialog.restrictDirectory);
    EXPECT_TRUE(dialog.restrictExtension);
    EXPECT_TRUE(dialog.allowCancel);
    EXPECT_TRUE(dialog.allowMakeDirectory);
    EXPECT_EQ(std::string(file_name), file.string());
}

TEST_F(ParameterFile, SavingReplacesTheWholeOldFile) {
    const fs::path file = dir_ / "old.dat";
    WriteText(file, std::string(500, 'x') + "\n");
    Save(file);
    EXPECT_EQ(ReadText(file).size(), 16u * 6u);
}

TEST_F(ParameterFile, WrittenFileReadsBackEveryWord) {
    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 33);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 65);
    SetCtrlVal(pPopup, POPUP_NUMSlope, 2.5);
    SetCtrlVal(pPopup, POPUP_NUMOffset, -12.0);
    const fs::path file = dir_ / "set.dat";
    Save(file);
    GetPanelValues();
    const auto saved = Parameters();
    EXPECT_EQ(saved[12], 2560);
    EXPECT_EQ(saved[13], 29988);

    // Everything on the panel changes; loading brings the set back.
    SetCtrlVal(pHandle, PANEL_NUMPower, 100);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 200);
    GetPanelValues();
    Load(file);

    EXPECT_EQ(Parameters(), saved);
    EXPECT_EQ(Status(), "Parameter file loaded!");
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 777);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NEDITEdgeLeft), 33);
    EXPECT_DOUBLE_EQ(bed().doubleValue(pPopup, POPUP_NUMSlope), 2.5);
    const auto& dialog = bed().fileDialogs().back();
    EXPECT_EQ(dialog.title, "KORVEN-Parameter-File");
    EXPECT_EQ(dialog.buttonLabel, VAL_LOAD_BUTTON);
    EXPECT_EQ(dialog.defaultFileSpec, "KRVNpara.dat");
    EXPECT_EQ(bed().openCount(1), 0);
}

TEST_F(ParameterFile, CancelledDialoguesWriteAndChangeNothing) {
    const fs::path file = dir_ / "KRVNpara.dat";
    Choose(file, VAL_NO_FILE_SELECTED);
    bed().click(pHandle, PANEL_BTNSend);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(Status(), "Transmit...");
    Choose(file, -1); // dialogue error
    bed().click(pHandle, PANEL_BTNSend);
    EXPECT_FALSE(fs::exists(file));

    SetStatusText("before");
    const auto before = Parameters();
    bed().pressKey(pHandle, PANEL_BTNGet); // nothing queued: cancelled
    EXPECT_EQ(Parameters(), before);
    EXPECT_EQ(Status(), "before");
    EXPECT_STREQ(file_name, "");
}

TEST_F(ParameterFile, LeadingSpacesAndEitherLineEndAreAccepted) {
    std::string text;
    for (int k = 0; k < 16; ++k) {
        text += "   " + std::to_string(100 + k) + (k % 2 ? "\r\n" : "\n");
    }
    const fs::path file = dir_ / "crlf.dat";
    WriteText(file, text);
    Load(file);
    EXPECT_EQ(power, 100);
    EXPECT_EQ(deltaTol, 115);
}

TEST_F(ParameterFile, ValuesAboveSixteenBitsAreTakenModulo65536) {
    std::string text = "65543\n";
    for (int k = 1; k < 16; ++k) {
        text += "    1\n";
    }
    const fs::path file = dir_ / "big.dat";
    WriteText(file, text);
    Load(file);
    EXPECT_EQ(power, 7);
}

TEST_F(ParameterFile, BrokenFilesChangeNothingAndSayWhy) {
    std::string fifteen;
    for (int k = 0; k < 15; ++k) {
        fifteen += "   42\n";
    }
    ExpectRefused(fifteen, "Parameter file unreadable: fewer than 16 values!");
    ExpectRefused("", "Parameter file unreadable: fewer than 16 values!");
    ExpectRefused(fifteen + "   42\n   42\n", "Parameter file unreadable: more than 16 values!");
    ExpectRefused(fifteen + "  4x2\n", "Parameter file unreadable: not an unsigned number!");
    ExpectRefused("   -1\n" + fifteen, "Parameter file unreadable: not an unsigned number!");
    ExpectRefused("hello\n" + fifteen, "Parameter file unreadable: not an unsigned number!");

    const auto before = Parameters();
    Load(dir_ / "missing.dat");
    EXPECT_EQ(Parameters(), before);
    EXPECT_EQ(Status(), "Parameter file cannot be opened!");

    // A good file after a broken one does not keep the error text.
    WriteText(dir_ / "good.dat", fifteen + "   42\n");
    Load(dir_ / "good.dat");
    EXPECT_EQ(power, 42);
    EXPECT_EQ(Status(), "Parameter file loaded!");
}

TEST_F(ParameterFile, FailedSaveIsReportedAndLeavesTheOldFile) {
    Save(dir_ / "no-such-directory" / "KRVNpara.dat");
    EXPECT_EQ(Status(), "Error writing parameter file!");
    EXPECT_FALSE(fs::exists(dir_ / "no-such-directory"));
}

} // namespace
} // namespace korven
