// Saving the parameter set to a file and loading it back through SEND and
// GET with the file target: the 5-wide column format, replacement of an
// old file, cancelled dialogues; files as operators and other tools make
// them (blank lines, byte-order marks, tabs, CRLF, signs, numbers far too
// large, binary junk), which are taken whole or not at all; and saves that
// cannot be done, which leave both the parameters and what stood at the
// path untouched.
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
#include <sys/wait.h>
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

// Sixteen values 101..116, each followed by `separator`.
std::string Sixteen(const std::string& separator, const std::string& before = "") {
    std::string text;
    for (int k = 0; k < PNUM; ++k) {
        text += before + std::to_string(101 + k) + separator;
    }
    return text;
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
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
        Bed::TearDown();
    }
    void Choose(const fs::path& path, int status = VAL_EXISTING_FILE_SELECTED) {
        bed().queueFileDialog(FileDialogResult{status, path.string()});
    }
    bool Save(const fs::path& path) {
        Choose(path, VAL_NEW_FILE_SELECTED);
        return bed().click(pHandle, PANEL_BTNSend);
    }
    void Load(const fs::path& path) {
        Choose(path);
        EXPECT_TRUE(bed().pressKey(pHandle, PANEL_BTNGet));
    }
    void LoadText(const std::string& text) {
        const fs::path file = dir_ / "KRVNpara.dat";
        WriteText(file, text);
        Load(file);
    }
    // Loads a file holding `text`; nothing may change, and the status line
    // must say why.
    void ExpectRefused(const std::string& text, const std::string& status) {
        const fs::path file = dir_ / "broken.dat";
        WriteText(file, text);
        const auto before = Parameters();
        const int powerShown = static_cast<int>(bed().intValue(pHandle, PANEL_NUMPower));
        Load(file);
        EXPECT_EQ(Parameters(), before) << '[' << text << ']';
        EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), powerShown) << '[' << text << ']';
        EXPECT_EQ(Status(), status) << '[' << text << ']';
    }
    fs::path dir_;
};

TEST_F(ParameterFile, SaveWritesSixteenFiveWideLinesFromThePanel) {
    SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 65535);
    const fs::path file = dir_ / "KRVNpara.dat";
    EXPECT_TRUE(Save(file));

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

TEST_F(ParameterFile, WrittenFileReadsBackEveryWord) {
    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 33);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 65);
    SetCtrlVal(pPopup, POPUP_NUMSlope, 2.5);
    SetCtrlVal(pPopup, POPUP_NUMOffset, -12.0);
    const fs::path file = dir_ / "set.dat";
    EXPECT_TRUE(Save(file));
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
    EXPECT_EQ(file_name, "");
}

TEST_F(ParameterFile, HarmlessLayoutsAreReadAsSixteenValues) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string layouts[] = {
        Sixteen("\n\n"),                      // blank lines between the values
        "\n\n" + Sixteen("\n") + "\n\n\n",    // blank lines before and after
        bom + Sixteen("\n", "  "),            // byte-order mark
        bom + Sixteen("\r\n", "   "),         // byte-order mark and CRLF
        Sixteen("\t"),                        // tabs on one line
        Sixteen(" \t \r\n"),                  // trailing white space
        Sixteen("\n").substr(0, 63),          // no line end after the last value
        Sixteen("\n", "0000"),                // leading zeros
        Sixteen("\n", std::string(200, '0')), // more leading zeros than a number is long
    };
    for (const std::string& text : layouts) {
        power = 1;
        deltaTol = 1;
        LoadText(text);
        EXPECT_EQ(power, 101) << '[' << text << ']';
        EXPECT_EQ(eBeg, 107) << '[' << text << ']';
        EXPECT_EQ(deltaTol, 116) << '[' << text << ']';
    }
}

TEST_F(ParameterFile, ValuesAboveSixteenBitsWrapAndAreThenRepaired) {
    std::string text = "65543\n";
    for (int k = 1; k < PNUM; ++k) {
        // 4294967295 is 65535 in the packet's 16 bits: an erased slope,
        // which the panel exchange turns back into 1.0.
        text += (k == 12 ? std::string("4294967295") : std::to_string(101 + k)) + "\n";
    }
    LoadText(text);
    EXPECT_EQ(power, 7);
    EXPECT_EQ(slope, SLOPEMULTI);
    EXPECT_DOUBLE_EQ(bed().doubleValue(pPopup, POPUP_NUMSlope), 1.0);
}

TEST_F(ParameterFile, BrokenFilesChangeNothingAndSayWhy) {
    const std::string fifteen = Sixteen("\n").substr(0, Sixteen("\n").rfind("116"));
    const char* const fewer = "Parameter file unreadable: fewer than 16 values!";
    const char* const more = "Parameter file unreadable: more than 16 values!";
    const char* const notNumber = "Parameter file unreadable: not an unsigned number!";
    const std::pair<std::string, const char*> cases[] = {
        {"", fewer},
        {"\n\n\n", fewer},
        {fifteen + "\n\n\n", fewer},
        {Sixteen("\n") + "117\n", more},
        {fifteen + "99999999999\n", notNumber},
        {fifteen + "4294967296\n", notNumber},
        {fifteen + "1" + std::string(200, '0') + "\n", notNumber},
        {fifteen + "-" + std::string(200, '0') + "1\n", notNumber},
        {fifteen + "+116\n", notNumber},
        {fifteen + "-0\n", notNumber},
        {"   -1\n" + fifteen, notNumber},
        {fifteen + "1e2\n", notNumber},
        {fifteen + "0x74\n", notNumber},
        {fifteen + "11.6\n", notNumber},
        {fifteen + "  4x2\n", notNumber},
        {fifteen + std::string("11\0"
                               "6\n",
                               4),
         notNumber},
        {"\xFF\xFE" + Sixteen("\n"), notNumber},
        {"power = 500\n" + fifteen, notNumber},
    };
    for (const auto& [text, status] : cases) {
        ExpectRefused(text, status);
    }

    const auto before = Parameters();
    for (const fs::path& path : {dir_ / "missing.dat", dir_}) {
        Load(path);
        EXPECT_EQ(Parameters(), before) << path;
        EXPECT_EQ(Status(), "Parameter file cannot be opened!") << path;
    }

    // A good file after a broken one is read, and does not keep the error text.
    LoadText(Sixteen("\n"));
    EXPECT_EQ(power, 101);
    EXPECT_EQ(Status(), "Parameter file loaded!");
}

TEST_F(ParameterFile, SaveThatCannotBeDoneKeepsTheParametersAndWhatStoodThere) {
    const auto before = Parameters();

    // The chosen directory does not exist: it is not made.
    EXPECT_TRUE(Save(dir_ / "no-such-directory" / "KRVNpara.dat"));
    EXPECT_EQ(Status(), "Error writing parameter file!");
    EXPECT_FALSE(fs::exists(dir_ / "no-such-directory"));

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

    // A good path still works afterwards, replaces the whole old file and
    // reads back the same set.
    const fs::path good = dir_ / "good.dat";
    WriteText(good, std::string(500, 'x') + "\n");
    EXPECT_TRUE(Save(good));
    EXPECT_EQ(ReadText(good).size(), 16u * 6u);
    power = 1;
    Load(good);
    EXPECT_EQ(Parameters(), before);
}

// The file calls serve the parameter file only: any other shape is refused
// before anything is written.
TEST_F(ParameterFile, OtherShapesThanTheParameterFileAreRefused) {
    unsigned w[4] = {};
    const std::string p = (dir_ / "x.dat").string();
    const struct {
        const char* file;
        const void* array;
        int type, count, groups, order, layout, separation, width, fileType, action;
    } writes[] = {
        {nullptr, w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), nullptr, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_DOUBLE, 4, 1, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 0, 1, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 2, 0, 0, 0, 5, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, VAL_DATA_MULTIPLEXED, 0, 0, 5, VAL_ASCII,
         VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, VAL_GROUPS_AS_ROWS, 0, 5, VAL_ASCII,
         VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, VAL_SEP_BY_COMMA, 5, VAL_ASCII,
         VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 256, VAL_ASCII, VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_BINARY, VAL_TRUNCATE},
        {p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, VAL_APPEND},
    };
    for (const auto& c : writes) {
        EXPECT_EQ(ArrayToFile(c.file, c.array, c.type, c.count, c.groups, c.order, c.layout,
                              c.separation, c.width, c.fileType, c.action),
                  kFileBadArgument);
        if (c.fileType == VAL_ASCII && c.separation == 0 && c.action == VAL_TRUNCATE &&
            c.width < 256) {
            EXPECT_EQ(FileToArray(c.file, c.array != nullptr ? w : nullptr, c.type, c.count,
                                  c.groups, c.order, c.layout, c.fileType),
                      kFileBadArgument);
        }
    }
    EXPECT_FALSE(fs::exists(p));
}

// A save where the directory may not be written fails before it touches the
// old file, and leaves no temporary file.
TEST_F(ParameterFile, UnwritableDirectoryLeavesTheOldFileIntact) {
    const fs::path file = dir_ / "p.dat";
    WriteText(file, "old content\n");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
    const unsigned words[PNUM] = {};
    const auto save = [&] {
        return ArrayToFile(file.c_str(), words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                           VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 5, VAL_ASCII, VAL_TRUNCATE);
    };
    int result = 0;
    if (::geteuid() != 0) {
        result = save();
    } else {
        // Root may write anywhere: save as an ordinary user in a child.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(100);
            }
            ::_exit(-save());
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop privileges";
        result = -WEXITSTATUS(status);
    }
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(result, kFileOpenError);
    EXPECT_EQ(ReadText(file), "old content\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

} // namespace
} // namespace korven
