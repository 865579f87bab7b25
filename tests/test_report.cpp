// The setup and calibration record and the REPORT command without a PDF
// library: what is kept, the changed words, the verdict at the tolerance
// boundary, missing sections, and the files with their failures.
#include "support/bed.h"

#include "analysis/recording.h"
#include "app/KORVENDarir23.h"
#include "app/report_command.h"
#include "app/setup_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

namespace korven::test {
namespace {

using record::Memory;

// The system's reason for opening a directory as a file.
#if defined(_WIN32)
constexpr const char* kIsADirectory = "Permission denied";
#else
constexpr const char* kIsADirectory = "Is a directory";
#endif

record::Calibration Made(double reading1, double reading2) {
    record::Calibration c;
    c.made = true;
    c.points[0] = {8000.0, 2000.0};
    c.points[1] = {24000.0, 6000.0};
    c.after[0].um = reading1;
    c.after[1].um = reading2;
    return c;
}

TEST(Verdict, EachObjectPassesUpToTheToleranceAndBothMustPass) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        double reading1, reading2, tolerance;
        bool judged, pass1, pass2;
    };
    const Row rows[] = {
        {8010, 24000, 10, true, true, true},    // at +tolerance
        {7990, 24000, 10, true, true, true},    // at -tolerance
        {8010.5, 24000, 10, true, false, true}, // just beyond, either side
        {7989.5, 24000, 10, true, false, true},
        {8000, 24011, 10, true, true, false}, // the second object alone fails
        {8000, 24000, 0, true, true, true},   // no tolerance: exact readings only
        {8001, 24000, 0, true, false, true},
        {8000, 24000, -1, false, false, false}, // no valid tolerance: not judged
        {8000, 24000, kNaN, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.reading1) + " " + std::to_string(r.reading2) + " at " +
                     std::to_string(r.tolerance));
        const record::Verdict v = record::Judge(Made(r.reading1, r.reading2), r.tolerance);
        EXPECT_EQ(std::tuple(v.judged, v.objectPass[0], v.objectPass[1], v.pass),
                  std::tuple(r.judged, r.pass1, r.pass2, r.judged && r.pass1 && r.pass2));
        if (r.judged) {
            EXPECT_EQ(std::pair(v.deviation[0], v.deviation[1]),
                      std::pair(r.reading1 - 8000, r.reading2 - 24000));
        }
    }
    EXPECT_FALSE(record::Judge(record::Calibration{}, 10).judged);
}

class Record : public PanelBed {
  protected:
    void SetUp() override {
        PanelBed::SetUp();
        pcbtype = 100;
        ccdtype = 2;
        softversion = 231;
        record::NoteSensorIdentified(1);
    }
    static analysis::ParameterWords Words(std::uint16_t first, int changeAt = -1,
                                          std::uint16_t to = 0) {
        analysis::ParameterWords w{};
        for (std::size_t k = 0; k < w.size(); ++k) {
            w[k] = static_cast<std::uint16_t>(first + k);
        }
        if (changeAt >= 0) {
            w[static_cast<std::size_t>(changeAt)] = to;
        }
        return w;
    }
    static void Note(Memory m, const analysis::ParameterWords& w, const char* how = "read") {
        record::NoteParameterSet(m, w.data(), how);
    }
    // A confirmed calibration through the pop-up's globals.
    static void Calibrate() {
        pixel[0] = 2000;
        pixel[1] = 6000;
        umeter[0] = 8000;
        umeter[1] = 24000;
        slope = 4096;
        intersect = 30000;
        record::NoteCalibrationLoaded(4096, 30000);
    }
};

TEST_F(Record, FirstReadsAreFoundTheLastSetIsLeftAndItsChangedWordsAreMarked) {
    struct Step {
        Memory memory;
        analysis::ParameterWords words;
        const char* how;
        std::vector<int> changed; // against the found set of the memory left
    };
    const Step steps[] = {
        {Memory::Ram, Words(100), "read", {}},
        {Memory::Ram, Words(100, 3, 7), "written and read back", {3}},
        {Memory::Ram, Words(100, 15, 1), "read", {15}},
        {Memory::Eeprom, Words(200), "read", {}}, // EEPROM found now, compared with itself
        {Memory::Eeprom,
         Words(100, 0, 9),
         "written and read back",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
    };
    for (const Step& s : steps) {
        Note(s.memory, s.words, s.how);
        const record::SetupRecord r = record::CurrentSetupRecord();
        EXPECT_EQ(r.asLeft.words, s.words);
        EXPECT_EQ(r.asLeft.how, s.how);
        EXPECT_EQ(record::ChangedWords(record::FoundFor(r, r.asLeft.memory), r.asLeft), s.changed)
            << s.how;
    }
    const record::SetupRecord r = record::CurrentSetupRecord();
    EXPECT_EQ(std::pair(r.ramFound.words, r.eepromFound.words), std::pair(Words(100), Words(200)));
    // A write is never a set as found; without one nothing counts as changed.
    record::ResetSetupRecord();
    Note(Memory::Eeprom, Words(5), "written, not read back");
    EXPECT_FALSE(record::CurrentSetupRecord().eepromFound.valid);
    EXPECT_TRUE(record::ChangedWords(record::CurrentSetupRecord().eepromFound,
                                     record::CurrentSetupRecord().asLeft)
                    .empty());
    EXPECT_NE(record::ReportJson(record::CurrentSetupRecord(), {})
                  .find("\"compared_with\": null,\n      \"changed\": null"),
              std::string::npos)
        << record::ReportJson(record::CurrentSetupRecord(), {});
}

TEST_F(Record, AnotherSensorStartsAfreshTheSameOneKeepsItsRecord) {
    Note(Memory::Ram, Words(1));
    Calibrate();
    for (const auto& [change, kept] :
         {std::pair(std::function<void()>([] {}), true),
          std::pair(std::function<void()>([] { pcbtype = 0; }), false),
          std::pair(std::function<void()>([] { ccdtype = 3; }), false),
          std::pair(std::function<void()>([] { ccdresolution = 250; }), false),
          std::pair(std::function<void()>([] { softversion = 220; }), false)}) {
        change();
        record::NoteSensorIdentified(2);
        const record::SetupRecord r = record::CurrentSetupRecord();
        EXPECT_EQ(std::tuple(r.ramFound.valid, r.calibration.made, r.identity.port),
                  std::tuple(kept, kept, 2));
        pcbtype = 100, ccdtype = 2, ccdresolution = 0, softversion = 231;
        record::NoteSensorIdentified(1);
        Note(Memory::Ram, Words(1));
        Calibrate();
    }
}

TEST_F(Record, ObjectsAreReadAgainOnlyFromAnAnswerWithAnEdgeAfterTheCalibration) {
    EXPECT_FALSE(record::TakeObjectReading(0)) << "no calibration";
    record::NoteRunAnswer(Timer(), 2001, 8004, true);
    Calibrate();
    // Without a reading taken, the sensor's own arithmetic on the raw values.
    record::Calibration c = record::CurrentSetupRecord().calibration;
    EXPECT_EQ(std::tuple(c.after[0].measured, c.after[0].um, c.after[1].um),
              std::tuple(false, 8000.0, 24000.0));
    EXPECT_FALSE(record::TakeObjectReading(0)) << "an answer from before the calibration";
    bed().advance(0.05);
    record::NoteRunAnswer(Timer(), 2002, 8008, false);
    EXPECT_FALSE(record::TakeObjectReading(0)) << "an answer without an edge";
    record::NoteRunAnswer(Timer(), 6003, 24012, true);
    EXPECT_FALSE(record::TakeObjectReading(2));
    ASSERT_TRUE(record::TakeObjectReading(1));
    c = record::CurrentSetupRecord().calibration;
    EXPECT_EQ(std::tuple(c.after[1].measured, c.after[1].raw, c.after[1].um, c.after[0].measured),
              std::tuple(true, 6003.0, 24012.0, false));
    EXPECT_NE(CalibrationSummary(c, 11.9).find("deviation 12 µm\nVerdict at 11.9 µm: FAIL"),
              std::string::npos);
    EXPECT_NE(CalibrationSummary(c, 12).find("Verdict at 12.0 µm: PASS"), std::string::npos);
    // A new calibration computes both readings afresh.
    Calibrate();
    EXPECT_FALSE(record::CurrentSetupRecord().calibration.after[1].measured);
    // Words that put a raw value below zero micrometres read 0, as the sensor's.
    intersect = 100;
    record::NoteCalibrationLoaded(4096, 100);
    EXPECT_EQ(record::CurrentSetupRecord().calibration.after[0].um, 0.0);
}

TEST_F(Record, WhatIsMissingIsNullNotZero) {
    record::ResetSetupRecord();
    const std::string json = record::ReportJson(record::CurrentSetupRecord(), {});
    for (const char* missing :
         {"\"sensor\": null", "\"ram_as_found\": null", "\"eeprom_as_found\": null",
          "\"as_left\": null", "\"calibration\": null", "\"statistics\": null",
          "\"strip_chart\": null", "\"video_line\": null"}) {
        EXPECT_NE(json.find(missing), std::string::npos) << missing;
    }
    EXPECT_EQ(CalibrationSummary({}, 10), "No calibration since the program started.");
    EXPECT_EQ(record::ReportNumber("2026-12-09 08:15:30.123", "a"),
              record::ReportNumber("2026-12-09 08:15:30.999", "a"));
    EXPECT_NE(record::ReportNumber("2026-12-09 08:15:30", "a"),
              record::ReportNumber("2026-12-09 08:15:30", "b"));
    EXPECT_EQ(record::ReportNumber("2026-12-09 08:15:30", "a").substr(0, 21),
              "KRVN-20261209-081530-");
}

// ---- The command, with a stand-in for the PDF --------------------------------

std::string gPdfError;
std::string FakePdf(const record::SetupRecord&, const record::ReportHeader& h, std::string* e) {
    *e = gPdfError;
    return gPdfError.empty() ? "%PDF " + h.number + " " + h.operatorName : "";
}
class ReportCommand : public PanelBed {
  protected:
    void SetUp() override {
        PanelBed::SetUp();
        // A folder of each test's own: ctest runs the tests side by side.
        dir_ = std::filesystem::path(KORVEN_BINARY_DIR) /
               (std::string("report-test-") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        gPdfError.clear();
        InstallReportPdfRenderer(&FakePdf);
        ASSERT_TRUE(bed().click(pHandle, PANEL_BTNReport));
        panel_ = bed().panelHandle(REPORT);
        ASSERT_TRUE(bed().panelVisible(panel_));
    }
    void TearDown() override {
        InstallReportPdfRenderer(nullptr);
        PanelBed::TearDown();
    }
    std::string Write(const std::string& name) {
        bed().queueFileDialog({VAL_NEW_FILE_SELECTED, (dir_ / name).string()});
        bed().click(panel_, REPORT_BTNWriteReport);
        return Status();
    }
    std::size_t Files() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                      std::filesystem::directory_iterator()));
    }
    std::filesystem::path dir_;
    int panel_ = 0;
};

TEST_F(ReportCommand, WritesBothFilesRemembersTheOperatorAndFailsWholeWithTheReason) {
    bed().click(panel_, REPORT_BTNWriteReport);
    EXPECT_EQ(Status(), "Report not written: enter the operator's name");
    SetCtrlVal(panel_, REPORT_TEXTOperator, "  A. Tester\n");
    SetCtrlVal(panel_, REPORT_TEXTReference, "Gauge blocks 8 mm / 24 mm, cert. 4711");
    const std::string ok = Write("audit.PDF");
    EXPECT_EQ(ok.substr(0, 12), "Report KRVN-");
    EXPECT_NE(ok.find(" written: " + (dir_ / "audit.pdf").string() + " and " +
                      (dir_ / "audit.json").string()),
              std::string::npos)
        << ok;
    std::ifstream pdf(dir_ / "audit.pdf");
    std::stringstream text;
    text << pdf.rdbuf();
    EXPECT_EQ(text.str(), "%PDF " + ok.substr(7, 27) + " A. Tester");
    EXPECT_EQ(std::tuple(bed().settings()["report/operator"], bed().settings()["report/reference"],
                         bed().settings()["folders/report"]),
              std::tuple("A. Tester", "Gauge blocks 8 mm / 24 mm, cert. 4711", dir_.string()));
    // The next report proposes the folder of this one.
    Write("b");
    EXPECT_EQ(bed().fileDialogs().back().defaultDirectory, dir_.string());
    EXPECT_TRUE(std::filesystem::exists(dir_ / "b.json"));
    EXPECT_EQ(Files(), 4u);

    // Either file failing leaves neither; the text names the file and the
    // system's reason.
    std::filesystem::create_directory(dir_ / "c.json");
    EXPECT_EQ(Write("c.pdf"), "Report not written: cannot write " + (dir_ / "c.json").string() +
                                  ": " + kIsADirectory);
    EXPECT_EQ(Write("gone/c.pdf"), "Report not written: cannot write " +
                                       (dir_ / "gone/c.pdf").string() +
                                       ": No such file or directory");
    EXPECT_EQ(Files(), 5u);
    std::filesystem::remove(dir_ / "c.json");
    gPdfError = "no fonts";
    EXPECT_EQ(Write("d.pdf"), "Report not written: cannot draw the PDF: no fonts");
    InstallReportPdfRenderer(nullptr);
    bed().click(panel_, REPORT_BTNWriteReport);
    EXPECT_EQ(Status(), "Report not written: this program cannot draw PDF files");
    EXPECT_EQ(Files(), 4u);
    // A cancelled dialog writes nothing and says nothing new.
    InstallReportPdfRenderer(&FakePdf);
    bed().queueFileDialog({VAL_NO_FILE_SELECTED, ""});
    bed().click(panel_, REPORT_BTNWriteReport);
    EXPECT_EQ(Files(), 4u);

    // Shown again in a new session, the pop-up offers the remembered texts.
    DiscardPanel(panel_);
    ResetReportCommand();
    bed().click(pHandle, PANEL_BTNReport);
    EXPECT_EQ(bed().text(bed().panelHandle(REPORT), REPORT_TEXTOperator), "A. Tester");
}

TEST_F(ReportCommand, TakingAnObjectWithoutACalibrationOrAnAnswerSaysWhy) {
    bed().click(panel_, REPORT_BTNTakeObject1);
    EXPECT_EQ(Status(), "Report: no calibration since the program started, nothing to read again");
    pixel[0] = 2000, pixel[1] = 6000, umeter[0] = 8000, umeter[1] = 24000;
    slope = 4096, intersect = 30000;
    record::NoteCalibrationLoaded(4096, 30000);
    bed().click(panel_, REPORT_BTNTakeObject2);
    EXPECT_EQ(Status(), "Report: no run answer with an edge since the calibration; RUN with "
                        "object 2 in place first");
    bed().advance(0.01);
    record::NoteRunAnswer(Timer(), 2001, 8004, true);
    bed().click(panel_, REPORT_BTNTakeObject1);
    EXPECT_EQ(Status(), "Report: object 1 read again: 8004 µm (raw 2001)");
    EXPECT_NE(bed().text(panel_, REPORT_TEXTBOXSummary).find("reads 8004 µm (measured"),
              std::string::npos);
}

} // namespace
} // namespace korven::test
