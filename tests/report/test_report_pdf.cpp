// A report from a headless session with the virtual sensor: connected,
// calibrated with two objects, one read again, a video line read; the PDF
// read back with pdftotext field by field, the JSON checked against its
// schema.
#include "support/bed.h"
#include "support/sim_peer.h"

#include "app/KORVENDarir23.h"
#include "app/report_command.h"
#include "calibration/popup.h"
#include "report/report_pdf.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korven::test {
namespace {

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
            out.append(buf, n);
        }
        ::pclose(pipe);
    }
    return out;
}

// The JSON's schema: every field that must be there, with its type.
enum class T { Str, Num, Int, Bool, Arr, Obj };
const std::pair<const char*, T> kSchema[] = {
    {"schema", T::Str},
    {"report/number", T::Str},
    {"report/created", T::Str},
    {"report/program", T::Str},
    {"report/operator", T::Str},
    {"report/reference_objects", T::Str},
    {"sensor/port", T::Int},
    {"sensor/board", T::Int},
    {"sensor/type", T::Int},
    {"sensor/firmware", T::Str},
    {"sensor/description", T::Arr},
    {"parameters/word_names", T::Arr},
    {"parameters/ram_as_found/words", T::Arr},
    {"parameters/eeprom_as_found/words", T::Arr},
    {"parameters/as_left/memory", T::Str},
    {"parameters/as_left/words", T::Arr},
    {"parameters/as_left/changed", T::Arr},
    {"calibration/fit_slope_um_per_subpx", T::Num},
    {"calibration/fit_offset_um", T::Num},
    {"calibration/slope_word_sent", T::Int},
    {"calibration/intercept_word_sent", T::Int},
    {"calibration/objects", T::Arr},
    {"calibration/tolerance_um", T::Num},
    {"calibration/decision_rule", T::Str},
    {"calibration/verdict", T::Str},
    {"statistics/answers", T::Int},
    {"statistics/mean_subpx", T::Num},
    {"statistics/lines", T::Arr},
    {"strip_chart/traces", T::Arr},
    {"video_line/x_subpx", T::Arr},
    {"video_line/signal", T::Arr},
};

bool Is(const QJsonValue& v, T t) {
    switch (t) {
    case T::Str:
        return v.isString();
    case T::Num:
        return v.isDouble();
    case T::Int:
        return v.isDouble() && v.toDouble() == static_cast<double>(v.toInteger());
    case T::Bool:
        return v.isBool();
    case T::Arr:
        return v.isArray();
    case T::Obj:
        return v.isObject();
    }
    return false;
}

QJsonValue At(const QJsonObject& root, const char* path) {
    QJsonValue v = root;
    for (const QString& key : QString::fromLatin1(path).split(QLatin1Char('/'))) {
        v = v.toObject().value(key);
    }
    return v;
}

class ReportPdf : public PanelBed {
  protected:
    void SetUp() override {
        PanelBed::SetUp();
        InstallReportPdfRenderer(&report::RenderReportPdf);
        dir_ = std::filesystem::path(KORVEN_BINARY_DIR) / "report-pdf-test";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        InstallReportPdfRenderer(nullptr);
        PanelBed::TearDown();
    }
    void Press(int panel, int control) { bed().fire(panel, control, EVENT_COMMIT); }
    std::filesystem::path dir_;
};

TEST_F(ReportPdf, EveryFieldOfACalibratedSessionIsInThePdfAndTheJson) {
    sim::ModelOptions options = PresetOptions("type2-res350");
    options.scene.drift = 0.0;
    options.scene.noise = 0.0;
    SimPeer sensor(options);
    Connect(sensor);
    // A changed word on the way: the set left differs from the one found.
    Operate(PANEL_NUMPower, 640);
    ASSERT_TRUE(bed().click(pHandle, PANEL_BTNSend));
    ASSERT_EQ(Status(), "Line Ok!");

    // Activation starts the run sequence; the objects are accepted while it
    // runs: the first at the live raw value, the second 1000 sub-pixels on
    // (as if a second object lay there); then fit, send, and object 1 is
    // read again with the calibrated sensor.
    double raw1 = 0.0;
    const double t0 = bed().now();
    bed().at(t0 + 0.5, [&] {
        raw1 = Mvalue;
        bed().operate(pPopup, POPUP_CheckStep1, rt::Value::ofInt(1));
        SetCtrlVal(pPopup, POPUP_NEDITObject1, static_cast<int>(4 * raw1 + 2));
        Press(pPopup, POPUP_ButtonAcceptObject1);
        bed().operate(pPopup, POPUP_CheckStep2, rt::Value::ofInt(1));
        Mvalue = static_cast<u16>(raw1 + 1000);
        SetCtrlVal(pPopup, POPUP_NEDITObject2, static_cast<int>(4 * (raw1 + 1000) - 2));
        Press(pPopup, POPUP_ButtonAcceptObject2);
        Press(pPopup, POPUP_ButtonDoFit);
        Press(pPopup, POPUP_ButtonSaveCalValues);
    });
    bed().at(t0 + 1.5, [&] { bed().click(bed().panelHandle(REPORT), REPORT_BTNTakeObject1); });
    bed().at(t0 + 2.0, [&] { bed().click(pHandle, PANEL_BTNStop); });
    ASSERT_TRUE(bed().click(pHandle, PANEL_BTNReport));
    Press(pPopup, POPUP_ActivateCalibration);
    ASSERT_EQ(Status().find("Report: object 1 read again: "), 0u) << Status();
    const int reading1 = umValue;
    // A video line for the second picture.
    bed().at(bed().now() + 0.6, [&] { bed().click(pHandle, PANEL_BTNStop); });
    ASSERT_TRUE(bed().click(pHandle, PANEL_BTNVideo));

    const int panel = bed().panelHandle(REPORT);
    SetCtrlVal(panel, REPORT_TEXTOperator, "Dana Q. Inspector");
    SetCtrlVal(panel, REPORT_TEXTReference, "Gauge pins KV-7 and KV-9, certificate 2026-113");
    SetCtrlVal(panel, REPORT_NUMTolerance, 5.0);
    bed().queueFileDialog({VAL_NEW_FILE_SELECTED, (dir_ / "audit.pdf").string()});
    bed().click(panel, REPORT_BTNWriteReport);
    ASSERT_EQ(Status().substr(0, 7), "Report ") << Status();
    const std::string number = Status().substr(7, 27);

    // The JSON: its schema, then the values the PDF must show.
    std::ifstream in(dir_ / "audit.json");
    std::stringstream json;
    json << in.rdbuf();
    QJsonParseError parseError{};
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(json.str()), &parseError).object();
    ASSERT_EQ(parseError.error, QJsonParseError::NoError) << json.str();
    for (const auto& [path, type] : kSchema) {
        EXPECT_TRUE(Is(At(root, path), type)) << path;
    }
    EXPECT_EQ(At(root, "schema").toString(), "korven-darir-report/1");
    EXPECT_EQ(At(root, "report/number").toString().toStdString(), number);
    // The power word sent, the calibration's slope and intercept.
    EXPECT_EQ(At(root, "parameters/as_left/changed").toArray(), QJsonArray({0, 12, 13}));
    const QJsonArray objects = At(root, "calibration/objects").toArray();
    ASSERT_EQ(objects.size(), 2);
    EXPECT_EQ(objects[0]["reading_source"].toString(), "measured");
    EXPECT_EQ(objects[0]["reading_um"].toInt(), reading1);
    EXPECT_EQ(objects[1]["reading_source"].toString(), "computed");
    EXPECT_EQ(objects[0]["reference_um"].toInt(), static_cast<int>(4 * raw1 + 2));
    for (const QJsonValue& value : objects) {
        const QJsonObject o = value.toObject();
        EXPECT_EQ(o["deviation_um"].toDouble(),
                  o["reading_um"].toDouble() - o["reference_um"].toDouble());
        EXPECT_EQ(o["pass"].toBool(), std::abs(o["deviation_um"].toDouble()) <= 5.0);
    }
    EXPECT_EQ(At(root, "video_line/signal").toArray().size(), 256);

    // The PDF: every page carries the number and its place.
    const std::string pdf = (dir_ / "audit.pdf").string();
    const std::string info = Output("pdfinfo '" + pdf + "'");
    const auto pagesAt = info.find("Pages:");
    ASSERT_NE(pagesAt, std::string::npos) << info;
    const int pages = std::stoi(info.substr(pagesAt + 6));
    EXPECT_GE(pages, 2);
    std::string all;
    for (int page = 1; page <= pages; ++page) {
        const std::string text = Output("pdftotext -layout -f " + std::to_string(page) + " -l " +
                                        std::to_string(page) + " '" + pdf + "' -");
        EXPECT_NE(text.find("Report " + number), std::string::npos) << page;
        EXPECT_NE(text.find("Page " + std::to_string(page) + " of " + std::to_string(pages)),
                  std::string::npos)
            << text;
        all += text;
    }
    const QJsonObject cal = At(root, "calibration").toObject();
    const std::string fields[] = {
        "Operator: Dana Q. Inspector",
        "Reference objects: Gauge pins KV-7 and KV-9, certificate 2026-113",
        "Program: KORVEN-Darir Version 2.3",
        "Date and time: " + At(root, "report/created").toString().left(19).toStdString(),
        "Port: COM1",
        "Board: 100",
        "Firmware: " + sensor.model().preset().firmware,
        "Changed words (marked *, against RAM as found): 0 Power",
        "Words sent: slope " + std::to_string(cal["slope_word_sent"].toInt()),
        "intercept " + std::to_string(cal["intercept_word_sent"].toInt()),
        std::to_string(static_cast<int>(4 * raw1 + 2)),
        std::to_string(reading1),
        "Tolerance: 5.0 µm. Decision rule: pass when |reading - reference| <= tolerance",
        "Verdict: " + cal["verdict"].toString().toUpper().toStdString(),
        "Statistics of the last run",
        At(root, "statistics/lines").toArray()[0].toString().toStdString().substr(0, 20),
        "Strip chart",
        "Video line",
        "Signature",
        "Responsible for the setup and calibration: Dana Q. Inspector",
    };
    for (const std::string& field : fields) {
        EXPECT_NE(all.find(field), std::string::npos) << field << "\n" << all;
    }
    // The power word is marked changed in the table.
    EXPECT_NE(all.find("640*"), std::string::npos);
}

TEST_F(ReportPdf, WithoutASensorOrACalibrationTheReportSaysSo) {
    record::ReportHeader header;
    header.number = "KRVN-20261209-080000-000000";
    header.created = "2026-12-09 08:00:00.000";
    const std::string bytes = report::RenderReportPdf(record::SetupRecord{}, header, nullptr);
    ASSERT_EQ(bytes.substr(0, 5), "%PDF-");
    const std::string pdf = (dir_ / "empty.pdf").string();
    std::ofstream(pdf, std::ios::binary) << bytes;
    const std::string text = Output("pdftotext -layout '" + pdf + "' -");
    for (const char* missing :
         {"No sensor identified itself since the program started.", "RAM as found: not read",
          "EEPROM as found: not read", "No calibration was loaded into the sensor",
          "No run answers since the statistics started.",
          "No answers drawn since the program started.",
          "No video line read since the program started.", "Reference objects: not described",
          "Page 1 of 1"}) {
        EXPECT_NE(text.find(missing), std::string::npos) << missing << "\n" << text;
    }
}

} // namespace
} // namespace korven::test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
