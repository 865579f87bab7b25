#include "cli/cli_commands.h"

#include "analysis/compare.h"
#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "app/report_command.h"
#include "display/gui.h"
#include "link/com232.h"
#include "link/line_guard.h"
#include "publish/mqtt_glue.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace korven::cli {

namespace {

std::atomic<bool> gStopAsked{false};

constexpr const char* kProgram = "korven-darir-cli";
constexpr const char* kParametersSchema = "korven-darir-parameters/1";
constexpr const char* kInfoSchema = "korven-darir-info/1";
constexpr const char* kScanSchema = "korven-darir-scan/1";
constexpr const char* kVideoSchema = "korven-darir-video/1";
// The text the read-back of a parameter set leaves when a frame came in.
constexpr const char* kParameterFrameReceived = "Parameter-frame received! - Line Ok!";

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The program's engine on the command line's back end for the life of a
// command; the port is closed and the back end removed at its end.
class Session {
  public:
    Session(CliBackend& backend, std::FILE* err) : b_(backend), err_(err) {
        rt::SetBackend(&b_);
        rt::SetLayoutRegistry(&KorvenLayoutRegistry());
    }
    ~Session() {
        if (com > 0) {
            CloseCom(com);
        }
        rt::SetBackend(nullptr);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CliBackend& backend() { return b_; }

    int fail(const std::string& text) const {
        std::fprintf(err_, "%s: %s\n", kProgram, text.c_str());
        return kExitSensor;
    }

    bool loadPanels() {
        if (LoadProgramPanels(nullptr) < 0) {
            fail("cannot read the layout file " + std::string(kLayoutFile) + " in " +
                 b_.projectDir());
            return false;
        }
        return true;
    }

    // The port number of --port: a number as the desktop program lists
    // the ports; a path or an address gets a number of its own.
    int portNumber(const std::string& port) {
        bool digits = !port.empty() && port.size() <= 3;
        for (const char c : port) {
            digits = digits && std::isdigit(static_cast<unsigned char>(c));
        }
        if (digits && std::stoi(port) >= 1) {
            return std::stoi(port);
        }
        const int number = static_cast<int>(b_.ports().ports().size()) + 1;
        b_.ports().mapPort(number, QString::fromLocal8Bit(port.c_str()), QString(), false);
        return number;
    }

    std::string portName(int number) {
        const QString device = b_.ports().deviceFor(number);
        return "COM" + std::to_string(number) +
               (device.isEmpty() ? std::string() : " (" + device.toStdString() + ")");
    }

    std::string status() { return b_.text(pHandle, PANEL_STATUS); }

    // The connection sequence of the program on `number`: the line check,
    // the identification, the RAM set and the firmware text. True when the
    // sensor identified itself.
    bool connect(int number) {
        InitVars();
        com = number;
        const std::size_t before = b_.answeredPorts().size();
        InitRS232(com);
        return b_.answeredPorts().size() > before;
    }

    // Panels loaded and the sensor on --port connected; the reason on the
    // error output otherwise.
    bool open(const std::string& port) {
        if (!loadPanels()) {
            return false;
        }
        const int number = portNumber(port);
        if (!connect(number)) {
            fail(portName(number) + ": " + status());
            return false;
        }
        return true;
    }

    // Reads the parameter set of `memory` into the globals and the panel,
    // as GET does.
    bool get(Memory memory) {
        PushGET(memory == Memory::Eeprom ? EEPROM : RAM);
        if (std::strcmp(szStatus, kParameterFrameReceived) != 0) {
            fail(std::string("GET ") + MemoryName(memory) + ": " + szStatus);
            return false;
        }
        return true;
    }

    static const char* MemoryName(Memory m) { return m == Memory::Eeprom ? "EEPROM" : "RAM"; }

  private:
    CliBackend& b_;
    std::FILE* err_;
};

std::string Description() {
    char text[1024] = "";
    if (pPopup > 0) {
        GetCtrlVal(pPopup, POPUP_TEXTBOXSensor, text);
    }
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

std::string Firmware() {
    return NotedFirmwareText();
}

// The identification fields, in the order the text form lists them.
struct Field {
    const char* key;
    std::string text;
    bool number;
};

std::vector<Field> Identity(Session& s, int number) {
    const QString device = s.backend().ports().deviceFor(number);
    return {{"port", "COM" + std::to_string(number), false},
            {"device", device.toStdString(), false},
            {"pcb_type", std::to_string(pcbtype), true},
            {"ccd_type", std::to_string(ccdtype), true},
            {"pixels", std::to_string(ccdmaxpixel), true},
            {"resolution", std::to_string(ccdresolution), true},
            {"subpixels", std::to_string(ccdsubpixel), true},
            {"firmware_version", std::to_string(softversion), true},
            {"firmware", Firmware(), false},
            {"description", Description(), false}};
}

std::string JsonObject(const char* schema, const std::vector<Field>& fields) {
    std::string out = "{\"schema\":" + analysis::JsonText(schema);
    for (const Field& f : fields) {
        out +=
            ",\"" + std::string(f.key) + "\":" + (f.number ? f.text : analysis::JsonText(f.text));
    }
    return out + "}";
}

int Scan(const Options& o, Session& s, std::FILE* out, std::FILE* err, bool progress) {
    if (!s.loadPanels()) {
        return kExitSensor;
    }
    for (const std::string& p : o.ports) {
        s.portNumber(p);
    }
    int found = 0;
    std::vector<std::string> json;
    for (const rt::qt::PortEntry& e : s.backend().ports().ports()) {
        if (e.device.isEmpty()) {
            continue;
        }
        std::string state, details;
        std::vector<Field> fields;
        if (!e.present) {
            state = "unplugged";
        } else if (!e.permitted) {
            state = "no access";
            details = s.backend().ports().permissionHint(e.number).toStdString();
        } else {
            if (progress) {
                std::fprintf(err, "scanning COM%d %s ...\n", e.number, qPrintable(e.device));
            }
            if (s.connect(e.number)) {
                ++found;
                state = "sensor";
                fields = Identity(s, e.number);
                details = "board " + std::to_string(pcbtype) + ", ccd type " +
                          std::to_string(ccdtype) + ", firmware \"" + Firmware() + "\"";
            } else {
                state = ret < 0 ? "cannot open" : "no answer";
                details = s.status();
            }
            CloseCom(e.number);
            com = 0;
        }
        if (fields.empty()) {
            fields = {{"port", "COM" + std::to_string(e.number), false},
                      {"device", e.device.toStdString(), false}};
        }
        fields.push_back({"state", state, false});
        if (state != "sensor") {
            fields.push_back({"reason", details, false});
        }
        if (o.format == Format::Json) {
            json.push_back(JsonObject(kScanSchema, fields));
        } else {
            std::fprintf(out, "COM%d\t%s\t%s\t%s\n", e.number, qPrintable(e.device), state.c_str(),
                         details.c_str());
        }
    }
    if (o.format == Format::Json) {
        std::fputs("[", out);
        for (std::size_t i = 0; i < json.size(); ++i) {
            std::fprintf(out, "%s\n%s", i ? "," : "", json[i].c_str());
        }
        std::fputs(json.empty() ? "]\n" : "\n]\n", out);
    }
    if (found == 0) {
        return s.fail("no sensor found");
    }
    return kExitDone;
}

int Info(const Options& o, Session& s, std::FILE* out) {
    if (!s.open(o.ports.front())) {
        return kExitSensor;
    }
    const std::vector<Field> fields = Identity(s, com);
    if (o.format == Format::Json) {
        std::fprintf(out, "%s\n", JsonObject(kInfoSchema, fields).c_str());
    } else {
        // One line per field; a text of several lines gives several.
        for (const Field& f : fields) {
            std::size_t from = 0;
            do {
                const std::size_t end = std::min(f.text.find('\n', from), f.text.size());
                std::fprintf(out, "%s: %s\n", f.key, f.text.substr(from, end - from).c_str());
                from = end + 1;
            } while (from < f.text.size());
        }
    }
    return kExitDone;
}

// The set as the program holds it after a GET: the panel's values with the
// program's range repairs, as SEND and the parameter file take them.
analysis::ParameterWords PanelSet() {
    GetPanelValues();
    CopyVarsToPP();
    analysis::ParameterWords w{};
    std::copy(std::begin(pp), std::end(pp), w.begin());
    return w;
}

// Writes the parameter file of the panel's set with the program's writer
// (through a temporary name, then read back); its outcome on the status line.
bool SaveParameterFile(Session& s, const std::string& path) {
    file_name = path;
    SendParaToFile();
    const std::string status = s.status();
    if (status.rfind("Parameter file saved: ", 0) != 0) {
        s.fail(status);
        return false;
    }
    return true;
}

int ParamsGet(const Options& o, Session& s, std::FILE* out) {
    if (!s.open(o.ports.front()) || !s.get(o.memory)) {
        return kExitSensor;
    }
    if (o.format == Format::Json) {
        const analysis::ParameterWords w = PanelSet();
        std::string text = "{\"schema\":" + analysis::JsonText(kParametersSchema) + ",\"memory\":" +
                           analysis::JsonText(o.memory == Memory::Eeprom ? "eeprom" : "ram") +
                           ",\"words\":{";
        for (int k = 0; k < PNUM; ++k) {
            text += (k ? ",\"" : "\"") + std::string(kParameterKeys[k]) +
                    "\":" + std::to_string(w[static_cast<std::size_t>(k)]);
        }
        text += "}}\n";
        std::fputs(text.c_str(), out);
        return kExitDone;
    }
    if (!o.output.empty()) {
        return SaveParameterFile(s, o.output) ? kExitDone : kExitSensor;
    }
    const QTemporaryDir dir;
    if (!dir.isValid()) {
        return s.fail("cannot make a temporary folder: " + dir.errorString().toStdString());
    }
    const QString path = dir.filePath(QStringLiteral("KRVNpara.dat"));
    if (!SaveParameterFile(s, QDir::toNativeSeparators(path).toStdString())) {
        return kExitSensor;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return s.fail("cannot read " + path.toStdString());
    }
    const QByteArray bytes = file.readAll();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
    return kExitDone;
}

int ParamsSet(const Options& o, Session& s, std::FILE* out) {
    if (!s.open(o.ports.front())) {
        return kExitSensor;
    }
    analysis::ParameterWords asked{};
    const std::string& first = o.settings.front();
    if (first.find('=') == std::string::npos) {
        // The parameter file, read by the program's reader as GET from a file.
        s.backend().queueFileDialog({VAL_EXISTING_FILE_SELECTED, first});
        if (ReadParaFromFile() != 1) {
            return s.fail(first + ": " + szStatus);
        }
        std::copy(std::begin(pp), std::end(pp), asked.begin());
        PushGET(DATFILE);
    } else {
        // The words named, on the set the memory holds now.
        if (!s.get(o.memory)) {
            return kExitSensor;
        }
        CopyVarsToPP();
        for (const std::string& setting : o.settings) {
            const auto eq = setting.find('=');
            unsigned value = 0;
            ParseWordValue(setting.substr(eq + 1), value);
            pp[ParameterWordIndex(setting.substr(0, eq))] = static_cast<u16>(value);
        }
        std::copy(std::begin(pp), std::end(pp), asked.begin());
        CopyPPtoVars();
        SetPanelValues();
    }

    // SEND to the memory chosen with the target buttons, as the operator
    // sends; it reads the set back and says whether it matches.
    CliBackend& b = s.backend();
    const int button = o.memory == Memory::Eeprom ? PANEL_RBTEeprom : PANEL_RBTRam;
    if (!b.operate(pHandle, button, rt::Value::ofInt(1)) || !b.click(pHandle, PANEL_BTNSend)) {
        return s.fail("SEND is not available now");
    }
    const std::string status = s.status();
    if (status != "Line Ok!") {
        return s.fail(status);
    }
    // The set read back (in pp) against the one asked for: the program's
    // range repairs may have changed a word before it was sent.
    analysis::ParameterWords read{};
    std::copy(std::begin(pp), std::end(pp), read.begin());
    std::string differences;
    for (int k = 0; k < PNUM; ++k) {
        const auto i = static_cast<std::size_t>(k);
        if (asked[i] != read[i]) {
            differences += (differences.empty() ? "" : ", ") + std::string(kParameterKeys[k]) +
                           " (given " + std::to_string(asked[i]) + ", holds " +
                           std::to_string(read[i]) + ")";
        }
    }
    if (!differences.empty()) {
        return s.fail(std::string(Session::MemoryName(o.memory)) +
                      " holds other values than given: " + differences);
    }
    std::fprintf(out, "%s: 16 words written and read back equal\n", Session::MemoryName(o.memory));
    return kExitDone;
}

// Where stream and video write their lines, flushed one by one.
class Lines {
  public:
    Lines(const Options& o, std::FILE* out) : out_(out) {
        if (!o.output.empty()) {
            file_ = std::fopen(o.output.c_str(), "wb");
            error_ = file_ ? std::string() : o.output + ": " + std::strerror(errno);
            out_ = file_;
        }
    }
    ~Lines() {
        if (file_) {
            std::fclose(file_);
        }
    }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;

    const std::string& error() const { return error_; }
    bool put(const std::string& line) {
        if (!out_ || !error_.empty()) {
            return false;
        }
        if (std::fputs(line.c_str(), out_) < 0 || std::fflush(out_) != 0) {
            error_ = std::string("cannot write the output: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

  private:
    std::FILE* out_;
    std::FILE* file_ = nullptr;
    std::string error_;
};

// Runs a loop through its button until it ends; `taken` counts the lines
// written. The loop ends when the count is reached, the time is up, an
// interrupt came or the output failed (stop_flag is set then), or by itself
// (a time-out, a lost port).
int RunLoop(const Options& o, Session& s, int button, Lines& lines, const long& taken,
            std::FILE* err, bool progress) {
    CliBackend& b = s.backend();
    const double start = Timer();
    bool ours = false;
    double shown = start;
    b.onEventPass([&] {
        if (stop_flag != 0) {
            return;
        }
        const bool timeUp = o.seconds > 0.0 && Timer() - start >= o.seconds;
        if (gStopAsked || timeUp || (o.count > 0 && taken >= o.count) || !lines.error().empty()) {
            stop_flag = 1;
            ours = true;
        }
        if (progress && Timer() - shown >= 0.25) {
            shown = Timer();
            std::fprintf(err, "\r%ld", taken);
        }
    });
    const bool pressed = b.click(pHandle, button);
    b.onEventPass({});
    if (ours) {
        // A stop between a request and its answer leaves the answer on its
        // way: it is let in and thrown away here, or a server in front of
        // the line (ser2net) would hand it to the next program connecting.
        WaitForQuietLine(kQuietTime, AnswerDue() + kQuietTime, false, false);
    }
    if (progress) {
        std::fprintf(err, "\r%ld\n", taken);
    }
    if (!lines.error().empty()) {
        return s.fail(lines.error());
    }
    if (!pressed) {
        return s.fail("the loop cannot start now");
    }
    if (!ours && !gStopAsked) {
        return s.fail(s.status());
    }
    return kExitDone;
}

// The first line of the password file, without its line end.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot read the password file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

// Publishing for --mqtt, from the identified sensor on; ends with the command.
class MqttSession {
  public:
    ~MqttSession() { StopPublishing(); }
    bool active() const { return active_; }

    // "" or why publishing cannot start.
    std::string start(const Options& o, std::FILE* err) {
        if (o.mqttUrl.empty()) {
            return {};
        }
        MqttOptions m;
        m.enabled = true;
        m.url = o.mqttUrl;
        m.user = o.mqttUser;
        m.station = o.mqttStation;
        if (!o.mqttPrefix.empty()) {
            m.prefix = o.mqttPrefix;
        }
        m.rate = o.mqttRate;
        m.portName = o.ports.front();
        m.ownAnswers = false;
        std::string why;
        if (!o.mqttPasswordFile.empty() && !ReadPasswordFile(o.mqttPasswordFile, m.password, why)) {
            return why;
        }
        // The publisher's texts (connected, lost, refused) go to the error
        // output as they come; the stream goes on whatever they say.
        why = StartPublishing(m, [err](const std::string& text) {
            std::fprintf(err, "%s: %s\n", kProgram, text.c_str());
            std::fflush(err);
        });
        active_ = why.empty();
        return why.empty() ? why : "MQTT: " + why;
    }

  private:
    bool active_ = false;
};

int Stream(const Options& o, Session& s, std::FILE* out, std::FILE* err, bool progress) {
    Lines lines(o, out);
    if (!lines.error().empty()) {
        return s.fail(lines.error());
    }
    if (!s.open(o.ports.front())) {
        return kExitSensor;
    }
    MqttSession mqtt;
    if (const std::string why = mqtt.start(o, err); !why.empty()) {
        return s.fail(why);
    }
    if (o.format == Format::Csv && !lines.put(analysis::kCsvHeader)) {
        return s.fail(lines.error());
    }
    long taken = 0;
    const double start = Timer();
    const std::int64_t wallStart = WallMs();
    const int handle = AddAnswerObserver([&](const analysis::Answer& a) {
        if (o.count > 0 && taken >= o.count) {
            return;
        }
        const double since = a.time - start;
        const std::int64_t wall = wallStart + static_cast<std::int64_t>(since * 1000.0 + 0.5);
        const std::string json = analysis::JsonRow(a, since, wall);
        if (lines.put(o.format == Format::Jsonl ? json : analysis::CsvRow(a, since, wall))) {
            ++taken;
            // The same object as the JSON line, without its line end.
            if (mqtt.active()) {
                PublishMeasurement(std::string_view(json).substr(0, json.size() - 1), a.time);
            }
        }
    });
    const int rc = RunLoop(o, s, PANEL_BTNRun, lines, taken, err, progress);
    RemoveObserver(handle);
    return rc;
}

int Video(const Options& o, Session& s, std::FILE* out, std::FILE* err, bool progress) {
    Lines lines(o, out);
    if (!lines.error().empty()) {
        return s.fail(lines.error());
    }
    if (!s.open(o.ports.front())) {
        return kExitSensor;
    }
    if (o.format == Format::Csv) {
        std::string header = "frame,elapsed_s,threshold";
        for (int i = 0; i < 256; ++i) {
            header += ",v" + std::to_string(i);
        }
        if (!lines.put(header + "\n")) {
            return s.fail(lines.error());
        }
    }
    long taken = 0;
    const double start = Timer();
    const int handle = AddVideoObserver([&](std::span<const u16> values) {
        if (taken >= o.count) {
            return;
        }
        char head[96];
        const bool json = o.format == Format::Jsonl;
        std::snprintf(head, sizeof head,
                      json ? "{\"schema\":\"%s\",\"frame\":%ld,\"elapsed_s\":%.3f,"
                             "\"threshold\":%u,\"values\":["
                           : "%s%ld,%.3f,%u",
                      json ? kVideoSchema : "", taken + 1, Timer() - start, vThd);
        std::string line = head;
        for (std::size_t i = 0; i < values.size(); ++i) {
            line += (i || !json ? "," : "") + std::to_string(values[i]);
        }
        line += json ? "]}\n" : "\n";
        if (lines.put(line)) {
            ++taken;
        }
    });
    const int rc = RunLoop(o, s, PANEL_BTNVideo, lines, taken, err, progress);
    RemoveObserver(handle);
    return rc;
}

int Report(const Options& o, Session& s, std::FILE* out, std::FILE* err, bool progress) {
    if (!s.open(o.ports.front())) {
        return kExitSensor;
    }
    CliBackend& b = s.backend();
    if (o.seconds > 0.0) {
        // A run for the report's statistics and strip chart.
        Lines none(Options{}, nullptr);
        const long taken = 0;
        if (const int rc = RunLoop(o, s, PANEL_BTNRun, none, taken, err, progress);
            rc != kExitDone) {
            return rc;
        }
    }
    // The REPORT pop-up filled in as an operator fills it in, and written
    // to the file given (or under its proposed name here).
    if (!b.click(pHandle, PANEL_BTNReport)) {
        return s.fail("REPORT is not available now");
    }
    const int panel = b.panelHandle(REPORT);
    if (panel <= 0) {
        return s.fail(s.status());
    }
    b.operate(panel, REPORT_TEXTOperator, rt::Value::ofText(o.operatorName));
    b.operate(panel, REPORT_TEXTReference, rt::Value::ofText(o.reference));
    if (o.toleranceUm > 0.0) {
        b.operate(panel, REPORT_NUMTolerance, rt::Value::ofDouble(o.toleranceUm));
    }
    std::string path = o.output;
    if (path.empty()) {
        const std::int64_t now = WallMs();
        path =
            QDir::current()
                .filePath(QString::fromStdString(DefaultReportName(analysis::LocalTimeText(now))))
                .toStdString();
    }
    b.queueFileDialog({VAL_NEW_FILE_SELECTED, path});
    if (!b.click(panel, REPORT_BTNWriteReport)) {
        return s.fail("WRITE REPORT is not available now");
    }
    const std::string status = s.status();
    if (status.rfind("Report ", 0) != 0 || status.find(" written: ") == std::string::npos) {
        return s.fail(status);
    }
    std::fprintf(out, "%s\n", status.c_str());
    return kExitDone;
}

} // namespace

void RequestStop() {
    gStopAsked = true;
}

int RunCommand(const Options& options, CliBackend& backend, std::FILE* out, std::FILE* err,
               bool progress) {
    gStopAsked = false;
    Session session(backend, err);
    switch (options.command) {
    case Command::Scan:
        return Scan(options, session, out, err, progress);
    case Command::Info:
        return Info(options, session, out);
    case Command::ParamsGet:
        return ParamsGet(options, session, out);
    case Command::ParamsSet:
        return ParamsSet(options, session, out);
    case Command::Stream:
        return Stream(options, session, out, err, progress);
    case Command::Video:
        return Video(options, session, out, err, progress);
    case Command::Report:
        return Report(options, session, out, err, progress);
    }
    return kExitUsage;
}

} // namespace korven::cli
