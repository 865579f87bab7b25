#include "bench/bench_app.h"

#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "bench/bench_common.h"
#include "bench/clicks.h"
#include "bench/probe_backend.h"
#include "link/com232.h"
#include "link/line_guard.h"
#include "runtime/qt/qt_backend.h"
#include "sim/sensor_model.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace korven::bench {

namespace {

struct Snapshot {
    double wall = 0.0;
    double cpu = 0.0;
    long runFrames = 0;
    long notifications = 0;
    long plots = 0;
    long passes = 0;
    bool taken = false;
};

Snapshot Take(const ProbeBackend& probe) {
    Snapshot snap;
    snap.wall = MonotonicNow();
    snap.cpu = ProcessCpuSeconds();
    snap.runFrames = probe.framesWritten(8);
    snap.notifications = probe.notifications();
    snap.plots = probe.plots();
    snap.passes = probe.passes();
    snap.taken = true;
    return snap;
}

void Emit(const char* key, double value) {
    std::printf("%s %.9g\n", key, value);
}

void EmitWindow(const char* prefix, const Snapshot& a, const Snapshot& b,
                const ProbeBackend& probe) {
    if (!a.taken || !b.taken || b.wall <= a.wall) {
        std::printf("%s_failed 1\n", prefix);
        std::fprintf(stderr, "%s window: start %s, end %s, %.6f..%.6f\n", prefix,
                     a.taken ? "taken" : "missing", b.taken ? "taken" : "missing", a.wall, b.wall);
        return;
    }
    const double wall = b.wall - a.wall;
    std::printf("%s_wall %.9g\n", prefix, wall);
    std::printf("%s_cpu %.9g\n", prefix, (b.cpu - a.cpu) / wall);
    // Rates from the time stamps, so that a window holding a few cycles
    // is not rounded to whole cycles.
    std::printf("%s_runframes %.9g\n", prefix, RateOf(probe.runFrameStamps(), a.wall, b.wall));
    std::printf("%s_answers %.9g\n", prefix, RateOf(probe.answerStamps(), a.wall, b.wall));
    // Where a cycle's time goes: from each request to the answer that
    // follows it (line, sensor, waking up), and from that answer to the
    // next request (the program's own turn-around, drawing included).
    const auto& req = probe.runFrameStamps();
    const auto& ans = probe.answerStamps();
    double wire = 0.0, turn = 0.0, turnMax = 0.0;
    long nWire = 0, nTurn = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < req.size(); ++i) {
        if (req[i] < a.wall || req[i] > b.wall) {
            continue;
        }
        while (j < ans.size() && ans[j] < req[i]) {
            ++j;
        }
        if (j >= ans.size()) {
            break;
        }
        wire += ans[j] - req[i];
        ++nWire;
        if (i + 1 < req.size() && req[i + 1] > ans[j]) {
            const double t = req[i + 1] - ans[j];
            turn += t;
            turnMax = std::max(turnMax, t);
            ++nTurn;
        }
    }
    if (nWire > 0) {
        std::printf("%s_request_to_answer_ms %.9g\n", prefix,
                    1000.0 * wire / static_cast<double>(nWire));
    }
    if (nTurn > 0) {
        std::printf("%s_answer_to_request_ms %.9g\n", prefix,
                    1000.0 * turn / static_cast<double>(nTurn));
        std::printf("%s_answer_to_request_max_ms %.9g\n", prefix, 1000.0 * turnMax);
    }
    std::printf("%s_runframe_count %ld\n", prefix, b.runFrames - a.runFrames);
    std::printf("%s_answer_count %ld\n", prefix, b.notifications - a.notifications);
    std::printf("%s_plots %.9g\n", prefix, static_cast<double>(b.plots - a.plots) / wall);
    std::printf("%s_passes %.9g\n", prefix, static_cast<double>(b.passes - a.passes) / wall);
}

void Close() {
    // What the panel's close box does.
    CC_PANEL(pHandle, EVENT_CLOSE, nullptr, 0, 0);
}

} // namespace

int RunApp(int argc, char** argv, const AppOptions& options) {
    const double mainTime = MonotonicNow();
    if (!options.platform.empty()) {
        qputenv("QT_QPA_PLATFORM", options.platform.c_str());
    } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const double appTime = MonotonicNow();

    const sim::Preset* preset = sim::FindPreset(options.preset);
    const std::string firmware = preset != nullptr ? preset->firmware : std::string();

    rt::qt::QtBackend qt;
    qt.mapPort(1, QString::fromStdString(options.port), QStringLiteral("virtual sensor"));
    ProbeBackend probe(qt);
    // Ten minutes at 26 answers a second are a few hundred KiB of stamps;
    // the memory run does without them.
    probe.keepStamps(options.scenario != "memory");
    rt::SetBackend(&probe);
    rt::SetLayoutRegistry(&KorvenLayoutRegistry());

    double openTime = 0.0, echoTime = 0.0, firmwareTime = 0.0;
    Snapshot a, b;         // measuring window
    Snapshot echoA, echoB; // echo wait (silent sensor)
    std::vector<long> rss; // memory samples, KiB
    long rssWarm = -1;
    int restarts = 0;
    const std::string& s = options.scenario;
    // The instant sensor answers faster than any line could carry it: the
    // program's timing checks on answers are off for it.
    if (s == "instant") {
        SetLineByteTime(0.0);
    }
    const bool trace = std::getenv("KORVEN_BENCH_RAW") != nullptr;

    probe.onOpen = [&](int) {
        if (openTime == 0.0) {
            openTime = MonotonicNow();
        }
    };
    probe.onFrame = [&](int command) {
        if (command == 5 && echoTime == 0.0) {
            echoTime = MonotonicNow();
            echoA = Take(probe);
        }
        if (s == "silent" && command == 8 && !a.taken) {
            a = Take(probe);
        }
    };
    probe.onText = [&](int panel, int control, const std::string& text) {
        if (panel != pHandle || control != PANEL_STATUS) {
            return;
        }
        if (trace) {
            std::fprintf(stderr, "%.6f status: %s\n", MonotonicNow() - options.spawnTime,
                         text.c_str());
        }
        if (!firmware.empty() && text == firmware && firmwareTime == 0.0) {
            firmwareTime = MonotonicNow();
        }
        if (text == "Timeout-RS-232..." && echoA.taken && !echoB.taken) {
            echoB = Take(probe);
        }
        if (trace && text == "Timeout RS232-Line!") {
            const auto& req = probe.runFrameStamps();
            const auto& ans = probe.answerStamps();
            std::fprintf(stderr,
                         "requests %zu (last at %.6f), answers %zu (last at %.6f), %d bytes "
                         "waiting\n",
                         req.size(), req.empty() ? 0.0 : req.back(), ans.size(),
                         ans.empty() ? 0.0 : ans.back(), probe.getInQLen(1));
        }
        if (s == "silent" && text == "Timeout RS232-Line!" && a.taken && !b.taken) {
            b = Take(probe);
        }
    };

    // The operator clicks the video threshold's entry: its callback does
    // nothing on a click, so the loops run on undisturbed.
    std::unique_ptr<Clicks> clicks;
    probe.onCtrlEvent = [&](int, int, int event) {
        if (event == EVENT_LEFT_CLICK && clicks) {
            clicks->callbackStarted();
        }
    };
    auto stopClicks = [&] {
        if (clicks) {
            clicks->stop();
        }
    };

    QTimer sampler;
    auto startActivity = [&] {
        if (s == "startup") {
            QuitUserInterface(0);
            return;
        }
        const int button = s == "video" ? PANEL_BTNVideo : PANEL_BTNRun;
        if (s != "silent") {
            const int warm = static_cast<int>(options.warmup * 1000.0);
            const int end = static_cast<int>((options.warmup + options.seconds) * 1000.0);
            QTimer::singleShot(warm, Qt::PreciseTimer, [&] {
                a = Take(probe);
                if (s == "memory") {
                    rssWarm = ProcessMemory().rssKiB;
                }
                if (clicks) {
                    clicks->start();
                }
            });
            QTimer::singleShot(end, Qt::PreciseTimer, [&] {
                b = Take(probe);
                stopClicks();
                CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0);
            });
        }
        if (s == "memory") {
            QObject::connect(&sampler, &QTimer::timeout,
                             [&] { rss.push_back(ProcessMemory().rssKiB); });
            sampler.start(static_cast<int>(options.sampleInterval * 1000.0));
        }
        // The port chosen again and again: each choice runs the connection
        // sequence of the start-up, now with the panel shown (a port that
        // does not open ends it: nothing would wait for the window's end).
        while (s == "connect" && !b.taken) {
            CloseCom(com);
            InitRS232(com);
            if (ret < 0) {
                break;
            }
        }
        // The button's commit: the activity runs inside it until stopped.
        while (s != "connect") {
            if (button == PANEL_BTNVideo) {
                CC_BTNVideo(pHandle, button, EVENT_COMMIT, nullptr, 0, 0);
            } else {
                CC_BTNRun(pHandle, button, EVENT_COMMIT, nullptr, 0, 0);
            }
            if (s != "memory" || b.taken) {
                break;
            }
            // The run ended by itself (a line time-out): in the long memory
            // run the operator picks the port again, which reconnects, and
            // restarts the run.
            ++restarts;
            CloseCom(com);
            InitRS232(com);
        }
        sampler.stop();
        stopClicks();
        Close();
    };
    probe.onDisplay = [&](int panel) {
        if (panel == pHandle) {
            if (options.maximised) {
                // Without a window manager (Xvfb) nothing maximises:
                // the window takes the screen's whole area itself.
                if (QWidget* window = qt.panelWidget(pHandle); window && window->screen()) {
                    window->setGeometry(window->screen()->availableGeometry());
                }
            }
            if (options.clicks && !clicks) {
                probe.watchControl(pHandle, PANEL_NUMVideoThreshold, &CC_NUMVideoThreshold);
                clicks = std::make_unique<Clicks>(
                    probe, qt.controlWidget(pHandle, PANEL_NUMVideoThreshold));
            }
            // After start-up; the activity starts from the event loop.
            QTimer::singleShot(s == "startup" ? 0 : 200, startActivity);
        }
    };

    const int rc = WinMain(nullptr, nullptr, nullptr, 1);
    rt::SetBackend(nullptr);

    Emit("rc", rc);
    Emit("main_s", mainTime - options.spawnTime);
    Emit("qapp_s", appTime - options.spawnTime);
    if (openTime > 0.0) {
        Emit("open_s", openTime - options.spawnTime);
    }
    if (echoTime > 0.0) {
        Emit("echo_s", echoTime - options.spawnTime);
    }
    if (firmwareTime > 0.0) {
        Emit("firmware_s", firmwareTime - options.spawnTime);
        Emit("connect_s", firmwareTime - openTime);
    }
    if (s != "startup") {
        EmitWindow("win", a, b, probe);
    }
    if (clicks) {
        clicks->print();
    }
    if (echoB.taken) {
        EmitWindow("echo", echoA, echoB, probe);
    }
    if (s == "memory" && !rss.empty()) {
        const Memory m = ProcessMemory();
        Emit("rss_warm_kib", static_cast<double>(rssWarm));
        Emit("rss_end_kib", static_cast<double>(rss.back()));
        Emit("rss_max_kib", static_cast<double>(*std::max_element(rss.begin(), rss.end())));
        // The kernel updates the high-water mark lazily: take the larger of
        // it and the highest sample.
        Emit("hwm_kib",
             static_cast<double>(std::max(m.hwmKiB, *std::max_element(rss.begin(), rss.end()))));
        Emit("samples", static_cast<double>(rss.size()));
        Emit("restarts", restarts);
    }
    std::fflush(stdout);
    return rc;
}

} // namespace korven::bench
