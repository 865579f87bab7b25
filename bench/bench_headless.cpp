#include "bench/bench_headless.h"

#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "link/com232.h"
#include "link/line_guard.h"
#include "runtime/headless/headless.h"
#include "sim/sensor_model.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korven::bench {

namespace {

using rt::headless::HeadlessBackend;
using rt::headless::PeerLink;
using rt::headless::SerialPeer;

// The device model as the peer on a headless line; counts its answers.
class ModelPeer : public SerialPeer {
  public:
    explicit ModelPeer(sim::ModelOptions options) : model_(std::move(options)) {}

    void onReceive(double arrivalTime, std::span<const std::uint8_t> bytes,
                   PeerLink& link) override {
        model_.setByteTime(link.byteTime());
        for (sim::Output& out : model_.receive(arrivalTime, bytes)) {
            link.send(out.due, out.bytes);
            if (out.command == sim::kCmdRun) {
                ++runAnswers_;
                stamps_.push_back(out.due);
            }
        }
    }
    void onHostClose(double) override { model_.resetInput(); }

    long runAnswers() const { return runAnswers_; }
    // Due times of the run answers.
    const std::vector<double>& stamps() const { return stamps_; }

  private:
    sim::SensorModel model_;
    long runAnswers_ = 0;
    std::vector<double> stamps_;
};

// One program instance on a fresh bed: panels loaded, defaults stored,
// connected to the sensor on port 1 (echo, identification, RAM read).
class Session {
  public:
    Session(const HeadlessOptions& options, const sim::Preset& preset, double byteTime,
            double processing)
        : scoped_(MakeOptions(options, byteTime)), peer_(ModelFor(preset, processing, byteTime)) {
        ResetAllGlobals();
        // The program's timing checks assume the line the bed gives.
        SetLineByteTime(byteTime);
        previousRegistry_ = rt::CurrentLayoutRegistry();
        rt::SetLayoutRegistry(&KorvenLayoutRegistry());
        pHandle = LoadPanel(0, "KORVENDarir23.uir", PANEL);
        pPopup = LoadPanel(0, "KORVENDarir23.uir", POPUP);
        ok_ = pHandle > 0 && pPopup > 0;
        if (!ok_) {
            return;
        }
        InitVars();
        bed().attachPeer(1, &peer_);
        com = 1;
        InitRS232(com);
        ok_ = pcbtype == preset.pcbtype;
    }
    ~Session() {
        CloseCom(com);
        bed().attachPeer(1, nullptr);
        rt::SetLayoutRegistry(previousRegistry_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return ok_; }
    HeadlessBackend& bed() { return scoped_.bed(); }
    ModelPeer& peer() { return peer_; }

  private:
    static rt::headless::HeadlessOptions MakeOptions(const HeadlessOptions& options,
                                                     double byteTime) {
        rt::headless::HeadlessOptions o;
        o.projectDir = options.projectDir;
        o.byteTime = byteTime;
        return o;
    }
    static sim::ModelOptions ModelFor(const sim::Preset& preset, double processing,
                                      double byteTime) {
        sim::ModelOptions m;
        m.preset = preset;
        m.processingTime = processing;
        m.byteTime = byteTime;
        return m;
    }

    rt::headless::ScopedHeadless scoped_;
    ModelPeer peer_;
    const rt::LayoutRegistry* previousRegistry_ = nullptr;
    bool ok_ = false;
};

struct Window {
    double rate = 0.0; // answers (or cycles) a second
    long count = 0;
    bool ok = false;
};

// Runs a continuous activity (RUN or video) from its button; counts the
// sensor's run answers between warm-up and the end of the window, on the
// virtual clock.
Window MeasureLoop(Session& s, int button, double warmup, double seconds) {
    HeadlessBackend& bed = s.bed();
    const double t0 = bed.now();
    long startCount = 0, endCount = 0;
    double startTime = 0.0, endTime = 0.0;
    bed.at(t0 + warmup, [&] {
        startCount = s.peer().runAnswers();
        startTime = bed.now();
    });
    bed.at(t0 + warmup + seconds, [&] {
        endCount = s.peer().runAnswers();
        endTime = bed.now();
        stop_flag = 1;
    });
    bed.fire(pHandle, button, EVENT_COMMIT);
    Window w;
    w.count = endCount - startCount;
    w.ok = endTime > startTime && w.count > 0;
    w.rate = w.ok ? RateOf(s.peer().stamps(), startTime, endTime) : 0.0;
    return w;
}

// Switches recording on into a file in the system's temporary directory.
std::string StartRecording(HeadlessBackend& bed) {
    const std::string path =
        (std::filesystem::temp_directory_path() / "korven-bench-recording.csv").string();
    bed.queueFileDialog({VAL_NEW_FILE_SELECTED, path});
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Rec, 1);
    bed.fire(pHandle, PANEL_TOGGBTN_Rec, EVENT_COMMIT);
    return path;
}

void RemoveRecording(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    std::filesystem::remove(std::filesystem::path(path).replace_extension(".json"), ec);
}

double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Recording and statistics of `seconds` of answers at the line's rate: the
// processor time of taking each answer in (rows kept, written once a second,
// statistics shown five times a second), as a share of one core.
double RecordingCostPercent(Session& s, double answersPerSecond, double seconds) {
    HeadlessBackend& bed = s.bed();
    const std::string path = StartRecording(bed);
    const long answers = static_cast<long>(answersPerSecond * seconds);
    // An answer frame as the receive notification leaves it.
    szReadBuf[0] = 0x00;
    szReadBuf[1] = kAnswerSync;
    double cpu = 0.0;
    for (long k = 0; k < answers; ++k) {
        bed.advance(1.0 / answersPerSecond);
        Mvalue = static_cast<u16>(4000 + (k * 37) % 200);
        Ledge = static_cast<u16>(Mvalue - 500);
        Redge = static_cast<u16>(Mvalue + 500);
        const double t0 = ProcessCpuSeconds();
        RecordRunAnswer();
        cpu += ProcessCpuSeconds() - t0;
    }
    AnalysisShutdown();
    const bool ok = CurrentRecorder().rowsWritten() == static_cast<std::size_t>(answers);
    RemoveRecording(path);
    return ok ? 100.0 * cpu / seconds : -1.0;
}

} // namespace

void RunHeadlessBenchmarks(const HeadlessOptions& options, std::vector<Row>& rows) {
    const double p = options.processing;
    const sim::Preset* board256 = sim::FindPreset("type2-res250");

    {
        Session s(options, sim::DefaultPreset(), kByteTime, p);
        const Window w = s.ok() ? MeasureLoop(s, PANEL_BTNRun, 1.0, options.seconds) : Window{};
        Row r = MakeRow("1 run sequence, answers/s", "headless", w.rate, 1.0 / RunCycleSeconds(p),
                        "1/s");
        r.ratioGoal = 0.97;
        r.failed = !w.ok;
        rows.push_back(r);
    }
    {
        Session s(options, sim::DefaultPreset(), kByteTime, p);
        const Window w = s.ok() ? MeasureLoop(s, PANEL_BTNVideo, 1.0, options.seconds) : Window{};
        Row r = MakeRow("2 video loop, 4x64 blocks (board 100), frames/s", "headless", w.rate,
                        1.0 / VideoCycleSeconds(true, p), "1/s");
        r.ratioGoal = 0.97;
        r.failed = !w.ok;
        rows.push_back(r);
    }
    if (board256 != nullptr) {
        Session s(options, *board256, kByteTime, p);
        const Window w = s.ok() ? MeasureLoop(s, PANEL_BTNVideo, 1.0, options.seconds) : Window{};
        Row r = MakeRow("2 video loop, 1x256 block (board 200), frames/s", "headless", w.rate,
                        1.0 / VideoCycleSeconds(false, p), "1/s");
        r.ratioGoal = 0.97;
        r.failed = !w.ok;
        rows.push_back(r);
    }
    {
        Session s(options, sim::DefaultPreset(), kByteTime, p);
        std::string path;
        if (s.ok()) {
            path = StartRecording(s.bed());
        }
        const Window w = s.ok() && CurrentRecorder().active()
                             ? MeasureLoop(s, PANEL_BTNRun, 1.0, options.seconds)
                             : Window{};
        Row r = MakeRow("1 run sequence with REC and statistics, answers/s", "headless", w.rate,
                        1.0 / RunCycleSeconds(p), "1/s");
        r.ratioGoal = 0.97;
        r.failed = !w.ok || CurrentRecorder().rowsWritten() == 0;
        rows.push_back(r);
        AnalysisShutdown();
        RemoveRecording(path);
    }
    {
        Session s(options, sim::DefaultPreset(), kByteTime, p);
        const double cost =
            s.ok() ? RecordingCostPercent(s, 1.0 / RunCycleSeconds(p), 6.0 * options.seconds)
                   : -1.0;
        Row r =
            MakeRow("7 REC and statistics at line rate, % of a core", "headless", cost, 0.5, "%");
        r.higherIsBetter = false;
        r.ratioGoal = 1.0;
        r.failed = cost < 0.0;
        rows.push_back(r);
    }
    {
        // Instant line and sensor: what is left is the program's own work
        // per answer (and the bed's). Measured on the wall clock.
        Session s(options, sim::DefaultPreset(), 0.0, 0.0);
        Window w;
        double wall = 0.0;
        if (s.ok()) {
            HeadlessBackend& bed = s.bed();
            const double t0 = bed.now();
            long startCount = 0, endCount = 0;
            auto wallStart = std::chrono::steady_clock::now();
            auto wallEnd = wallStart;
            // The virtual clock moves one pass step per answer at least;
            // check the wall clock every 100 virtual milliseconds.
            std::function<void()> check;
            check = [&] {
                const auto now = std::chrono::steady_clock::now();
                if (std::chrono::duration<double>(now - wallStart).count() >=
                    options.ownCostSeconds) {
                    endCount = s.peer().runAnswers();
                    wallEnd = now;
                    stop_flag = 1;
                } else {
                    bed.after(0.1, check);
                }
            };
            bed.at(t0 + 0.5, [&] {
                startCount = s.peer().runAnswers();
                wallStart = std::chrono::steady_clock::now();
                bed.after(0.1, check);
            });
            bed.fire(pHandle, PANEL_BTNRun, EVENT_COMMIT);
            wall = std::chrono::duration<double>(wallEnd - wallStart).count();
            w.count = endCount - startCount;
            w.ok = wall > 0.0 && w.count > 0;
            w.rate = w.ok ? static_cast<double>(w.count) / wall : 0.0;
        }
        Row r = MakeRow("4 own cost, instant sensor, answers/s (wall)", "headless", w.rate, 2000.0,
                        "1/s");
        r.ratioGoal = 1.0;
        r.failed = !w.ok;
        rows.push_back(r);
    }
}

} // namespace korven::bench
