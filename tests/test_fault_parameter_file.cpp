// Parameter files as operators and other tools make them: blank lines,
// byte-order marks, tabs, CRLF, stray text, signs, numbers far too large,
// binary junk; and saves that cannot be done. A file is taken whole or not
// at all, and a failed save leaves both the parameters and what stood at
// the path untouched.
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

namespace korven {
namespace {

namespace fs = std::filesystem;
using rt::FileDialogResult;
using rt::Value;
using test::Bed;

std::array<u16, PNUM> Parameters() {
    CopyVarsToPP();
    std::array<u16, PNUM> words{};
    std::copy(std::begin(pp), std::end(pp), words.begin());
    return words;
}

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

// Sixteen values 101..116, each followed by `separator`.
std::string Sixteen(const std::string& separator, const std::string& before = "") {
    std::string text;
    for (int k = 0; k < PNUM; ++k) {
        text += before + std::to_string(101 + k) + separator;
    }
    return text;
}

class FaultyParameterFile : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        ccdsubpixel = 1024;
        dir_ = fs::temp_directory_path() / ("korven_fault_para_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        bed().operate(pHandle, PANEL_RBTFile, Value::ofInt(1));
        ASSERT_EQ(target, DATFILE);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        Bed::TearDown();
    }
    void Load(const std::string& text) {
        const fs::path file = dir_ / "KRVNpara.dat";
        WriteText(file, text);
        bed().queueFileDialog(FileDialogResult{VAL_EXISTING_FILE_SELECTED, file.string()});
        EXPECT_TRUE(bed().pressKey(pHandle, PANEL_BTNGet));
    }
    bool Save(const fs::path& path) {
        bed().queueFileDialog(FileDialogResult{VAL_NEW_FILE_SELECTED, path.string()});
        return bed().click(pHandle, PANEL_BTNSend);
    }
    fs::path dir_;
};

TEST_F(FaultyParameterFile, HarmlessLayoutsAreReadAsSixteenValues) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string layouts[] = {
        Sixteen("\n\n"),                   // blank lines between the values
        "\n\n" + Sixteen("\n") + "\n\n\n", // blank lines before and after
        bom + Sixteen("\n", "  "),         // byte-order mark
        bom + Sixteen("\r\n", "   "),      // byte-order mark and CRLF
        Sixteen("\t"),                     // tabs on one line
        Sixteen(" \t \r\n"),               // trailing white space
        Sixteen("\n").substr(0, 63),       // no line end after the last value
        Sixteen("\n", "0000"),             // leading zeros
    };
    for (const std::string& text : layouts) {
        power = 1;
        deltaTol = 1;
        Load(text);
        EXPECT_EQ(power, 101) << '[' << text << ']';
        EXPECT_EQ(eBeg, 107) << '[' << text << ']';
        EXPECT_EQ(deltaTol, 116) << '[' << text << ']';
    }
}

TEST_F(FaultyParameterFile, BrokenFilesChangeNothingAndSayWhy) {
    const std::string fifteen = Sixteen("\n").substr(0, Sixteen("\n").rfind("116"));
    struct Case {
        std::string text;
        const char* status;
    };
    const Case cases[] = {
        {"\n\n\n", "Parameter file unreadable: fewer than 16 values!"},
        {fifteen + "\n\n\n", "Parameter file unreadable: fewer than 16 values!"},
        {Sixteen("\n") + "117\n", "Parameter file unreadable: more than 16 values!"},
        {fifteen + "99999999999\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "4294967296\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "+116\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "-0\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "1e2\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "0x74\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + "11.6\n", "Parameter file unreadable: not an unsigned number!"},
        {fifteen + std::string("11\0"
                               "6\n",
                               4),
         "Parameter file unreadable: not an unsigned number!"},
        {"\xFF\xFE" + Sixteen("\n"), "Parameter file unreadable: not an unsigned number!"},
        {"power = 500\n" + fifteen, "Parameter file unreadable: not an unsigned number!"},
    };
    for (const Case& c : cases) {
        const auto before = Parameters();
        const auto shown = bed().intValue(pHandle, PANEL_NUMPower);
        Load(c.text);
        EXPECT_EQ(Parameters(), before) << '[' << c.text << ']';
        EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), shown) << '[' << c.text << ']';
        EXPECT_EQ(Status(), c.status) << '[' << c.text << ']';
    }
    // After all that, a good file is read again.
    Load(Sixteen("\n"));
    EXPECT_EQ(power, 101);
}

TEST_F(FaultyParameterFile, LargestThirtyTwoBitValueWrapsAndIsThenRepaired) {
    // 4294967295 is 65535 in the packet's 16 bits: an erased slope, which
    // the panel exchange turns back into 1.0.
    std::string text;
    for (int k = 0; k < PNUM; ++k) {
        text += (k == 12 ? std::string("4294967295") : std::to_string(101 + k)) + "\n";
    }
    Load(text);
    EXPECT_EQ(slope, SLOPEMULTI);
    EXPECT_DOUBLE_EQ(bed().doubleValue(pPopup, POPUP_NUMSlope), 1.0);
}

TEST_F(FaultyParameterFile, SaveThatCannotBeDoneKeepsTheParametersAndWhatStoodThere) {
    const auto before = Parameters();

    // The directory of the chosen path is a plain file.
    const fs::path notADirectory = dir_ / "folder";
    WriteText(notADirectory, "an old file\n");
    EXPECT_TRUE(Save(notADirectory / "KRVNpara.dat"));
    EXPECT_EQ(Status(), "Error writing parameter file!");
    EXPECT_EQ(ReadText(notADirectory), "an old file\n");

    // The chosen path is a directory with a file in it.
    const fs::path directory = dir_ / "KRVNpara.dat";
    fs::create_directories(directory);
    WriteText(directory / "keep.dat", "   42\n");
    SetStatusText("");
    EXPECT_TRUE(Save(directory));
    EXPECT_EQ(Status(), "Error writing parameter file!");
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_EQ(ReadText(directory / "keep.dat"), "   42\n");

    EXPECT_EQ(Parameters(), before);
    // No half-written file is left behind anywhere.
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }

    // A good path still works afterwards and reads back the same set.
    const fs::path good = dir_ / "good.dat";
    EXPECT_TRUE(Save(good));
    power = 1;
    bed().queueFileDialog(FileDialogResult{VAL_EXISTING_FILE_SELECTED, good.string()});
    bed().pressKey(pHandle, PANEL_BTNGet);
    EXPECT_EQ(Parameters(), before);
}

} // namespace
} // namespace korven
