// The publisher hooked to the program's answers and events, its settings
// and the MQTT pop-up panel.
#include "publish/mqtt_glue.h"

#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "link/com232.h"
#include "link/line_guard.h"
#include "publish/mqtt_publisher.h"
#include "runtime/backend.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace korven {

namespace {

using publish::State;

// The state topic is refreshed this often (engine seconds) while answers
// come, so that its counts stay current; the pop-up's status line at most
// this often.
constexpr double kStateRefresh = 10.0;
constexpr double kSummaryRefresh = 0.5;
// A line that turned nothing away for this long after a disturbance is
// running normally again.
constexpr double kDisturbanceHold = 1.0;

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Glue {
    MqttOptions options;
    publish::BrokerAddress broker;
    std::string station;
    std::function<void(const std::string&)> status;
    std::unique_ptr<publish::Publisher> publisher;
    publish::Topics topics;
    publish::Batcher batcher{0};
    double start = 0.0;
    std::int64_t wallStart = 0;
    State state = State::Connected;
    LineDisturbance seen;
    double disturbedAt = -1.0e9;
    double stateSentAt = -1.0e9;
    double summaryShownAt = -1.0e9;
    std::string parameters; // the last parameter set's payload
    std::vector<int> handles;
};

std::unique_ptr<Glue> gGlue;
// Publishers that were replaced finish (offline, disconnect) on threads of
// their own, so that the panel never waits for the network.
std::vector<std::thread> gRetiring;
int gGeneration = 0;
int gMqttPanel = 0;

std::string PortName(const Glue& g) {
    return g.options.portName.empty() ? "COM" + std::to_string(com) : g.options.portName;
}

std::string SensorName(const Glue& g) {
    return publish::SensorLevel(pcbtype, softversion, PortName(g));
}

void ShowSummary() {
    if (gMqttPanel > 0) {
        SetCtrlVal(gMqttPanel, MQTT_STATUS, PublishingSummary().c_str());
    }
}

void ShowText(const std::string& text) {
    if (gGlue && gGlue->status) {
        gGlue->status(text);
    } else {
        SetCtrlVal(pHandle, PANEL_STATUS, text.c_str());
    }
    ShowSummary();
}

void SendState(Glue& g, State s) {
    g.state = s;
    g.stateSentAt = Timer();
    g.publisher->retain(g.topics.state(),
                        publish::StatePayload(s, g.publisher->counts(), WallMs()));
}

void SetState(Glue& g, State s) {
    if (s != g.state) {
        SendState(g, s);
    }
}

void RetainIdentity(Glue& g) {
    if (pcbtype == 0) {
        return;
    }
    publish::Identity id;
    id.port = PortName(g);
    id.board = pcbtype;
    id.ccd = ccdtype;
    id.pixels = ccdmaxpixel;
    id.resolution = ccdresolution;
    id.subpixels = ccdsubpixel;
    id.firmwareVersion = softversion;
    id.firmware = NotedFirmwareText();
    id.program = std::string(szSoftName) + " " + szSoftVersion;
    g.publisher->retain(g.topics.identity(), publish::IdentityPayload(id, WallMs()));
}

// The parameter globals as words, pp left as it is.
analysis::ParameterWords GlobalWords() {
    const auto saved = std::to_array(pp);
    CopyVarsToPP();
    analysis::ParameterWords words{};
    std::copy(std::begin(pp), std::end(pp), words.begin());
    std::copy(saved.begin(), saved.end(), std::begin(pp));
    return words;
}

// The publisher sends what is queued and "offline" on a thread of its own;
// the panel goes on meanwhile.
void Retire(std::unique_ptr<publish::Publisher> publisher) {
    if (publisher) {
        gRetiring.emplace_back([old = std::move(publisher)]() mutable { old.reset(); });
    }
}

void JoinRetired() {
    for (std::thread& t : gRetiring) {
        t.join();
    }
    gRetiring.clear();
}

void NewPublisher(Glue& g) {
    Retire(std::move(g.publisher));
    g.topics = publish::MakeTopics(g.options.prefix, g.station, SensorName(g));
    publish::PublisherSettings s;
    s.broker = g.broker;
    s.user = g.options.user;
    s.password = g.options.password;
    s.topics = g.topics;
    const int generation = gGeneration;
    g.publisher = std::make_unique<publish::Publisher>(s, [generation](const std::string& text) {
        PostDeferredCall([generation, text] {
            if (generation == gGeneration) {
                ShowText(text);
            }
        });
    });
    RetainIdentity(g);
    if (!g.parameters.empty()) {
        g.publisher->retain(g.topics.parameters(), g.parameters);
    }
    SendState(g, stop_flag == 0 ? State::Running : State::Connected);
}

void Measurement(Glue& g, std::string_view row, double now) {
    if (auto message = g.batcher.add(row, now)) {
        g.publisher->publish({g.topics.measurement(), std::move(*message), 0});
    }
    const LineDisturbance& d = Disturbance();
    if (d.frames > g.seen.frames || d.bytes > g.seen.bytes) {
        g.disturbedAt = now;
        SetState(g, State::LineDisturbed);
    } else if (g.state == State::LineDisturbed && now - g.disturbedAt >= kDisturbanceHold) {
        SetState(g, State::Running);
    }
    g.seen = d;
    if (now - g.stateSentAt >= kStateRefresh) {
        SendState(g, g.state);
    }
    if (gMqttPanel > 0 && now - g.summaryShownAt >= kSummaryRefresh) {
        g.summaryShownAt = now;
        ShowSummary();
    }
}

void FlushBatch(Glue& g) {
    if (auto message = g.batcher.flush()) {
        g.publisher->publish({g.topics.measurement(), std::move(*message), 0});
    }
}

const char* MemoryName(int memory) {
    return memory == EEPROM ? "eeprom" : "ram";
}

void OnEvent(Glue& g, const ProgramEvent& e) {
    switch (e.kind) {
    case ProgramEventKind::Identified:
        if (publish::MakeTopics(g.options.prefix, g.station, SensorName(g)).base != g.topics.base) {
            NewPublisher(g);
        } else {
            RetainIdentity(g);
        }
        SetState(g, stop_flag == 0 ? State::Running : State::Connected);
        break;
    case ProgramEventKind::ParametersRead:
    case ProgramEventKind::ParametersWritten: {
        if (e.words.size() != analysis::kParameterWords ||
            (e.memory != RAM && e.memory != EEPROM)) {
            break;
        }
        analysis::ParameterWords words{};
        std::copy(e.words.begin(), e.words.end(), words.begin());
        g.parameters = publish::ParametersPayload(MemoryName(e.memory),
                                                  e.kind == ProgramEventKind::ParametersWritten,
                                                  e.confirmed, words, WallMs());
        g.publisher->retain(g.topics.parameters(), g.parameters);
        break;
    }
    case ProgramEventKind::CalibrationSent: {
        publish::Calibration c;
        for (int i = 0; i < 2; ++i) {
            c.raw[i] = pixel[i];
            c.um[i] = umeter[i];
        }
        c.slope = slopeval;
        c.offset = interval;
        c.slopeWord = slope;
        c.interceptWord = intersect;
        g.publisher->publish({g.topics.calibration(), publish::CalibrationPayload(c, WallMs()), 1});
        break;
    }
    case ProgramEventKind::LoopStarted:
        g.batcher = publish::Batcher(g.options.rate);
        g.seen = Disturbance();
        SetState(g, State::Running);
        break;
    case ProgramEventKind::LoopEnded:
        FlushBatch(g);
        SetState(g, State::Connected);
        break;
    }
}

std::string Setting(const char* key) {
    rt::Backend* b = rt::CurrentBackend();
    return b ? b->setting(std::string("mqtt/") + key) : std::string();
}

void PutSetting(const char* key, const std::string& value) {
    if (rt::Backend* b = rt::CurrentBackend()) {
        b->setSetting(std::string("mqtt/") + key, value);
    }
}

std::string FieldText(int control) {
    char text[1024] = "";
    GetCtrlVal(gMqttPanel, control, text);
    return text;
}

// The options as the pop-up shows them.
MqttOptions PanelOptions() {
    MqttOptions o = LoadMqttOptions();
    o.url = FieldText(MQTT_STRUrl);
    o.user = FieldText(MQTT_STRUser);
    o.password = FieldText(MQTT_STRPassword);
    o.station = FieldText(MQTT_STRStation);
    o.prefix = FieldText(MQTT_STRPrefix);
    int rate = 0;
    GetCtrlVal(gMqttPanel, MQTT_NUMRate, &rate);
    o.rate = rate;
    return o;
}

void ShowOptions(const MqttOptions& o) {
    SetCtrlVal(gMqttPanel, MQTT_STRUrl, o.url.c_str());
    SetCtrlVal(gMqttPanel, MQTT_STRUser, o.user.c_str());
    SetCtrlVal(gMqttPanel, MQTT_STRPassword, o.password.c_str());
    SetCtrlVal(gMqttPanel, MQTT_STRStation, o.station.c_str());
    SetCtrlVal(gMqttPanel, MQTT_STRPrefix, o.prefix.c_str());
    SetCtrlVal(gMqttPanel, MQTT_NUMRate, o.rate);
    SetCtrlVal(gMqttPanel, MQTT_TOGGBTN_MqttOn, Publishing() ? 1 : 0);
}

} // namespace

std::string ComputerName() {
#if defined(_WIN32)
    const char* name = std::getenv("COMPUTERNAME");
    return name != nullptr ? name : "";
#else
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
#endif
}

MqttOptions LoadMqttOptions() {
    MqttOptions o;
    o.enabled = Setting("enabled") == "1";
    o.url = Setting("url");
    o.user = Setting("user");
    o.password = Setting("password");
    o.station = Setting("station");
    if (const std::string prefix = Setting("prefix"); !prefix.empty()) {
        o.prefix = prefix;
    }
    o.rate = std::clamp(std::atoi(Setting("rate").c_str()), 0, kMaxMqttRate);
    return o;
}

void SaveMqttOptions(const MqttOptions& o) {
    PutSetting("enabled", o.enabled ? "1" : "0");
    PutSetting("url", o.url);
    PutSetting("user", o.user);
    PutSetting("password", o.password);
    PutSetting("station", o.station);
    PutSetting("prefix", o.prefix);
    PutSetting("rate", std::to_string(o.rate));
}

std::string StartPublishing(const MqttOptions& options,
                            std::function<void(const std::string&)> status) {
    publish::BrokerAddress broker;
    if (std::string why = publish::ParseBrokerUrl(options.url, broker); !why.empty()) {
        return why;
    }
    if (options.rate < 0 || options.rate > kMaxMqttRate) {
        return "the rate must be 0 (every answer) to " + std::to_string(kMaxMqttRate) +
               " messages a second";
    }
    if (!publish::MqttSupported()) {
        return "MQTT is not supported in this build";
    }
    if (broker.tls && !publish::MqttTlsSupported()) {
        return "mqtts:// (TLS) is not supported in this build";
    }
    // A publisher just ended must have said "offline" before this one says
    // where the program stands, on the same topics.
    StopPublishing(true);
    ++gGeneration;
    auto g = std::make_unique<Glue>();
    g->options = options;
    g->broker = broker;
    g->station = options.station.empty() ? ComputerName() : options.station;
    g->status = std::move(status);
    g->batcher = publish::Batcher(options.rate);
    g->start = Timer();
    g->wallStart = WallMs();
    g->seen = Disturbance();
    if (pcbtype != 0) {
        g->parameters = publish::ParametersPayload("ram", false, true, GlobalWords(), WallMs());
    }
    Glue* raw = g.get();
    gGlue = std::move(g);
    NewPublisher(*raw);
    if (options.ownAnswers) {
        raw->handles.push_back(AddAnswerObserver([raw](const analysis::Answer& a) {
            const double since = a.time - raw->start;
            std::string row = analysis::JsonRow(
                a, since, raw->wallStart + static_cast<std::int64_t>(since * 1000.0 + 0.5));
            if (!row.empty() && row.back() == '\n') {
                row.pop_back();
            }
            Measurement(*raw, row, a.time);
        }));
    }
    raw->handles.push_back(AddEventObserver([raw](const ProgramEvent& e) { OnEvent(*raw, e); }));
    ShowSummary();
    return {};
}

void StopPublishing(bool wait) {
    if (gGlue) {
        for (const int h : gGlue->handles) {
            RemoveObserver(h);
        }
        FlushBatch(*gGlue);
        Retire(std::move(gGlue->publisher));
        gGlue.reset();
    }
    if (wait) {
        JoinRetired();
    }
    ++gGeneration;
    ShowSummary();
}

bool Publishing() {
    return gGlue != nullptr;
}

void ResetPublishing() {
    gMqttPanel = 0;
    StopPublishing();
}

publish::Counts PublishingCounts() {
    return gGlue ? gGlue->publisher->counts() : publish::Counts{};
}

publish::Topics PublishingTopics() {
    return gGlue ? gGlue->topics : publish::Topics{};
}

void PublishMeasurement(std::string_view row, double now) {
    if (gGlue) {
        Measurement(*gGlue, row, now);
    }
}

std::string PublishingSummary() {
    if (!gGlue) {
        return "MQTT is off";
    }
    const publish::Counts c = gGlue->publisher->counts();
    return std::string(c.connected ? "connected to " : "not connected to ") + gGlue->broker.text() +
           " as " + gGlue->topics.base + ": " + std::to_string(c.sent) + " sent, " +
           std::to_string(c.queued) + " queued, " + std::to_string(c.lost) + " lost";
}

int CC_BTNMqtt(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
               int /*eventData1*/, int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    const int loaded = LoadPopupOnce(gMqttPanel, MQTT, "MQTT");
    if (loaded < 0) {
        return 0;
    }
    if (loaded > 0) {
        ShowOptions(LoadMqttOptions());
    }
    ShowSummary();
    DisplayPanel(gMqttPanel);
    return 0;
}

int CC_MQTT(int panel, int event, void* /*callbackData*/, int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_CLOSE) {
        // What was entered is kept for the next start, whether on or off.
        MqttOptions o = PanelOptions();
        o.enabled = Publishing();
        SaveMqttOptions(o);
        HidePanel(panel);
    }
    return 0;
}

int CC_TOGGBTN_MqttOn(int panel, int control, int event, void* /*callbackData*/, int /*eventData1*/,
                      int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    int on = 0;
    GetCtrlVal(panel, control, &on);
    MqttOptions o = PanelOptions();
    if (on == 0) {
        StopPublishing(false);
        o.enabled = false;
        SaveMqttOptions(o);
        ShowStatusLine("MQTT: off");
        return 0;
    }
    if (const std::string why = StartPublishing(o); !why.empty()) {
        SetCtrlVal(panel, control, 0);
        ShowStatusLine("MQTT not started: " + why);
        SetCtrlVal(gMqttPanel, MQTT_STATUS, ("Not started: " + why).c_str());
        return 0;
    }
    o.enabled = true;
    SaveMqttOptions(o);
    return 0;
}

} // namespace korven
