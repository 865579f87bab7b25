// Saving the parameter set to a file and loading it back through SEND and
// GET with the file target: the 5-wide column format, replacement of an
// old file, cancelled dialogues; files as operators and other tools make
// them (blank lines, byte-order marks, tabs, CRLF, signs, numbers far too
// large, binary junk), which are taken whole or not at all; and saves that
// cannot be done, which leave both the parameters and what stood at the
// path untouched; paths longer than the old buffer and saves through a
// link.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
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
    fs::path dir_;
};

// The dialogue's settings: every field of the request.
auto Fields(const rt::FileDialogRequest& d) {
    return std::tie(d.title, d.defaultFileSpec, d.fileTypeList, d.defaultDirectory, d.buttonLabel,
                    d.restrictDirectory, d.restrictExtension, d.allowCancel, d.allowMakeDirectory);
}

TEST_F(ParameterFile, SaveWritesTheSetFromThePanelFiveWideAndLoadBringsItBack) {
    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 33);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 65);
    SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 65535);
    SetCtrlVal(pPopup, POPUP_NUMSlope, 2.5);
    SetCtrlVal(pPopup, POPUP_NUMOffset, -12.0);
    const fs::path file = dir_ / "KRVNpara.dat";
    WriteText(file, std::string(500, 'x') + "\n"); // replaced as a whole
    EXPECT_TRUE(Save(file));
    EXPECT_EQ(ReadText(file), "  777\n    0\n  512\n    0\n    1\n    1\n   33\n 1024\n  512\n   "
                              "65\n    0\n    1\n 2560\n29988\n    0\n65535\n");
    EXPECT_EQ(Status(), "Transmit...");
    EXPECT_EQ(std::string(file_name), file.string());
    GetPanelValues();
    const auto saved = Parameters();

    // Everything on the panel changes; loading brings the set back.
    SetCtrlVal(pHandle, PANEL_NUMPower, 100);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 200);
    GetPanelValues();
    Load(file);

    auto expected = saved;
    expected[15] = 1024; // the delta tolerance is held to the line on the way to the panel
    EXPECT_EQ(Parameters(), expected);
    EXPECT_EQ(Status(), "Parameter file loaded!");
    EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_NUMPower),
                         bed().intValue(pHandle, PANEL_NEDITEdgeLeft),
                         bed().doubleValue(pPopup, POPUP_NUMSlope), bed().openCount(1)),
              std::tuple(777L, 33L, 2.5, 0));

    ASSERT_EQ(bed().fileDialogs().size(), 2u);
    EXPECT_EQ(Fields(bed().fileDialogs()[0]),
              std::make_tuple("KORVEN-Series Parameter File", "KRVNpara.dat", "*.dat",
                              std::string(proj_dir), VAL_OK_BUTTON, false, true, true, true));
    EXPECT_EQ(Fields(bed().fileDialogs()[1]),
              std::make_tuple("KORVEN-Parameter-File", "KRVNpara.dat", "*.dat",
                              std::string(proj_dir), VAL_LOAD_BUTTON, false, true, true, true));
}

// With the file target neither SEND nor GET touches the port, also when
// the dialogue is cancelled or fails.
TEST_F(ParameterFile, CancelledDialoguesWriteAndChangeNothing) {
    test::LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    const fs::path file = dir_ / "KRVNpara.dat";
    for (const int result : {VAL_NO_FILE_SELECTED, -1}) { // -1: dialogue error
        Choose(file, result);
        bed().click(pHandle, PANEL_BTNSend);
        EXPECT_FALSE(fs::exists(file));
        EXPECT_EQ(Status(), "Transmit...");
    }

    SetStatusText("before");
    const auto before = Parameters();
    bed().pressKey(pHandle, PANEL_BTNGet); // nothing queued: cancelled
    bed().advance(0.1);
    EXPECT_EQ(Parameters(), before);
    EXPECT_EQ(Status(), "before");
    EXPECT_EQ(file_name, "");
    EXPECT_EQ(bed().fileDialogs().size(), 3u);
    EXPECT_TRUE(bed().writes(1).empty());
}

TEST_F(ParameterFile, ValuesAboveSixteenBitsWrapAndAreThenRepaired) {
    std::string text = "65543\n";
    for (int k = 1; k < PNUM; ++k) {
        // 4294967295 is 65535 in the packet's 16 bits: an erased slope,
        // which the panel exchange turns back into 1.0.
        text += (k == 12 ? std::string("4294967295") : std::to_string(101 + k)) + "\n";
    }
    WriteText(dir_ / "big.dat", text);
    Load(dir_ / "big.dat");
    EXPECT_EQ(std::tuple(power, slope, bed().doubleValue(pPopup, POPUP_NUMSlope)),
              std::tuple(u16{7}, u16{SLOPEMULTI}, 1.0));
}

// Files as operators and other tools make them are read whole; anything
// else changes nothing (neither the set nor the panel) and the status line
// says why. A good file after a broken one does not keep the error text.
TEST_F(ParameterFile, FilesAreTakenWholeOrNotAtAllAndTheStatusSaysWhy) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string fifteen = Sixteen("\n").substr(0, Sixteen("\n").rfind("116"));
    const char* const loaded = "Parameter file loaded!";
    const char* const fewer = "Parameter file unreadable: fewer than 16 values!";
    const char* const more = "Parameter file unreadable: more than 16 values!";
    const char* const notNumber = "Parameter file unreadable: not an unsigned number!";
    const std::pair<std::string, const char*> cases[] = {
        {"", fewer},
        {Sixteen("\n\n"), loaded}, // blank lines between the values
        {"\n\n\n", fewer},
        {"\n\n" + Sixteen("\n") + "\n\n\n", loaded}, // blank lines before and after
        {fifteen + "\n\n\n", fewer},
        {bom + Sixteen("\n", "  "), loaded}, // byte-order mark
        {Sixteen("\n") + "117\n", more},
        {bom + Sixteen("\r\n", "   "), loaded}, // byte-order mark and CRLF
        {fifteen + "99999999999\n", notNumber},
        {Sixteen("\t"), loaded}, // tabs on one line
        {fifteen + "4294967296\n", notNumber},
        {Sixteen(" \t \r\n"), loaded}, // trailing white space
        {fifteen + "1" + std::string(200, '0') + "\n", notNumber},
        {Sixteen("\n").substr(0, 63), loaded}, // no line end after the last value
        {fifteen + "-" + std::string(200, '0') + "1\n", notNumber},
        {Sixteen("\n", "0000"), loaded}, // leading zeros
        {fifteen + "+116\n", notNumber},
        {Sixteen("\n", std::string(200, '0')), loaded}, // more zeros than a number is long
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
    const fs::path file = dir_ / "KRVNpara.dat";
    for (const auto& [text, status] : cases) {
        SCOPED_TRACE('[' + text + ']');
        power = 1;
        deltaTol = 1;
        SetPanelValues();
        WriteText(file, text);
        const auto before = Parameters();
        Load(file);
        EXPECT_EQ(Status(), status);
        if (status == loaded) {
            EXPECT_EQ(std::tuple(power, eBeg, deltaTol), std::tuple(101, 107, 116));
        } else {
            EXPECT_EQ(Parameters(), before);
            EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 1);
        }
    }

    const auto before = Parameters();
    for (const fs::path& path : {dir_ / "missing.dat", dir_}) {
        Load(path);
        EXPECT_EQ(Parameters(), before) << path;
        EXPECT_EQ(Status(), "Parameter file cannot be opened!") << path;
    }
}

TEST_F(ParameterFile, SaveThatCannotBeDoneKeepsTheParametersAndWhatStoodThere) {
    const auto before = Parameters();

    // The chosen directory does not exist (it is not made); the directory
    // of the chosen path is a plain file; the chosen path is a directory
    // with a file in it.
    const fs::path notADirectory = dir_ / "folder", directory = dir_ / "KRVNpara.dat";
    WriteText(notADirectory, "an old file\n");
    fs::create_directories(directory);
    WriteText(directory / "keep.dat", "   42\n");
    for (const fs::path& path :
         {dir_ / "no-such-directory" / "KRVNpara.dat", notADirectory / "KRVNpara.dat", directory}) {
        SetStatusText("");
        EXPECT_TRUE(Save(path));
        EXPECT_EQ(Status(), "Error writing parameter file!") << path;
    }
    EXPECT_FALSE(fs::exists(dir_ / "no-such-directory"));
    EXPECT_EQ(ReadText(notADirectory), "an old file\n");
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
    EXPECT_EQ(ReadText(good).size(), 16u * 6u);
    power = 1;
    Load(good);
    EXPECT_EQ(Parameters(), before);
}

// The file calls serve the parameter file only: any other shape is refused
// before anything is written.
TEST_F(ParameterFile, OtherShapesThanTheParameterFileAreRefused) {
    unsigned w[4] = {};
    const std::string path = (dir_ / "x.dat").string();
    const char* const p = path.c_str();
    struct Shape {
        const char* file;
        const void* array;
        int type = VAL_UNSIGNED_INTEGER, count = 4, groups = 1, order = VAL_GROUPS_TOGETHER,
            layout = VAL_GROUPS_AS_COLUMNS, separation = VAL_CONST_WIDTH, width = 5,
            fileType = VAL_ASCII, action = VAL_TRUNCATE;
    };
    const Shape shapes[] = {
        {.file = nullptr, .array = w},
        {.file = p, .array = nullptr},
        {.file = p, .array = w, .type = VAL_INTEGER},
        {.file = p, .array = w, .type = VAL_DOUBLE},
        {.file = p, .array = w, .count = 0},
        {.file = p, .array = w, .groups = 2},
        {.file = p, .array = w, .order = VAL_DATA_MULTIPLEXED},
        {.file = p, .array = w, .layout = VAL_GROUPS_AS_ROWS},
        {.file = p, .array = w, .separation = VAL_SEP_BY_COMMA},
        {.file = p, .array = w, .width = 256},
        {.file = p, .array = w, .fileType = VAL_BINARY},
        {.file = p, .array = w, .action = VAL_APPEND},
    };
    for (const Shape& c : shapes) {
        const auto row = &c - shapes;
        EXPECT_EQ(ArrayToFile(c.file, c.array, c.type, c.count, c.groups, c.order, c.layout,
                              c.separation, c.width, c.fileType, c.action),
                  kFileBadArgument)
            << "row " << row;
        // Rows 0 to 7 are shapes the reader is given as well.
        if (row < 8) {
            EXPECT_EQ(FileToArray(c.file, c.array != nullptr ? w : nullptr, c.type, c.count,
                                  c.groups, c.order, c.layout, c.fileType),
                      kFileBadArgument)
                << "row " << row;
        }
    }
    EXPECT_FALSE(fs::exists(path));
}

// A save where the directory may not be written fails before it touches the
// old file, and leaves no temporary file.
TEST_F(ParameterFile, UnwritableDirectoryLeavesTheOldFileIntact) {
    const fs::path file = dir_ / "p.dat";
    WriteText(file, "old content\n");
    fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    // Root may write anywhere: the save runs in a child, as an ordinary user
    // when the test runs as root.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(100);
        }
        const unsigned words[PNUM] = {};
        ::_exit(-ArrayToFile(file.c_str(), words, VAL_UNSIGNED_INTEGER, PNUM, 1,
                             VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 5,
                             VAL_ASCII, VAL_TRUNCATE));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(-WEXITSTATUS(status), kFileOpenError) << "100: could not drop privileges";
    EXPECT_EQ(ReadText(file), "old content\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ParameterFile, PathLongerThanTheOldBufferIsUsedWhole) {
    fs::path deep = dir_;
    for (int i = 0; i < 4; ++i) {
        deep /= std::string(150, static_cast<char>('a' + i));
    }
    fs::create_directories(deep);
    const fs::path file = deep / "KRVNpara.dat";
    ASSERT_GT(file.string().size(), 2u * MAX_PATHNAME_LEN);

    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    Save(file);
    EXPECT_EQ(ReadText(file).substr(0, 6), "  777\n");
    EXPECT_EQ(file_name, file.string());

    SetCtrlVal(pHandle, PANEL_NUMPower, 100);
    Load(file);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 777);
}

TEST_F(ParameterFile, SavingThroughALinkReplacesTheLinkedFileAndKeepsItsMode) {
    const fs::path real = dir_ / "real" / "KRVNpara.dat";
    fs::create_directories(real.parent_path());
    WriteText(real, "old\n");
    ::chmod(real.c_str(), 0640);
    const fs::path link = dir_ / "link.dat";
    fs::create_symlink(fs::path("real") / "KRVNpara.dat", link);

    SetCtrlVal(pHandle, PANEL_NUMPower, 321);
    Save(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadText(real).substr(0, 6), "  321\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // Nothing but the file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), fs::directory_iterator()),
              1);
}

} // namespace
} // namespace korven
