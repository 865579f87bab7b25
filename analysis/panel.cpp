// The recording, statistics and parameter-compare controls.
#include "analysis/panel.h"

#include "app/line_owner.h"
#include "app/setup_record.h"
#include "display/gui.h"
#include "link/com232.h"
#include "link/line_guard.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace korven {

namespace {

// The statistics area is redrawn at most this often (seconds apart).
constexpr double kStatisticsPeriod = 0.2;

analysis::Recorder gRecorder;
analysis::Statistics gStatistics;

// Observers by handle, called in the order they were added. A copy is
// called, so that an observer may remove itself (or others) while it runs.
std::map<int, std::function<void(const analysis::Answer&)>> gAnswerObservers;
std::map<int, std::function<void(std::span<const u16>)>> gVideoObservers;
std::map<int, std::function<void(const ProgramEvent&)>> gEventObservers;
int gLastObserver = 0;

template <typename Observers, typename Arg>
void Notify(const Observers& observers, const Arg& arg) {
    if (observers.empty()) {
        return;
    }
    const Observers copy = observers;
    for (const auto& [handle, observer] : copy) {
        observer(arg);
    }
}
double gStatisticsShown = -1.0e9;
// Kinds of file whose last folder their dialogs start in.
constexpr const char* kRecordingFolder = "recording";
constexpr const char* kCompareFolder = "compare";
std::string gFirmware;
int gComparePanel = 0;
std::vector<analysis::ParameterColumn> gCompare = {
    {"PANEL", false, {}}, {"RAM", false, {}}, {"EEPROM", false, {}}, {"FILE", false, {}}};

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Where a path's folder ends: Windows takes either slash.
#if defined(_WIN32)
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Status(const std::string& text) {
    ShowStatusLine(text);
}

// ": <the system's reason>" of the last failed recording write, if known.
std::string WriteReason() {
    const std::string reason = analysis::LastWriteError();
    return reason.empty() ? reason : ": " + reason;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void ShowStatistics() {
    gStatisticsShown = Timer();
    std::string text = gStatistics.text();
    // Frames the program turned away, so that a disturbed line shows here
    // too and not only in the status line.
    if (const std::string line = DisturbanceStatisticsLine(); !line.empty()) {
        text += "\n" + line;
    }
    SetCtrlVal(pHandle, PANEL_TEXTBOXStatistics, text.c_str());
    std::string info;
    if (gRecorder.active()) {
        // Where the rows go stays in sight for as long as they do.
        char rows[32];
        std::snprintf(rows, sizeof rows, ": %zu rows",
                      gRecorder.rowsWritten() + gRecorder.rowsPending());
        info = BaseName(gRecorder.path()) + rows;
        if (const std::string folder = FolderOf(gRecorder.path()); !folder.empty()) {
            info += " in " + folder;
        }
    }
    SetCtrlVal(pHandle, PANEL_RecInfo, info.c_str());
}

// A write of the recording failed: it has ended; the operator is told, and
// nothing else changes.
void RecordingFailed() {
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Rec, 0);
    Status("Recording stopped: cannot write " + gRecorder.path() + WriteReason());
    ShowStatistics();
}

// Identity of the sensor and the parameter set the loops measure with.
std::string SidecarText(const std::string& csvName, std::int64_t wallMs) {
    char description[1024] = "";
    if (pPopup > 0) {
        GetCtrlVal(pPopup, POPUP_TEXTBOXSensor, description);
    }
    std::string out =
        "{\n  \"csv_file\": " + analysis::JsonText(csvName) +
        ",\n  \"started\": " + analysis::JsonText(analysis::LocalTimeText(wallMs)) +
        ",\n  \"program\": " + analysis::JsonText(std::string(szSoftName) + " " + szSoftVersion) +
        ",\n";
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "  \"sensor\": {\n    \"pcb_type\": %u,\n    \"ccd_type\": %u,\n"
                  "    \"pixels\": %u,\n    \"resolution\": %u,\n    \"subpixels\": %u,\n"
                  "    \"firmware_version\": %u,\n",
                  pcbtype, ccdtype, ccdmaxpixel, ccdresolution, ccdsubpixel, softversion);
    out += buf;
    out += "    \"firmware\": " + analysis::JsonText(gFirmware) +
           ",\n    \"description\": " + analysis::JsonText(description) +
           "\n  },\n  \"parameters\": {\n";
    CopyVarsToPP();
    for (int k = 0; k < PNUM; ++k) {
        std::snprintf(buf, sizeof buf, "    %s: %u%s\n",
                      analysis::JsonText(analysis::kParameterNames[k]).c_str(), pp[k],
                      k + 1 < PNUM ? "," : "");
        out += buf;
    }
    return out + "  }\n}\n";
}

std::string SidecarPath(const std::string& csvPath) {
    const auto dot = csvPath.find_last_of('.');
    const auto slash = csvPath.find_last_of(kSeparators);
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? csvPath.substr(0, dot) : csvPath) + ".json";
}

void StartRecording() {
    const std::int64_t wallMs = WallMs();
    const std::string name = DefaultRecordingName(wallMs);
    std::string path;
    if (stop_flag == 0) {
        // A dialog now would hold up the running loop past its time-out:
        // record under the proposed name in the folder of the last
        // recording, or in the documents folder.
        const std::string folder = FileFolder(kRecordingFolder);
        if (folder.empty()) {
            SetCtrlVal(pHandle, PANEL_TOGGBTN_Rec, 0);
            Status("Recording not started: no folder for it; stop the loop and press REC");
            return;
        }
        path = folder + "/" + name;
    } else {
        char chosen[MAX_PATHNAME_LEN] = "";
        if (FileSelectPopup(FileFolder(kRecordingFolder).c_str(), name.c_str(), "*.csv",
                            "KORVEN-Darir Recording", VAL_SAVE_BUTTON, 0, 0, 1, 1, chosen) <= 0) {
            SetCtrlVal(pHandle, PANEL_TOGGBTN_Rec, 0);
            return;
        }
        path = chosen;
    }
    NoteFileFolder(kRecordingFolder, path.c_str());
    if (!gRecorder.start(path, SidecarPath(path), SidecarText(BaseName(path), wallMs), Timer(),
                         wallMs)) {
        SetCtrlVal(pHandle, PANEL_TOGGBTN_Rec, 0);
        Status("Recording not started: cannot write " + path + WriteReason());
        return;
    }
    Status("Recording to " + path);
    ShowStatistics();
}

void StopRecording() {
    if (!gRecorder.active()) {
        return;
    }
    if (gRecorder.stop(Timer())) {
        Status("Recording saved: " + std::to_string(gRecorder.rowsWritten()) + " rows in " +
               gRecorder.path());
        ShowStatistics();
    } else {
        RecordingFailed();
    }
}

// The set the panel shows, as SEND would send it; the globals and pp stay
// as they are.
analysis::ParameterWords PanelSet() {
    const auto savedPacket = std::to_array(pp);
    CopyVarsToPP();
    const auto savedGlobals = std::to_array(pp);
    GetPanelValues();
    CopyVarsToPP();
    analysis::ParameterWords words{};
    std::copy(std::begin(pp), std::end(pp), words.begin());
    std::copy(savedGlobals.begin(), savedGlobals.end(), std::begin(pp));
    CopyPPtoVars();
    std::copy(savedPacket.begin(), savedPacket.end(), std::begin(pp));
    return words;
}

// The sensor's sets and a file are read only while no loop runs.
bool RefusedWhileALoopRuns() {
    if (stop_flag == 0) {
        Status("Compare: stop RUN or VIDEO first");
        return true;
    }
    return false;
}

void ShowCompare() {
    gCompare[0].words = PanelSet();
    gCompare[0].valid = true;
    if (gComparePanel > 0) {
        SetCtrlVal(gComparePanel, COMPARE_TEXTBOXTable, analysis::CompareTable(gCompare).c_str());
    }
}

} // namespace

std::string DefaultRecordingName(std::int64_t epochMs) {
    // "YYYY-MM-DD HH:MM:SS.mmm" -> "KRVN-rec-YYYYMMDD-HHMMSS.csv"
    const std::string t = analysis::LocalTimeText(epochMs);
    std::string digits;
    for (char c : t.substr(0, 19)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    if (digits.size() != 14) {
        return "KRVN-rec.csv";
    }
    return "KRVN-rec-" + digits.substr(0, 8) + "-" + digits.substr(8) + ".csv";
}

void RecordRunAnswer() {
    // An answer not aligned on its sync word (the tail of an earlier answer
    // in front of it) carries shifted words: it is shown, but neither
    // recorded nor counted.
    if (szReadBuf[0] != 0x00 || szReadBuf[1] != kAnswerSync) {
        return;
    }
    const analysis::Answer a{Timer(), Ledge, Redge,  Mvalue, umValue, tVal,
                             tTol,    edcnt, anaMax, anaMin, slope,   intersect};
    gStatistics.add(a);
    Notify(gAnswerObservers, a);
    record::NoteRunAnswer(a.time, Mvalue, umValue, edcnt != 0);
    if (gRecorder.active() && !gRecorder.add(a)) {
        RecordingFailed();
        return;
    }
    if (a.time - gStatisticsShown >= kStatisticsPeriod) {
        ShowStatistics();
    }
}

int AddAnswerObserver(std::function<void(const analysis::Answer&)> observer) {
    gAnswerObservers.emplace(++gLastObserver, std::move(observer));
    return gLastObserver;
}

int AddVideoObserver(std::function<void(std::span<const u16>)> observer) {
    gVideoObservers.emplace(++gLastObserver, std::move(observer));
    return gLastObserver;
}

int AddEventObserver(std::function<void(const ProgramEvent&)> observer) {
    gEventObservers.emplace(++gLastObserver, std::move(observer));
    return gLastObserver;
}

void NotifyProgramEvent(const ProgramEvent& event) {
    Notify(gEventObservers, event);
}

void RemoveObserver(int handle) {
    gAnswerObservers.erase(handle);
    gVideoObservers.erase(handle);
    gEventObservers.erase(handle);
}

void VideoLineTaken() {
    Notify(gVideoObservers, std::span<const u16>(adcbuf));
}

void AnalysisLoopEnded() {
    NotifyProgramEvent(ProgramEvent(ProgramEventKind::LoopEnded));
    if (gRecorder.active() && !gRecorder.flush(Timer())) {
        RecordingFailed();
        return;
    }
    ShowStatistics();
}

void AnalysisShutdown() {
    if (gRecorder.active() && !gRecorder.stop(Timer())) {
        RecordingFailed();
    }
}

void NoteFirmwareText(const char* text) {
    gFirmware = text != nullptr ? text : "";
}

const std::string& NotedFirmwareText() {
    return gFirmware;
}

void ResetAnalysis() {
    gFirmware.clear();
    gRecorder = {};
    gStatistics.reset();
    gStatisticsShown = -1.0e9;
    gComparePanel = 0;
    for (auto& c : gCompare) {
        c.valid = false;
    }
}

const analysis::Recorder& CurrentRecorder() {
    return gRecorder;
}
const analysis::Statistics& CurrentStatistics() {
    return gStatistics;
}
const std::vector<analysis::ParameterColumn>& CompareColumns() {
    return gCompare;
}

int CC_TOGGBTN_Rec(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                   int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    int on = 0;
    GetCtrlVal(panel, control, &on);
    if (on != 0 && !gRecorder.active()) {
        StartRecording();
    } else if (on == 0) {
        StopRecording();
    }
    return 0;
}

int CC_BTNStatReset(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                    int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        gStatistics.reset();
        ResetDisturbance();
        ShowStatistics();
    }
    return 0;
}

int CC_BTNCompare(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                  int /*eventData1*/, int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    if (LoadPopupOnce(gComparePanel, COMPARE, "compare") < 0) {
        return 0;
    }
    ShowCompare();
    DisplayPanel(gComparePanel);
    return 0;
}

int CC_COMPARE(int panel, int event, void* /*callbackData*/, int /*eventData1*/,
               int /*eventData2*/) {
    if (event == EVENT_CLOSE) {
        HidePanel(panel);
    }
    return 0;
}

int CC_BTNReadSensor(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2) {
    if (event != EVENT_COMMIT || RefusedWhileALoopRuns() ||
        HoldWhileLineInUse(CC_BTNReadSensor, panel, control, event, callbackData, eventData1,
                           eventData2)) {
        return 0;
    }
    // The two reads are one exchange on the line: nothing else runs between.
    const LineCommand onLine;
    gCompare[1].valid = ReadParameterSet(CMD_READ_RAM, gCompare[1].words);
    gCompare[2].valid = gCompare[1].valid && ReadParameterSet(CMD_READ_EEPROM, gCompare[2].words);
    for (const auto& [column, memory] :
         {std::pair(1, record::Memory::Ram), std::pair(2, record::Memory::Eeprom)}) {
        if (gCompare[static_cast<std::size_t>(column)].valid) {
            record::NoteParameterSet(
                memory, gCompare[static_cast<std::size_t>(column)].words.data(), "read");
        }
    }
    Status(gCompare[2].valid ? "Compare: RAM and EEPROM read"
                             : "Compare: Timeout-RS-232 while reading the sensor");
    ShowCompare();
    return 0;
}

int CC_BTNReadFile(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                   int /*eventData1*/, int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    // The file dialog would hold up the loop past its time-out.
    if (RefusedWhileALoopRuns()) {
        return 0;
    }
    char path[MAX_PATHNAME_LEN] = "";
    if (FileSelectPopup(FileFolder(kCompareFolder).c_str(), "KRVNpara.dat", "*.dat",
                        "KORVEN-Parameter-File", VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0) {
        return 0;
    }
    NoteFileFolder(kCompareFolder, path);
    std::uint32_t elements[PNUM] = {};
    const int result = FileToArray(path, elements, VAL_UNSIGNED_INTEGER, PNUM, 1,
                                   VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
    gCompare[3].valid = result >= 0;
    for (int k = 0; k < PNUM; ++k) {
        gCompare[3].words[static_cast<std::size_t>(k)] = static_cast<u16>(elements[k] & 0xFFFFu);
    }
    Status(result >= 0 ? "Compare: file " + BaseName(path) + " read"
                       : "Compare: cannot read " + BaseName(path));
    ShowCompare();
    return 0;
}

} // namespace korven
