// The setup and calibration record and its JSON twin.
#include "app/setup_record.h"

#include "analysis/panel.h"
#include "analysis/recording.h"
#include "app/KORVENDarir23.h"
#include "display/gui.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace korven::record {

namespace {

struct Kept {
    Identity identity;
    ParameterSet ramFound, eepromFound, asLeft;
    Calibration calibration;
    double calibratedAt = 0.0; // engine time of the confirmation
    // The last run answer.
    bool answer = false;
    double answerTime = 0.0;
    int answerRaw = 0;
    int answerUm = 0;
    bool answerEdge = false;
    int chartAnswers = 0;
    std::string videoTime;
};
Kept gKept;

constexpr int kChartAnswers = 100; // answers the strip chart holds
constexpr int kVideoSamples = 256;

std::string Now() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return analysis::LocalTimeText(ms);
}

// What the sensor reports for a raw value with these words: slope word /
// scale · raw + (intercept word − 30000), rounded, never below 0.
double SensorMicrometres(const Calibration& c, double raw) {
    const double um = static_cast<double>(c.slopeHeld) / c.slopeScale * raw +
                      (static_cast<double>(c.interceptHeld) - YOFFSET);
    return um > 0.0 ? std::round(um) : 0.0;
}

void ComputeReadings(Calibration& c) {
    for (int i = 0; i < 2; ++i) {
        c.after[i] =
            ObjectReading{false, c.points[i].raw, SensorMicrometres(c, c.points[i].raw), ""};
    }
}

// ---- JSON ------------------------------------------------------------------

// Numbers as JSON has them: no NaN or infinity, those become null.
std::string Num(double v) {
    if (!std::isfinite(v)) {
        return "null";
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

std::string Str(const std::string& s) {
    return analysis::JsonText(s);
}

std::string Bool(bool b) {
    return b ? "true" : "false";
}

class Obj {
  public:
    explicit Obj(int indent) : pad_(static_cast<std::size_t>(indent), ' ') {}
    Obj& put(const char* key, const std::string& raw) {
        out_ += (out_.empty() ? "{\n" : ",\n") + pad_ + "  " + Str(key) + ": " + raw;
        return *this;
    }
    std::string done() const { return out_.empty() ? "{}" : out_ + "\n" + pad_ + "}"; }

  private:
    std::string pad_;
    std::string out_;
};

std::string WordsJson(const ParameterWords& w) {
    std::string out = "[";
    for (std::size_t k = 0; k < w.size(); ++k) {
        out += (k ? ", " : "") + std::to_string(w[k]);
    }
    return out + "]";
}

std::string IntList(const std::vector<int>& v) {
    std::string out = "[";
    for (std::size_t k = 0; k < v.size(); ++k) {
        out += (k ? ", " : "") + std::to_string(v[k]);
    }
    return out + "]";
}

std::string NumList(const std::vector<double>& v) {
    std::string out = "[";
    for (std::size_t k = 0; k < v.size(); ++k) {
        out += (k ? "," : "") + Num(v[k]);
    }
    return out + "]";
}

std::string SetJson(const ParameterSet& s, const ParameterSet* found, int indent) {
    if (!s.valid) {
        return "null";
    }
    Obj o(indent);
    o.put("memory", Str(MemoryName(s.memory)))
        .put("how", Str(s.how))
        .put("time", Str(s.time))
        .put("words", WordsJson(s.words));
    if (found) {
        o.put("compared_with",
              found->valid ? Str(std::string(MemoryName(found->memory)) + " as found") : "null");
        o.put("changed", found->valid ? IntList(ChangedWords(*found, s)) : "null");
    }
    return o.done();
}

std::string CalibrationJson(const Calibration& c, double tolerance) {
    if (!c.made) {
        return "null";
    }
    const Verdict v = Judge(c, tolerance);
    std::string objects = "[";
    for (int i = 0; i < 2; ++i) {
        Obj o(6);
        o.put("reference_um", Num(c.points[i].referenceUm))
            .put("raw_subpx", Num(c.points[i].raw))
            .put("reading_um", Num(c.after[i].um))
            .put("reading_raw_subpx", Num(c.after[i].raw))
            .put("reading_source", Str(c.after[i].measured ? "measured" : "computed"))
            .put("reading_time", c.after[i].measured ? Str(c.after[i].time) : "null")
            .put("deviation_um", Num(v.deviation[i]))
            .put("pass", v.judged ? Bool(v.objectPass[i]) : "null");
        objects += (i ? ", " : "\n      ") + o.done();
    }
    objects += "\n    ]";
    Obj o(2);
    o.put("time", Str(c.time))
        .put("fit_slope_um_per_subpx", Num(c.fitSlope))
        .put("fit_offset_um", Num(c.fitOffset))
        .put("slope_scale", std::to_string(c.slopeScale))
        .put("slope_word_sent", std::to_string(c.slopeWord))
        .put("intercept_word_sent", std::to_string(c.interceptWord))
        .put("slope_word_held", std::to_string(c.slopeHeld))
        .put("intercept_word_held", std::to_string(c.interceptHeld))
        .put("objects", objects)
        .put("tolerance_um", Num(tolerance))
        .put("decision_rule", Str(kDecisionRule))
        .put("verdict", v.judged ? Str(v.pass ? "pass" : "fail") : "null");
    return o.done();
}

std::string StatisticsJson(const RunStatistics& s) {
    if (s.answers == 0) {
        return "null";
    }
    std::string lines = "[";
    for (std::size_t k = 0; k < s.lines.size(); ++k) {
        lines += (k ? ", " : "") + Str(s.lines[k]);
    }
    lines += "]";
    Obj o(2);
    o.put("answers", std::to_string(s.answers))
        .put("no_edge", std::to_string(s.noEdge))
        .put("setpoint_subpx", std::to_string(s.setpoint))
        .put("tolerance_subpx", std::to_string(s.tolerance))
        .put("mean_subpx", s.withValue ? Num(s.mean) : "null")
        .put("stddev_subpx", s.withValue ? Num(s.stddev) : "null")
        .put("min_subpx", s.withValue ? Num(s.min) : "null")
        .put("max_subpx", s.withValue ? Num(s.max) : "null")
        .put("mean_um", s.withValue ? Num(s.umMean) : "null")
        .put("stddev_um", s.withValue ? Num(s.umStddev) : "null")
        .put("min_um", s.withValue ? Num(s.umMin) : "null")
        .put("max_um", s.withValue ? Num(s.umMax) : "null")
        .put("cp", Num(s.cp))
        .put("cpk", Num(s.cpk))
        .put("out_of_tolerance", std::to_string(s.outOfTolerance))
        .put("answers_per_s", Num(s.rate))
        .put("lines", lines);
    return o.done();
}

std::string ChartJson(const StripChart& c) {
    if (c.answers.empty()) {
        return "null";
    }
    std::string traces = "[";
    for (int t = 0; t < StripChart::kTraces; ++t) {
        std::vector<double> values;
        for (const auto& a : c.answers) {
            values.push_back(a[static_cast<std::size_t>(t)]);
        }
        Obj o(6);
        o.put("name", Str(c.traces[static_cast<std::size_t>(t)])).put("values", NumList(values));
        traces += (t ? ", " : "\n      ") + o.done();
    }
    Obj o(2);
    o.put("unit", Str("subpx")).put("traces", traces + "\n    ]");
    return o.done();
}

std::string VideoJson(const VideoLine& v) {
    if (!v.valid) {
        return "null";
    }
    Obj o(2);
    o.put("time", Str(v.time))
        .put("threshold", Num(v.threshold))
        .put("x_subpx", NumList(v.x))
        .put("signal", NumList(v.signal));
    return o.done();
}

std::string IdentityJson(const Identity& id) {
    if (!id.known) {
        return "null";
    }
    std::string lines = "[";
    for (std::size_t k = 0; k < id.description.size(); ++k) {
        lines += (k ? ", " : "") + Str(id.description[k]);
    }
    Obj o(2);
    o.put("port", std::to_string(id.port))
        .put("board", std::to_string(id.board))
        .put("type", std::to_string(id.type))
        .put("resolution", std::to_string(id.resolution))
        .put("pixels", std::to_string(id.pixels))
        .put("subpixels", std::to_string(id.subpixels))
        .put("firmware_number", std::to_string(id.firmwareNo))
        .put("firmware", Str(id.firmware))
        .put("description", lines + "]");
    return o.done();
}

std::uint32_t Fnv1a(const std::string& s) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h = (h ^ c) * 16777619u;
    }
    return h;
}

bool SameSensor(const Identity& a, const Identity& b) {
    return a.board == b.board && a.type == b.type && a.resolution == b.resolution &&
           a.firmwareNo == b.firmwareNo;
}

} // namespace

const char* const kDecisionRule =
    "pass when |reading - reference| <= tolerance for both objects; no guard band";

const char* MemoryName(Memory m) {
    switch (m) {
    case Memory::Ram:
        return "RAM";
    case Memory::Eeprom:
        return "EEPROM";
    case Memory::File:
        return "file";
    }
    return "RAM";
}

const ParameterSet& FoundFor(const SetupRecord& r, Memory m) {
    return m == Memory::Eeprom ? r.eepromFound : r.ramFound;
}

std::vector<int> ChangedWords(const ParameterSet& found, const ParameterSet& left) {
    std::vector<int> changed;
    if (!found.valid || !left.valid) {
        return changed;
    }
    for (int k = 0; k < PNUM; ++k) {
        if (found.words[static_cast<std::size_t>(k)] != left.words[static_cast<std::size_t>(k)]) {
            changed.push_back(k);
        }
    }
    return changed;
}

Verdict Judge(const Calibration& c, double toleranceUm) {
    Verdict v;
    if (!c.made || !std::isfinite(toleranceUm) || toleranceUm < 0.0) {
        return v;
    }
    v.judged = true;
    for (int i = 0; i < 2; ++i) {
        v.deviation[i] = c.after[i].um - c.points[i].referenceUm;
        v.objectPass[i] = std::fabs(v.deviation[i]) <= toleranceUm;
    }
    v.pass = v.objectPass[0] && v.objectPass[1];
    return v;
}

std::string ReportJson(const SetupRecord& r, const ReportHeader& h) {
    const ParameterSet& found = FoundFor(r, r.asLeft.memory);
    Obj report(2);
    report.put("number", Str(h.number))
        .put("created", Str(h.created))
        .put("program", Str(h.program))
        .put("operator", Str(h.operatorName))
        .put("reference_objects", Str(h.reference));
    Obj sets(2);
    sets.put("ram_as_found", SetJson(r.ramFound, nullptr, 4))
        .put("eeprom_as_found", SetJson(r.eepromFound, nullptr, 4))
        .put("as_left", SetJson(r.asLeft, &found, 4));
    std::string names = "[";
    for (int k = 0; k < PNUM; ++k) {
        names += (k ? ", " : "") + Str(analysis::kParameterNames[k]);
    }
    sets.put("word_names", names + "]");
    Obj root(0);
    root.put("schema", Str("korven-darir-report/1"))
        .put("report", report.done())
        .put("sensor", IdentityJson(r.identity))
        .put("parameters", sets.done())
        .put("calibration", CalibrationJson(r.calibration, h.toleranceUm))
        .put("statistics", StatisticsJson(r.statistics))
        .put("strip_chart", ChartJson(r.chart))
        .put("video_line", VideoJson(r.video));
    return root.done() + "\n";
}

std::string ReportNumber(const std::string& created, const std::string& content) {
    std::string digits;
    for (char c : created.substr(0, 19)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    if (digits.size() != 14) {
        digits = "00000000000000";
    }
    char hash[8];
    std::snprintf(hash, sizeof hash, "%06X", static_cast<unsigned>(Fnv1a(content) & 0xFFFFFFu));
    return "KRVN-" + digits.substr(0, 8) + "-" + digits.substr(8) + "-" + hash;
}

// ---- What the program keeps --------------------------------------------------

void NoteSensorIdentified(int port) {
    Identity now;
    now.known = true;
    now.port = port;
    now.board = pcbtype;
    now.type = ccdtype;
    now.resolution = ccdresolution;
    now.pixels = ccdmaxpixel;
    now.subpixels = ccdsubpixel;
    now.firmwareNo = softversion;
    // The found sets and a calibration belong to the sensor they were made
    // with; the same sensor again (a replugged adapter) keeps them.
    if (!gKept.identity.known || !SameSensor(gKept.identity, now)) {
        gKept = Kept{};
    }
    gKept.identity = now;
}

void NoteParameterSet(Memory m, const std::uint16_t* words, const char* how) {
    ParameterSet s;
    s.valid = true;
    s.memory = m;
    s.how = how ? how : "";
    s.time = Now();
    std::copy(words, words + PNUM, s.words.begin());
    const bool read = s.how == "read";
    if (read && m == Memory::Ram && !gKept.ramFound.valid) {
        gKept.ramFound = s;
    }
    if (read && m == Memory::Eeprom && !gKept.eepromFound.valid) {
        gKept.eepromFound = s;
    }
    gKept.asLeft = s;
}

void NoteCalibrationLoaded(int slopeWord, int interceptWord) {
    Calibration& c = gKept.calibration;
    c.made = true;
    c.time = Now();
    for (int i = 0; i < 2; ++i) {
        c.points[i] = CalibrationPoint{umeter[i], pixel[i]};
    }
    c.fitSlope = slopeval;
    c.fitOffset = interval;
    c.slopeScale = SlopeScale();
    c.slopeWord = slopeWord;
    c.interceptWord = interceptWord;
    c.slopeHeld = slope;
    c.interceptHeld = intersect;
    ComputeReadings(c);
    gKept.calibratedAt = Timer();
}

void NoteRunAnswer(double time, int raw, int um, bool edge) {
    gKept.answer = true;
    gKept.answerTime = time;
    gKept.answerRaw = raw;
    gKept.answerUm = um;
    gKept.answerEdge = edge;
}

bool TakeObjectReading(int index) {
    Calibration& c = gKept.calibration;
    if (index < 0 || index > 1 || !c.made || !gKept.answer || !gKept.answerEdge ||
        gKept.answerTime <= gKept.calibratedAt) {
        return false;
    }
    c.after[index] = ObjectReading{true, static_cast<double>(gKept.answerRaw),
                                   static_cast<double>(gKept.answerUm), Now()};
    return true;
}

void NoteStripChartAnswer() {
    gKept.chartAnswers = std::min(gKept.chartAnswers + 1, kChartAnswers);
}

void NoteVideoLine() {
    gKept.videoTime = Now();
}

bool EepromFound() {
    return gKept.eepromFound.valid;
}

SetupRecord CurrentSetupRecord() {
    SetupRecord r;
    r.identity = gKept.identity;
    r.identity.firmware = NotedFirmwareText();
    if (r.identity.known && pPopup > 0) {
        char text[1024] = "";
        GetCtrlVal(pPopup, POPUP_TEXTBOXSensor, text);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            r.identity.description.push_back(line);
        }
    }
    r.ramFound = gKept.ramFound;
    r.eepromFound = gKept.eepromFound;
    r.asLeft = gKept.asLeft;
    r.calibration = gKept.calibration;

    const analysis::Statistics& st = CurrentStatistics();
    RunStatistics& s = r.statistics;
    s.answers = st.count();
    s.noEdge = st.noEdge();
    s.withValue = st.measured().count();
    s.mean = st.measured().mean();
    s.stddev = st.measured().stddev();
    s.min = st.measured().min();
    s.max = st.measured().max();
    s.umMean = st.um().mean();
    s.umStddev = st.um().stddev();
    s.umMin = st.um().min();
    s.umMax = st.um().max();
    s.cp = st.cp();
    s.cpk = st.cpk();
    s.outOfTolerance = st.outOfTolerance();
    s.rate = st.rate();
    s.setpoint = st.setpoint();
    s.tolerance = st.tolerance();
    std::istringstream lines(st.text());
    for (std::string line; std::getline(lines, line);) {
        s.lines.push_back(line);
    }

    r.chart.traces = {"Upper limit", "Lower limit", "Set-point", "Measured value",
                      "Analogue output"};
    const int answers = gKept.chartAnswers;
    for (int a = kChartAnswers - answers; a < kChartAnswers; ++a) {
        std::array<double, StripChart::kTraces> values{};
        for (int t = 0; t < StripChart::kTraces; ++t) {
            values[static_cast<std::size_t>(t)] = arrayNORM[a * StripChart::kTraces + t];
        }
        r.chart.answers.push_back(values);
    }

    if (!gKept.videoTime.empty()) {
        r.video.valid = true;
        r.video.time = gKept.videoTime;
        r.video.threshold = thdArray[0];
        r.video.x.assign(xArray8, xArray8 + kVideoSamples);
        r.video.signal.assign(adcbuf, adcbuf + kVideoSamples);
    }
    return r;
}

void ResetSetupRecord() {
    gKept = Kept{};
}

} // namespace korven::record
