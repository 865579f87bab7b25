// The REPORT command and its pop-up.
#include "app/report_command.h"

#include "analysis/recording.h"
#include "app/KORVENDarir23.h"
#include "app/line_owner.h"
#include "display/gui.h"
#include "link/com232.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace korven {

namespace {

ReportPdfRenderer gRenderer = nullptr;
int gReportPanel = 0;

// The kind of file whose last folder the report goes to.
constexpr const char* kReportFolder = "report";
constexpr const char* kOperatorKey = "report/operator";
constexpr const char* kReferenceKey = "report/reference";

std::string Now() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return analysis::LocalTimeText(ms);
}

std::string Trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Text(int control) {
    char text[1024] = "";
    GetCtrlVal(gReportPanel, control, text);
    return text;
}

// The operator's name on one line.
std::string OperatorName() {
    std::string name = Trimmed(Text(REPORT_TEXTOperator));
    for (char& c : name) {
        if (c == '\n' || c == '\r' || c == '\t') {
            c = ' ';
        }
    }
    return name;
}

double Tolerance() {
    double tolerance = 0.0;
    GetCtrlVal(gReportPanel, REPORT_NUMTolerance, &tolerance);
    return tolerance;
}

std::string Fixed(double v, int decimals) {
    if (!std::isfinite(v)) {
        return "-";
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void ShowSummary() {
    if (gReportPanel > 0) {
        SetCtrlVal(
            gReportPanel, REPORT_TEXTBOXSummary,
            CalibrationSummary(record::CurrentSetupRecord().calibration, Tolerance()).c_str());
    }
}

void TakeObject(int index) {
    const std::string object = "object " + std::to_string(index + 1);
    if (!record::CurrentSetupRecord().calibration.made) {
        ShowStatusLine("Report: no calibration since the program started, nothing to read again");
        return;
    }
    if (!record::TakeObjectReading(index)) {
        ShowStatusLine("Report: no run answer with an edge since the calibration; RUN with " +
                       object + " in place first");
        return;
    }
    const record::ObjectReading& r = record::CurrentSetupRecord().calibration.after[index];
    ShowStatusLine("Report: " + object + " read again: " + Fixed(r.um, 0) + " µm (raw " +
                   Fixed(r.raw, 0) + ")");
    ShowSummary();
}

// The PDF and JSON paths of a chosen path: its ".pdf" (in any case) gives
// way to ".json".
std::pair<std::string, std::string> ReportPaths(const std::string& chosen) {
    std::string base = chosen;
    if (base.size() > 4) {
        std::string ext = base.substr(base.size() - 4);
        for (char& c : ext) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        if (ext == ".pdf") {
            base.resize(base.size() - 4);
        }
    }
    return {base + ".pdf", base + ".json"};
}

// The sensor's sets for the record: EEPROM the first time, then RAM, so
// that the set left is the one the sensor holds now. A sensor that does
// not answer leaves the record as it was.
void ReadSensorSets() {
    if (!record::CurrentSetupRecord().identity.known) {
        return;
    }
    analysis::ParameterWords words{};
    if (!record::EepromFound() && ReadParameterSet(CMD_READ_EEPROM, words)) {
        record::NoteParameterSet(record::Memory::Eeprom, words.data(), "read");
    }
    if (ReadParameterSet(CMD_READ_RAM, words)) {
        record::NoteParameterSet(record::Memory::Ram, words.data(), "read");
    }
}

// Where the report goes: chosen in the save dialog, or, while a loop runs
// (a dialog would hold it up past its time-out), under the proposed name in
// the folder of the last report. "" when there is none or the operator
// cancelled.
std::string ChooseReportPath(const std::string& created) {
    const std::string name = DefaultReportName(created);
    if (stop_flag == 0) {
        const std::string folder = FileFolder(kReportFolder);
        if (folder.empty()) {
            ShowStatusLine(
                "Report not written: no folder for it; stop the loop and write it again");
            return {};
        }
        return folder + "/" + name;
    }
    std::string chosen;
    if (FileSelectPopup(FileFolder(kReportFolder).c_str(), name.c_str(), "*.pdf",
                        "KORVEN-Darir Report", VAL_SAVE_BUTTON, 0, 0, 1, 1, chosen) <= 0) {
        return {};
    }
    return chosen;
}

void WriteReport() {
    const std::string operatorName = OperatorName();
    if (operatorName.empty()) {
        ShowStatusLine("Report not written: enter the operator's name");
        return;
    }
    if (gRenderer == nullptr) {
        ShowStatusLine("Report not written: this program cannot draw PDF files");
        return;
    }
    const std::string reference = Trimmed(Text(REPORT_TEXTReference));
    SetSetting(kOperatorKey, operatorName.c_str());
    SetSetting(kReferenceKey, reference.c_str());
    {
        const LineCommand onLine;
        ReadSensorSets();
    }

    record::ReportHeader header;
    header.created = Now();
    header.program = std::string(szSoftName) + " " + szSoftVersion;
    header.operatorName = operatorName;
    header.reference = reference;
    header.toleranceUm = Tolerance();
    const std::string chosen = ChooseReportPath(header.created);
    if (chosen.empty()) {
        return;
    }
    NoteFileFolder(kReportFolder, chosen.c_str());
    const auto [pdfPath, jsonPath] = ReportPaths(chosen);

    const record::SetupRecord r = record::CurrentSetupRecord();
    header.number = record::ReportNumber(header.created, record::ReportJson(r, header));
    std::string error;
    const std::string pdf = gRenderer(r, header, &error);
    if (pdf.empty()) {
        ShowStatusLine("Report not written: cannot draw the PDF" +
                       (error.empty() ? std::string() : ": " + error));
        return;
    }
    // Both files or neither: what this report wrote in part is taken away
    // again, a file that was there before and could not be opened is not.
    const bool pdfExisted = analysis::FileExists(pdfPath);
    const bool jsonExisted = analysis::FileExists(jsonPath);
    std::string failed;
    if (analysis::WriteText(pdfPath, pdf, false) != 0) {
        failed = pdfPath;
        if (!pdfExisted) {
            analysis::RemoveFile(pdfPath);
        }
    } else if (analysis::WriteText(jsonPath, record::ReportJson(r, header), false) != 0) {
        failed = jsonPath;
        if (!jsonExisted) {
            analysis::RemoveFile(jsonPath);
        }
        analysis::RemoveFile(pdfPath);
    }
    if (!failed.empty()) {
        const std::string reason = analysis::LastWriteError();
        ShowStatusLine("Report not written: cannot write " + failed +
                       (reason.empty() ? std::string() : ": " + reason));
        return;
    }
    ShowStatusLine("Report " + header.number + " written: " + pdfPath + " and " + jsonPath);
    ShowSummary();
}

} // namespace

void InstallReportPdfRenderer(ReportPdfRenderer renderer) {
    gRenderer = renderer;
}

std::string DefaultReportName(const std::string& created) {
    std::string digits;
    for (char c : created.substr(0, 19)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    if (digits.size() != 14) {
        return "KRVN-report.pdf";
    }
    return "KRVN-report-" + digits.substr(0, 8) + "-" + digits.substr(8) + ".pdf";
}

std::string CalibrationSummary(const record::Calibration& c, double toleranceUm) {
    if (!c.made) {
        return "No calibration since the program started.";
    }
    const record::Verdict v = record::Judge(c, toleranceUm);
    std::string out = "Calibration " + c.time + ": slope " + Fixed(c.fitSlope, 6) +
                      " µm/raw, offset " + Fixed(c.fitOffset, 2) + " µm";
    for (int i = 0; i < 2; ++i) {
        const record::ObjectReading& r = c.after[i];
        out += "\nObject " + std::to_string(i + 1) + ": " + Fixed(c.points[i].referenceUm, 0) +
               " µm, reads " + Fixed(r.um, 0) + " µm (" +
               (r.measured ? "measured " + r.time : std::string("computed, not measured")) +
               "), deviation " + Fixed(v.deviation[i], 0) + " µm";
    }
    out += "\nVerdict at " + Fixed(toleranceUm, 1) +
           " µm: " + (v.judged ? (v.pass ? "PASS" : "FAIL") : "-");
    return out;
}

void ResetReportCommand() {
    gReportPanel = 0;
}

int CC_BTNReport(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                 int /*eventData1*/, int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    const int loaded = LoadPopupOnce(gReportPanel, REPORT, "report");
    if (loaded < 0) {
        return 0;
    }
    if (loaded > 0) {
        // Asked once: the name and the objects of the last report.
        SetCtrlVal(gReportPanel, REPORT_TEXTOperator, Setting(kOperatorKey).c_str());
        SetCtrlVal(gReportPanel, REPORT_TEXTReference, Setting(kReferenceKey).c_str());
    }
    ShowSummary();
    DisplayPanel(gReportPanel);
    return 0;
}

int CC_REPORT(int panel, int event, void* /*callbackData*/, int /*eventData1*/,
              int /*eventData2*/) {
    if (event == EVENT_CLOSE) {
        HidePanel(panel);
    }
    return 0;
}

int CC_NUMTolerance(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                    int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED || event == EVENT_COMMIT) {
        ShowSummary();
    }
    return 0;
}

int CC_BTNTakeObject1(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                      int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        TakeObject(0);
    }
    return 0;
}

int CC_BTNTakeObject2(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                      int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        TakeObject(1);
    }
    return 0;
}

int CC_BTNWriteReport(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2) {
    // The sensor's sets are read for the report: held while the line is in
    // use, like every exchange.
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_BTNWriteReport, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    WriteReport();
    return 0;
}

} // namespace korven
