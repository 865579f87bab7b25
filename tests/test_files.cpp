// Files the program writes and reads, with the panels that drive them.
//
// The parameter set saved to a file and loaded back through SEND and GET
// with the file target: the 5-wide column format, replacement of an old
// file, cancelled dialogues; files as operators and other tools make them
// (blank lines, byte-order marks, tabs, CRLF, signs, numbers far too large,
// binary junk), which are taken whole or not at all; saves that cannot be
// done, which leave both the parameters and what stood at the path
// untouched; paths longer than the old buffer and saves through a link.
//
// The analysis panel against the virtual sensor on the virtual clock:
// recording and statistics of run answers (one row per answer, flush
// timing, write failures, the statistics against a reference computation
// on the recorded rows), and the parameter compare (the panel's set beside
// RAM, EEPROM and a file, every differing word marked, the panel and
// globals untouched, no exchange while a loop runs, a silent sensor
// reported).
#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace korven {
namespace {

namespace fs = std::filesystem;
using rt::FileDialogResult;
using rt::Value;
using Cells = std::vector<std::string>;

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

// The data rows of a CSV file, split at commas; the header row is skipped.
std::vector<Cells> ReadCsv(const fs::path& path) {
    std::ifstream in(path);
    std::vector<Cells> rows;
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line)) {
        Cells cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, ',');) {
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

// The program's panels with their start-up values, and a fresh folder of
// this test's own (tests run in parallel processes).
class Folder : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-'); // parameterised tests
        dir_ = fs::temp_directory_path() / ("korven-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "Documents");
        bed().options().documentsDir = (dir_ / "Documents").string();
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir_);
        Bed::TearDown();
    }
    fs::path dir_;
};

// ---- Parameter files -------------------------------------------------------

class ParameterFile : public Folder {
  protected:
    void SetUp() override {
        Folder::SetUp();
        ccdsubpixel = 1024;
        bed().operate(pHandle, PANEL_RBTFile, Value::ofInt(1));
        ASSERT_EQ(target, DATFILE);
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
};

// The dialogue's settings: every field of the request.
auto Fields(const rt::FileDialogRequest& d) {
    return std::tie(d.title, d.defaultFileSpec, d.fileTypeList, d.defaultDirectory, d.buttonLabel,
                    d.restrictDirectory, d.restrictExtension, d.allowCancel, d.allowMakeDirectory);
}

// The set from the panel is saved five wide and loaded back, on a path
// longer than the old buffer, which is used whole. A save replaces the old
// file as a whole and keeps its mode; a save through a link replaces the
// linked file, leaving nothing else beside it.
TEST_F(ParameterFile, SaveWritesTheSetFiveWideAndLoadBringsItBackAlsoOnLongPathsAndLinks) {
    SetCtrlVal(pHandle, PANEL_NUMPower, 777);
    SetCtrlVal(pHandle, PANEL_NEDITEdgeLeft, 33);
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 65);
    SetCtrlVal(pHandle, PANEL_NUMDeltaTol, 65535);
    SetCtrlVal(pPopup, POPUP_NUMSlope, 2.5);
    SetCtrlVal(pPopup, POPUP_NUMOffset, -12.0);
    fs::path deep = dir_;
#if !defined(_WIN32) // Windows paths stop at 260 characters unless a program asks for more
    for (int i = 0; i < 4; ++i) {
        deep /= std::string(150, static_cast<char>('a' + i));
    }
#endif
    fs::create_directories(deep);
    const fs::path file = deep / "KRVNpara.dat";
#if !defined(_WIN32)
    ASSERT_GT(file.string().size(), 2u * MAX_PATHNAME_LEN);
#endif
    WriteText(file, std::string(500, 'x') + "\n");
#if !defined(_WIN32)
    ::chmod(file.c_str(), 0640);
#endif
    EXPECT_TRUE(Save(file));
    EXPECT_EQ(ReadText(file), "  777\n    0\n  512\n    0\n    1\n    1\n   33\n 1024\n  512\n   "
                              "65\n    0\n    1\n 2560\n29988\n    0\n65535\n");
    EXPECT_EQ(Status(), "Parameter file saved: " + file.string());
    EXPECT_EQ(fs::path(file_name), file);
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

    // The first dialogue starts in the documents folder, the next one where
    // the last parameter file was chosen.
    ASSERT_EQ(bed().fileDialogs().size(), 2u);
    EXPECT_EQ(Fields(bed().fileDialogs()[0]),
              std::make_tuple("KORVEN-Series Parameter File", "KRVNpara.dat", "*.dat",
                              (dir_ / "Documents").string(), VAL_OK_BUTTON, false, true, true,
                              true));
    EXPECT_EQ(Fields(bed().fileDialogs()[1]),
              std::make_tuple("KORVEN-Parameter-File", "KRVNpara.dat", "*.dat", deep.string(),
                              VAL_LOAD_BUTTON, false, true, true, true));

#if !defined(_WIN32) // links and permission bits are the POSIX file system's
    const fs::path link = dir_ / "link.dat";
    fs::create_symlink(fs::relative(file, dir_), link);
    SetCtrlVal(pHandle, PANEL_NUMPower, 321);
    Save(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadText(file).substr(0, 6), "  321\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
    // Nothing but the file is left beside it (no temporary file).
    EXPECT_EQ(std::count_if(fs::directory_iterator(deep), fs::directory_iterator(),
                            [](const fs::directory_entry& e) { return e.is_regular_file(); }),
              1);
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
        {fifteen + std::string("11\0006", 4), notNumber}, // a NUL byte inside the number
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

    // Values above 16 bits wrap: 65543 becomes 7, and 4294967295 65535 in the
    // slope word, an erased slope, which the panel exchange turns back into 1.0.
    std::string big = "65543\n" + Sixteen("\n").substr(4);
    big.replace(big.find("113"), 3, "4294967295");
    WriteText(file, big);
    Load(file);
    EXPECT_EQ(std::tuple(power, slope, bed().doubleValue(pPopup, POPUP_NUMSlope)),
              std::tuple(u16{7}, u16{SLOPEMULTI}, 1.0));

    const auto before = Parameters();
    for (const fs::path& path : {dir_ / "missing.dat", dir_}) {
        Load(path);
        EXPECT_EQ(Parameters(), before) << path;
        EXPECT_EQ(Status(), "Parameter file cannot be opened!") << path;
    }
}

// A save that is cancelled (or whose dialogue fails) or that cannot be done
// keeps the parameters and what stood at the path, and a cancelled load
// changes nothing; with the file target neither SEND nor GET touches the port.
TEST_F(ParameterFile, CancelledOrImpossibleSavesKeepTheParametersAndWhatStoodThere) {
    test::LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    const auto before = Parameters();
    for (const int result : {VAL_NO_FILE_SELECTED, -1}) { // -1: dialogue error
        Choose(dir_ / "cancelled.dat", result);
        bed().click(pHandle, PANEL_BTNSend);
        EXPECT_EQ(Status(), "Transmit...");
    }
    EXPECT_FALSE(fs::exists(dir_ / "cancelled.dat"));
    SetStatusText("before");
    bed().pressKey(pHandle, PANEL_BTNGet); // nothing queued: cancelled
    bed().advance(0.1);
    EXPECT_EQ(Parameters(), before);
    EXPECT_EQ(Status(), "before");
    EXPECT_EQ(file_name, "");
    EXPECT_EQ(bed().fileDialogs().size(), 3u);

    // The chosen directory does not exist (it is not made); the directory
    // of the chosen path is a plain file; the chosen path is a directory
    // with a file in it.
    const fs::path notADirectory = dir_ / "folder", directory = dir_ / "KRVNpara.dat";
    WriteText(notADirectory, "an old file\n");
    fs::create_directories(directory);
    WriteText(directory / "keep.dat", "   42\n");
    const std::pair<fs::path, const char*> failures[] = {
        {dir_ / "no-such-directory" / "KRVNpara.dat", "No such file or directory"},
#if defined(_WIN32) // Windows finds no such path below a plain file
        {notADirectory / "KRVNpara.dat", "No such file or directory"},
#else
        {notADirectory / "KRVNpara.dat", "Not a directory"},
#endif
        {directory, "Is a directory"}
    };
    for (const auto& [path, reason] : failures) {
        SetStatusText("");
        EXPECT_TRUE(Save(path));
        EXPECT_EQ(Status(), "Error writing parameter file! " + path.string() + ": " + reason);
    }
    EXPECT_FALSE(fs::exists(dir_ / "no-such-directory"));
    EXPECT_EQ(ReadText(notADirectory), "an old file\n");
    EXPECT_EQ(ReadText(directory / "keep.dat"), "   42\n"); // still in its directory

    EXPECT_EQ(Parameters(), before);
    // No half-written file is left behind anywhere.
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }

    // A good path still works afterwards (what it holds is checked where a
    // set is saved and loaded back).
    const fs::path good = dir_ / "good.dat";
    EXPECT_TRUE(Save(good));
    EXPECT_EQ(ReadText(good).size(), 16u * 6u);
    EXPECT_EQ(Status(), "Parameter file saved: " + good.string());
    EXPECT_TRUE(bed().writes(1).empty());
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
        SCOPED_TRACE(&c - shapes);
        EXPECT_EQ(ArrayToFile(c.file, c.array, c.type, c.count, c.groups, c.order, c.layout,
                              c.separation, c.width, c.fileType, c.action),
                  kFileBadArgument);
        // Rows 0 to 7 are shapes the reader is given as well.
        if (&c - shapes < 8) {
            EXPECT_EQ(FileToArray(c.file, c.array != nullptr ? w : nullptr, c.type, c.count,
                                  c.groups, c.order, c.layout, c.fileType),
                      kFileBadArgument);
        }
    }
    EXPECT_FALSE(fs::exists(path));
}

// A save where the directory may not be written fails before it touches the
// old file, and leaves no temporary file.
#if !defined(_WIN32) // directory permissions and users are POSIX
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
        const int rc =
            ArrayToFile(file.c_str(), words, VAL_UNSIGNED_INTEGER, PNUM, 1, VAL_GROUPS_TOGETHER,
                        VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 5, VAL_ASCII, VAL_TRUNCATE);
        // The system's reason comes with the failure.
        ::_exit(LastFileError() == "Permission denied" ? -rc : 99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(-WEXITSTATUS(status), kFileOpenError)
        << "100: could not drop privileges, 99: no reason given";
    EXPECT_EQ(ReadText(file), "old content\n");
    EXPECT_EQ(std::count_if(fs::directory_iterator(dir_), fs::directory_iterator(),
                            [](const fs::directory_entry& e) { return e.is_regular_file(); }),
              1);
}
#endif

// ---- Recording and analysis ------------------------------------------------

class Analysis : public Folder {
  protected:
    void SetUp() override {
        Folder::SetUp();
        bed().attachPeer(1, &sensor_);
        InitRS232(1);
    }
    void TearDown() override {
        analysis::SetWriteFunction(nullptr);
        Folder::TearDown();
    }
    // REC on, the save dialog answered with `path`.
    void RecOn(const std::string& path) {
        bed().queueFileDialog({VAL_NEW_FILE_SELECTED, path});
        bed().click(pHandle, PANEL_TOGGBTN_Rec);
    }
    // Runs a loop from now for `seconds`, then STOP.
    void RunLoop(int button, double seconds) {
        bed().at(bed().now() + seconds, [this] { bed().click(pHandle, PANEL_BTNStop); });
        bed().click(pHandle, button);
    }

    test::SimPeer sensor_;
};

struct LoopCase {
    const char* name;
    int button;
    double seconds;
    std::size_t minRows; // answers expected at least in that time
    double maxGap;       // seconds between two answers at most
};

class RecordingLoops : public Analysis, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(RecordingLoops, EveryAnswerIsOneRowOnDiskWithinASecondAndTheStatisticsMatch) {
    const LoopCase& c = GetParam();
    const fs::path csv = dir_ / "run.csv";
    RecOn(csv.string());
    ASSERT_EQ(Status(), "Recording to " + csv.string());

    // Watch the file while the loop runs: it grows at most once a second,
    // and never more than a second's answers wait in memory.
    const double start = bed().now();
    double lastGrowth = start;
    std::size_t onDisk = 0;
    for (double t = start + 0.05; t < start + c.seconds; t += 0.05) {
        bed().at(t, [&] {
            EXPECT_LT(bed().now() - CurrentRecorder().lastFlush(), 1.0 + c.maxGap);
            if (const std::size_t rows = ReadCsv(csv).size(); rows != onDisk) {
                EXPECT_GE(bed().now() - lastGrowth, 0.95) << "at " << bed().now();
                lastGrowth = bed().now();
                onDisk = rows;
            }
        });
    }
    RunLoop(c.button, c.seconds);
    EXPECT_GT(onDisk, 0u);

    // STOP wrote the rest: one row per answer, in order, without gaps.
    const auto rows = ReadCsv(csv);
    const auto& stats = CurrentStatistics();
    const std::string header = analysis::kCsvHeader;
    EXPECT_EQ(ReadText(csv).substr(0, header.size()), header);
    ASSERT_GE(rows.size(), c.minRows);
    EXPECT_EQ(rows.size(), stats.count());
    EXPECT_EQ(CurrentRecorder().rowsPending(), 0u);
    std::vector<double> values;
    std::size_t out = 0;
    double previous = -1.0;
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 12u);
        EXPECT_EQ(r[0].size(), 23u) << r[0]; // YYYY-MM-DD HH:MM:SS.mmm
        const double t = std::stod(r[1]);
        EXPECT_GT(t, previous);
        EXPECT_LT(t - std::max(previous, 0.0), c.maxGap);
        previous = t;
        const double v = std::stod(r[4]);
        const bool inside = std::fabs(v - std::stod(r[6])) <= std::stod(r[7]);
        EXPECT_EQ(r[11], inside ? "1" : "0");
        out += inside ? 0 : 1;
        values.push_back(v);
    }
    const Cells& last = rows.back();
    EXPECT_EQ(std::tuple(std::stoi(last[2]), std::stoi(last[3]), std::stoi(last[5])),
              std::tuple(Ledge, Redge, umValue));

    // The statistics took the recorded values (their figures are checked
    // against hand-computed ones in the Statistics test).
    const double mean =
        std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    EXPECT_NEAR(stats.measured().mean(), mean, 1e-9 * std::max(1.0, mean));
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    EXPECT_EQ(std::tuple(stats.measured().min(), stats.measured().max(), stats.outOfTolerance()),
              std::tuple(*low, *high, out));
    const std::string answers = "Answers      " + std::to_string(rows.size());
    EXPECT_EQ(bed().text(pHandle, PANEL_TEXTBOXStatistics).substr(0, answers.size()), answers);

    // The sidecar holds the identity and the set at the start.
    const std::string sidecar = ReadText(dir_ / "run.json");
    for (const std::string& entry : {"\"firmware\": \"" + sensor_.model().preset().firmware + "\"",
                                     "\"Teach value\": " + std::to_string(tVal)}) {
        EXPECT_NE(sidecar.find(entry), std::string::npos) << entry << " in " << sidecar;
    }

    // REC off ends the recording; RESET clears the statistics.
    bed().click(pHandle, PANEL_TOGGBTN_Rec);
    EXPECT_FALSE(CurrentRecorder().active());
    EXPECT_EQ(Status(),
              "Recording saved: " + std::to_string(rows.size()) + " rows in " + csv.string());
    bed().click(pHandle, PANEL_BTNStatReset);
    EXPECT_EQ(CurrentStatistics().count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Loops, RecordingLoops,
                         ::testing::Values(LoopCase{"Run", PANEL_BTNRun, 5.5, 120, 0.1},
                                           LoopCase{"Video", PANEL_BTNVideo, 4.2, 9, 0.5}),
                         [](const ::testing::TestParamInfo<LoopCase>& p) {
                             return std::string(p.param.name);
                         });

// ---- write failures -------------------------------------------------------

int gWritesLeft = 0;
int FailWhenCountedOut(const std::string& path, std::string_view data, bool append) {
    if (gWritesLeft-- <= 0) {
        return -1;
    }
    analysis::SetWriteFunction(nullptr);
    const int result = analysis::WriteText(path, data, append);
    analysis::SetWriteFunction(&FailWhenCountedOut);
    return result;
}

// A recording that cannot start (a missing folder, a full device) or that
// fails on the way (its folder removed, the disk full after a second) ends
// with a message; the loop runs on to its STOP.
TEST_F(Analysis, RecordingFailedWriteEndsTheRecordingWithAMessageAndTheLoopGoesOn) {
    enum class Fault { AtStart, DirectoryRemoved, DiskFullLater };
    const struct {
        Fault fault;
        std::string file;
        const char* status;
    } cases[] = {
        {Fault::AtStart, "gone/rec.csv", "Recording not started: cannot write % No such file"},
        {Fault::AtStart, "/dev/full", "Recording not started: cannot write % No space left"},
        {Fault::DirectoryRemoved, "rec.csv", "Recording stopped: cannot write % No such file"},
        {Fault::DiskFullLater, "rec.csv", "Recording stopped: cannot write %"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status + (" / " + c.file));
        const fs::path sub = dir_ / "stick";
        fs::create_directories(sub);
        const std::string path = c.file[0] == '/' ? c.file : (sub / c.file).string();
        gWritesLeft = 3; // header, sidecar and the first second's rows
        if (c.fault == Fault::DiskFullLater) {
            analysis::SetWriteFunction(&FailWhenCountedOut);
        }
        RecOn(path);
        const std::string afterRec = Status();
        const std::size_t framesBefore = sensor_.frames().size();
        if (c.fault == Fault::DirectoryRemoved) {
            bed().at(bed().now() + 1.5, [&] { fs::remove_all(sub); });
        }
        std::string seen;
        bed().at(bed().now() + 2.9, [&] { seen = Status(); });
        RunLoop(PANEL_BTNRun, 3.0);
        analysis::SetWriteFunction(nullptr);

        // The text names the file and the system's reason where it gave one.
        std::string expected = c.status;
        expected.replace(expected.find('%'), 1, path + (expected.back() == '%' ? "" : ":"));
        EXPECT_EQ((c.fault == Fault::AtStart ? afterRec : seen).substr(0, expected.size()),
                  expected);
        EXPECT_EQ(std::tuple(CurrentRecorder().active(), bed().intValue(pHandle, PANEL_TOGGBTN_Rec),
                             stop_flag),
                  std::tuple(false, 0L, 1));
        // The loop ran its full time and ended by STOP only.
        EXPECT_GE(sensor_.frames().size() - framesBefore, 70u);
        if (c.fault == Fault::DiskFullLater) {
            EXPECT_EQ(ReadCsv(path).size(), CurrentRecorder().rowsWritten());
            EXPECT_GT(CurrentRecorder().rowsWritten(), 20u);
            EXPECT_GT(CurrentRecorder().rowsLost(), 0u);
        }
        fs::remove_all(sub);
    }
}

// ---- statistics -------------------------------------------------------------

// Answers without an edge are counted apart and change no figure. Other
// limits or another calibration start the statistics afresh.
TEST(Statistics, FiguresAgainstHandComputedValuesAndAFreshStartOnNewLimitsOrCalibration) {
    constexpr int kNone = -1; // an answer without an edge, its value 0
    struct Case {
        std::vector<int> values;
        u16 setpoint, tolerance;
        double mean, sd, min, cp, cpk;
        std::size_t out;
        const char* outShown;
    };
    const double sd = std::sqrt(20.0 / 3.0), cp = 16.0 / (6 * sd), cpk = 1.0 / (3 * sd);
    const Case cases[] = {
        {{98, 100, 102}, 100, 6, 100.0, 2.0, 98.0, 1.0, 1.0, 0, "0 (0.0 %)"},
        {{104, kNone, 106, 108, kNone, 110}, 100, 8, 107.0, sd, 104.0, cp, cpk, 1, "1 (25.0 %)"},
        {{65535, 65535, kNone, 65535}, 65535, 1, 65535.0, 0.0, 65535.0, NAN, NAN, 0, "0 (0.0 %)"},
    };
    for (const Case& c : cases) {
        analysis::Statistics s;
        double t = 10.0;
        for (const int& v : c.values) {
            // A pause between two runs leaves the rate alone.
            t += &v == &c.values[1] ? 60.0 : 0.04;
            s.add({.time = t,
                   .measured = static_cast<u16>(v == kNone ? 0 : v),
                   .setpoint = c.setpoint,
                   .tolerance = c.tolerance,
                   .edges = static_cast<u16>(v == kNone ? 0 : 2)});
        }
        const auto noEdge =
            static_cast<std::size_t>(std::count(c.values.begin(), c.values.end(), kNone));
        EXPECT_EQ(std::tuple(s.count(), s.noEdge(), s.measured().count()),
                  std::tuple(c.values.size(), noEdge, c.values.size() - noEdge));
        EXPECT_DOUBLE_EQ(s.measured().mean(), c.mean);
        EXPECT_NEAR(s.measured().stddev(), c.sd, 1e-12);
        EXPECT_EQ(std::isnan(s.cp()), std::isnan(c.cp));
        if (!std::isnan(c.cp)) {
            EXPECT_NEAR(s.cp(), c.cp, 1e-12);
            EXPECT_NEAR(s.cpk(), c.cpk, 1e-12);
        }
        EXPECT_EQ(std::tuple(s.outOfTolerance(), s.measured().min()), std::tuple(c.out, c.min));
        EXPECT_NEAR(s.rate(), 25.0, 1e-9);
        const std::string text = s.text();
        for (const std::string& line : {"No edge      " + std::to_string(noEdge) + "\n",
                                        "Out of tol.  " + std::string(c.outShown)}) {
            EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
        }

        analysis::Answer next{.setpoint = c.setpoint, .tolerance = c.tolerance, .edges = 2};
        s.add(next);
        for (const auto word : {&analysis::Answer::setpoint, &analysis::Answer::tolerance,
                                &analysis::Answer::slope, &analysis::Answer::intersect}) {
            ++(next.*word);
            s.add(next);
            EXPECT_EQ(std::tuple(s.count(), s.setpoint(), s.tolerance()),
                      std::tuple(1u, next.setpoint, next.tolerance));
        }
    }
}

// REC during a loop takes no dialog: the recording goes into the documents
// folder at first, beside the last recording after one, and the status
// line, the recording's info and the history say where.
TEST_F(Analysis, RecordingDuringALoopTakesNoDialogAndRecordsBesideTheLastRecording) {
    const fs::path documents = dir_ / "Documents";
    for (const fs::path& folder : {documents, dir_}) {
        SCOPED_TRACE(folder);
        if (folder == dir_) {
            RecOn((dir_ / "first.csv").string());
            bed().click(pHandle, PANEL_TOGGBTN_Rec);
        }
        const std::size_t dialogs = bed().fileDialogs().size();
        std::string status, info;
        bed().at(bed().now() + 0.5, [&] {
            bed().click(pHandle, PANEL_TOGGBTN_Rec);
            status = Status();
        });
        bed().at(bed().now() + 1.9, [&] { info = bed().text(pHandle, PANEL_RecInfo); });
        RunLoop(PANEL_BTNRun, 2.0);
        EXPECT_EQ(bed().fileDialogs().size(), dialogs);
        const fs::path csv = CurrentRecorder().path();
        EXPECT_EQ(csv.parent_path(), folder);
        EXPECT_EQ(status, "Recording to " + csv.string());
        EXPECT_EQ(info.substr(0, csv.filename().string().size() + 2),
                  csv.filename().string() + ": ");
        EXPECT_EQ(info.substr(info.size() - folder.string().size() - 4), " in " + folder.string());
        EXPECT_NE(
            bed().text(pHandle, PANEL_TEXTBOXHistory).find("    Recording to " + csv.string()),
            std::string::npos);
        EXPECT_EQ(csv.filename().string().rfind("KRVN-rec-", 0), 0u);
        EXPECT_EQ(ReadCsv(csv).size(), CurrentRecorder().rowsWritten());
        EXPECT_GE(CurrentRecorder().rowsWritten(), 30u);
        bed().click(pHandle, PANEL_TOGGBTN_Rec);
    }
}

TEST_F(Analysis, AnswerShiftedOffItsSyncWordIsNotCountedAndANewCalibrationStartsAfresh) {
    test::LinePeer peer;
    test::OpenLine(bed(), &peer);
    test::Bytes shifted = test::Filled(4, 0);
    const test::Bytes frame = test::AnswerFrame(CMD_RUN, {300, 700, 300, 0, 0, 600, 50});
    shifted.insert(shifted.end(), frame.begin(), frame.end());
    peer.send(shifted).always(CMD_RUN, test::reply::Answer({300, 700, 650, 0, 0, 600, 50, 2}));
    // A new calibration: micrometres from then on are of another line.
    std::size_t countBefore = 0, requestsBefore = 0;
    bed().at(bed().now() + 1.0, [&] {
        countBefore = CurrentStatistics().count();
        requestsBefore = peer.frames().size();
        slope = 2048;
    });
    bed().at(bed().now() + 2.0, [] { stop_flag = 1; });
    PushRUN();
    EXPECT_GT(countBefore, 10u);
    EXPECT_NEAR(static_cast<double>(CurrentStatistics().count()),
                static_cast<double>(peer.frames().size() - requestsBefore), 1.0);
    EXPECT_EQ(CurrentStatistics().measured().min(), 650.0);
}

// ---- parameter compare ------------------------------------------------------

TEST_F(Analysis, CompareMarksEveryWordThatDiffersFromThePanelAndLeavesTheSetAlone) {
    int view = 0;
    // The table line of word k.
    const auto tableLine = [&](int k) {
        std::istringstream in(bed().text(view, COMPARE_TEXTBOXTable));
        std::string line;
        for (int i = 0; i <= k + 1 && std::getline(in, line); ++i) {
        }
        return line;
    };
    bed().operate(pHandle, PANEL_NUMPower, rt::Value::ofInt(700));
    sensor_.model().setRamWord(sim::kTTol, 123);
    const u16 powerBefore = power;
    ASSERT_TRUE(bed().click(pHandle, PANEL_BTNCompare));
    view = bed().panelHandle(COMPARE);
    ASSERT_GT(view, 0);
    EXPECT_TRUE(bed().panelVisible(view));

    ASSERT_TRUE(bed().click(view, COMPARE_BTNReadSensor));
    EXPECT_EQ(Status(), "Compare: RAM and EEPROM read");
    const auto& cols = CompareColumns();
    ASSERT_TRUE(cols[0].valid && cols[1].valid && cols[2].valid);
    const auto& model = sensor_.model();
    EXPECT_TRUE(std::equal(model.ram().begin(), model.ram().begin() + PNUM, cols[1].words.begin()));
    EXPECT_TRUE(
        std::equal(model.eeprom().begin(), model.eeprom().begin() + PNUM, cols[2].words.begin()));
    // The packet holds the last answer, as after any exchange.
    EXPECT_TRUE(std::equal(model.eeprom().begin(), model.eeprom().begin() + PNUM, pp));
    EXPECT_EQ(analysis::DifferingWords(cols[0].words, cols[1].words), (1u << 0) | (1u << 9));
    for (const auto& [k, text] : {std::pair(0, "700"), {0, "500*"}, {9, "123*"}}) {
        EXPECT_NE(tableLine(k).find(text), std::string::npos) << tableLine(k);
    }
    // The globals and the panel keep what they held.
    EXPECT_EQ(std::tuple(power, bed().intValue(pHandle, PANEL_NUMPower)),
              std::tuple(powerBefore, 700L));

    // A file with one changed word.
    const fs::path file = dir_ / "compare.dat";
    std::string text;
    for (int k = 0; k < PNUM; ++k) {
        text += std::to_string(cols[0].words[k] + (k == 14 ? 3 : 0)) + "\n";
    }
    WriteText(file, text);
    bed().queueFileDialog({VAL_EXISTING_FILE_SELECTED, file.string()});
    bed().click(view, COMPARE_BTNReadFile);
    ASSERT_TRUE(cols[3].valid);
    EXPECT_EQ(analysis::DifferingWords(cols[0].words, cols[3].words), 1u << 14);

    // No exchange while a loop runs; the view says why.
    std::string refused;
    std::size_t framesBefore = 0, framesAfter = 0;
    bed().at(bed().now() + 0.5, [&] {
        framesBefore = sensor_.frames().size();
        bed().click(view, COMPARE_BTNReadSensor);
        framesAfter = sensor_.frames().size();
        refused = Status();
        bed().click(view, COMPARE_BTNReadFile);
    });
    const std::size_t dialogs = bed().fileDialogs().size();
    RunLoop(PANEL_BTNRun, 1.0);
    EXPECT_EQ(refused, "Compare: stop RUN or VIDEO first");
    EXPECT_EQ(std::pair(framesAfter, bed().fileDialogs().size()), std::pair(framesBefore, dialogs));

    // A silent sensor: the columns read nothing.
    sensor_.faults().silent = true;
    bed().click(view, COMPARE_BTNReadSensor);
    EXPECT_EQ(Status(), "Compare: Timeout-RS-232 while reading the sensor");
    EXPECT_FALSE(cols[1].valid || cols[2].valid);
    EXPECT_NE(tableLine(0).find(" - "), std::string::npos) << tableLine(0);
}

} // namespace
} // namespace korven
