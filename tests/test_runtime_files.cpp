// ArrayToFile / FileToArray: the parameter file format, atomic
// replacement, and every input the reader must refuse.
#include "runtime/engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("korven_files_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The parameter file calls: 16 unsigned 32-bit words, one column, width 5.
    int Save(const std::string& name, const unsigned* words) const {
        return ArrayToFile(Path(name).c_str(), words, VAL_UNSIGNED_INTEGER, 16, 1,
                           VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 5,
                           VAL_ASCII, VAL_TRUNCATE);
    }
    int Load(const std::string& name, unsigned* words) const {
        return FileToArray(Path(name).c_str(), words, VAL_UNSIGNED_INTEGER, 16, 1,
                           VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
    }
    static std::string Lines(int n, const std::string& each) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            s += each + "\n";
        }
        return s;
    }

    fs::path dir;
};

TEST_F(Files, ParameterSetRoundTripsInFiveWideColumns) {
    unsigned words[16] = {500, 1, 512, 0, 0, 1, 10, 1000, 500, 20, 0, 0, 1024, 30000, 4, 65535};
    ASSERT_EQ(Save("p.dat", words), 0);
    const std::string text = Read("p.dat");
    EXPECT_EQ(text.substr(0, 18), "  500\n    1\n  512\n");
    EXPECT_NE(text.find("\n30000\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 6), "65535\n") << "a full-width value fills the field";
    EXPECT_EQ(text.size(), 16u * 6u);

    unsigned back[16] = {};
    ASSERT_EQ(Load("p.dat", back), 0);
    for (int k = 0; k < 16; ++k) {
        EXPECT_EQ(back[k], words[k]) << k;
    }
}

TEST_F(Files, ReaderAcceptsAnySpacingLineEndsAndAByteOrderMark) {
    Write("crlf.dat", "\xEF\xBB\xBF" + Lines(8, "  7\r") + "\n\n\t 8 9 10 11 12 13 14 15\r\n");
    unsigned back[16] = {};
    ASSERT_EQ(Load("crlf.dat", back), 0);
    EXPECT_EQ(back[0], 7u);
    EXPECT_EQ(back[8], 8u);
    EXPECT_EQ(back[15], 15u);
    Write("big.dat", Lines(15, "0") + "4294967295");
    ASSERT_EQ(Load("big.dat", back), 0);
    EXPECT_EQ(back[15], 4294967295u);
    // Leading zeros, however many, do not make a number too long.
    Write("zeros.dat", Lines(15, "00") + std::string(200, '0') + "4294967295");
    ASSERT_EQ(Load("zeros.dat", back), 0);
    EXPECT_EQ(back[0], 0u);
    EXPECT_EQ(back[15], 4294967295u);
}

TEST_F(Files, ReaderRefusesBadInputAndLeavesTheArrayUntouched) {
    const struct {
        const char* name;
        std::string text;
        int code;
    } cases[] = {
        {"minus", Lines(15, "1") + "-1\n", kFileBadNumber},
        {"plus", Lines(15, "1") + "+1\n", kFileBadNumber},
        {"word", Lines(15, "1") + "abc\n", kFileBadNumber},
        {"suffix", "12abc\n" + Lines(15, "1"), kFileBadNumber},
        {"fraction", Lines(15, "1") + "1.5\n", kFileBadNumber},
        {"huge", Lines(15, "1") + "4294967296\n", kFileBadNumber},
        {"longer", Lines(15, "1") + "99999999999999999999999\n", kFileBadNumber},
        {"very long", Lines(15, "1") + "1" + std::string(200, '0') + "\n", kFileBadNumber},
        {"zeros after a sign", Lines(15, "1") + "-" + std::string(200, '0') + "1\n",
         kFileBadNumber},
        {"short", Lines(15, "1"), kFileTooShort},
        {"empty", "", kFileTooShort},
        {"extra", Lines(17, "1"), kFileExtraData},
    };
    for (const auto& c : cases) {
        Write(c.name, c.text);
        unsigned back[16];
        std::fill(std::begin(back), std::end(back), 4242u);
        EXPECT_EQ(Load(c.name, back), c.code) << c.name;
        for (unsigned v : back) {
            EXPECT_EQ(v, 4242u) << c.name;
        }
    }
    unsigned back[16] = {};
    EXPECT_EQ(Load("does-not-exist.dat", back), kFileOpenError);
    EXPECT_EQ(FileToArray(dir.string().c_str(), back, VAL_UNSIGNED_INTEGER, 16, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              kFileOpenError)
        << "a directory is not a file";
}

TEST_F(Files, ElementTypesKeepTheirOwnLimits) {
    Write("u16.dat", "65535 65536");
    unsigned short u16[2] = {};
    EXPECT_EQ(FileToArray(Path("u16.dat").c_str(), u16, VAL_UNSIGNED_SHORT_INTEGER, 2, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              kFileBadNumber);
    Write("int.dat", "-5 +7");
    int i[2] = {};
    ASSERT_EQ(FileToArray(Path("int.dat").c_str(), i, VAL_INTEGER, 2, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    EXPECT_EQ(i[0], -5);
    EXPECT_EQ(i[1], 7);
    const double d[3] = {1.5, -2.25, 1e-3};
    ASSERT_EQ(ArrayToFile(Path("d.dat").c_str(), d, VAL_DOUBLE, 3, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 12, VAL_ASCII, VAL_TRUNCATE),
              0);
    double back[3] = {};
    ASSERT_EQ(FileToArray(Path("d.dat").c_str(), back, VAL_DOUBLE, 3, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    EXPECT_EQ(back[1], -2.25);
    EXPECT_EQ(back[2], 1e-3);
    const unsigned short w[2] = {3, 40000};
    ASSERT_EQ(ArrayToFile(Path("w.dat").c_str(), w, VAL_UNSIGNED_SHORT_INTEGER, 2, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 5, VAL_ASCII,
                          VAL_TRUNCATE),
              0);
    EXPECT_EQ(Read("w.dat"), "    3\n40000\n");
}

TEST_F(Files, WritingReplacesTheWholeFile) {
    Write("p.dat", std::string(5000, 'x'));
    unsigned words[16] = {};
    ASSERT_EQ(Save("p.dat", words), 0);
    EXPECT_EQ(Read("p.dat"), Lines(16, "    0"));
    // No temporary files are left beside it.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(Files, UnwritableDirectoryLeavesTheOldFileIntact) {
    Write("p.dat", "old content\n");
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
    unsigned words[16] = {};
    int result = 0;
    if (::geteuid() != 0) {
        result = Save("p.dat", words);
    } else {
        // Root may write anywhere: save as an ordinary user in a child.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(100);
            }
            ::_exit(-Save("p.dat", words));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop privileges";
        result = -WEXITSTATUS(status);
    }
    EXPECT_EQ(result, kFileOpenError);
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(Read("p.dat"), "old content\n");
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(Files, FailedReplacementRemovesItsTemporaryFile) {
    // The target is a directory: the rename fails after the temporary file
    // was written; the directory and its content stay as they were.
    fs::create_directories(dir / "p.dat" / "inner");
    unsigned words[16] = {};
    EXPECT_EQ(Save("p.dat", words), kFileWriteError);
    EXPECT_TRUE(fs::is_directory(dir / "p.dat" / "inner"));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(Save("no-such-dir/p.dat", words), kFileOpenError);
}

TEST_F(Files, GroupsAsColumnsAndRows) {
    // Two groups of three, stored group after group.
    const int a[6] = {1, 2, 3, 10, 20, 30};
    ASSERT_EQ(ArrayToFile(Path("cols.dat").c_str(), a, VAL_INTEGER, 6, 2, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_SEP_BY_TAB, 0, VAL_ASCII, VAL_TRUNCATE),
              0);
    EXPECT_EQ(Read("cols.dat"), "1\t10\n2\t20\n3\t30\n");
    ASSERT_EQ(ArrayToFile(Path("rows.dat").c_str(), a, VAL_INTEGER, 6, 2, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_ROWS, VAL_SEP_BY_COMMA, 0, VAL_ASCII, VAL_TRUNCATE),
              0);
    EXPECT_EQ(Read("rows.dat"), "1,2,3\n10,20,30\n");
    int back[6] = {};
    ASSERT_EQ(FileToArray(Path("cols.dat").c_str(), back, VAL_INTEGER, 6, 2, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    EXPECT_EQ(back[4], 20);
    ASSERT_EQ(FileToArray(Path("rows.dat").c_str(), back, VAL_INTEGER, 6, 2, VAL_DATA_MULTIPLEXED,
                          VAL_GROUPS_AS_ROWS, VAL_ASCII),
              0);
    EXPECT_EQ(back[1], 10) << "multiplexed: element 0 of group 1";
    // Appending adds lines.
    ASSERT_EQ(ArrayToFile(Path("rows.dat").c_str(), a, VAL_INTEGER, 3, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_ROWS, VAL_SEP_BY_COMMA, 0, VAL_ASCII, VAL_APPEND),
              0);
    EXPECT_EQ(Read("rows.dat"), "1,2,3\n10,20,30\n1,2,3\n");
}

TEST_F(Files, UnsupportedArgumentsAreRefused) {
    unsigned w[4] = {};
    const std::string p = Path("x.dat");
    EXPECT_EQ(ArrayToFile(nullptr, w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, 0),
              kFileBadArgument);
    EXPECT_EQ(ArrayToFile(p.c_str(), nullptr, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_ASCII, 0),
              kFileBadArgument);
    EXPECT_EQ(ArrayToFile(p.c_str(), w, VAL_STRING, 4, 1, 0, 0, 0, 5, VAL_ASCII, 0),
              kFileBadArgument);
    EXPECT_EQ(ArrayToFile(p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 3, 0, 0, 0, 5, VAL_ASCII, 0),
              kFileBadArgument);
    EXPECT_EQ(ArrayToFile(p.c_str(), w, VAL_UNSIGNED_INTEGER, 4, 1, 0, 0, 0, 5, VAL_BINARY, 0),
              kFileBadArgument);
    EXPECT_EQ(FileToArray(p.c_str(), w, VAL_UNSIGNED_INTEGER, 0, 1, 0, 0, VAL_ASCII),
              kFileBadArgument);
    EXPECT_FALSE(fs::exists(p));
}

} // namespace
