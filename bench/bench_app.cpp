#include "bench/bench_app.h"

#include "app/KORVENDarir23.h"
#include "app/registry.h"
#include "bench/bench_common.h"
#include "bench/probe_backend.h"
#include "runtime/qt/qt_backend.h"
#include "sim/sensor_model.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
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
    bool taken = false;
};

Snapshot Take(const ProbeBackend& probe) {
    return Snapshot{MonotonicNow(),        ProcessCpuSeconds(), probe.framesWritten(8),
                    probe.notifications(), probe.plots(),       true};
}

void Emit(const char* key, double value) {
    std::printf("%s %.9g\n", key, value);
}

void EmitWindow(const char* prefix, const Snapshot& a, const Snapshot& b,
                const ProbeBackend& probe) {
    if (!a.taken || !b.taken || b.wall <= a.wall) {
        std::printf("%s_failed 1\n", prefix);
        return;
    }
    const double wall = b.wall - a.wall;
    std::printf("%s_wall %.9g\n", prefix, wall);
    std::printf("%s_cpu %.9g\n", prefix, (b.cpu - a.cpu) / wall);
    // Rates from the time stamps, so that a window holding a few cycles
    // is not rounded to whole cycles.
    std::printf("%s_runframes %.9g\n", prefix, RateOf(probe.runFrameStamps(), a.wall, b.wall));
    std::printf("%s_answers %.9g\n", prefix, RateOf(probe.answerStamps(), a.wall, b.wall));
    std::printf("%s_runframe_count %ld\n", prefix, b.runFrames - a.runFrames);
    std::printf("%s_answer_count %ld\n", prefix, b.notifications - a.notifications);
    std::printf("%s_plots %.9g\n", prefix, static_cast<double>(b.plots - a.plots) / wall);
}

void Close() {
    // What the panel's close box does.
    CC_PANEL(pHandle, EVENT_CLOSE, nullptr, 0, 0);
}

} // namespace

int RunApp(int argc, char** argv, const AppOptions& options) {
    const double mainTime = MonotonicNow();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
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
    const std::string& s = options.scenario;

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
        if (!firmware.empty() && text == firmware && firmwareTime == 0.0) {
            firmwareTime = MonotonicNow();
        }
        if (text == "Timeout-RS-232..." && echoA.taken && !echoB.taken) {
            echoB = Take(probe);
        }
        if (s == "silent" && text == "Timeout RS232-Line!" && a.taken && !b.taken) {
            b = Take(probe);
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
            });
            QTimer::singleShot(end, Qt::PreciseTimer, [&] {
                b = Take(probe);
                CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0);
            });
        }
        if (s == "memory") {
            QObject::connect(&sampler, &QTimer::timeout,
                             [&] { rss.push_back(ProcessMemory().rssKiB); });
            sampler.start(static_cast<int>(options.sampleInterval * 1000.0));
        }
        // The button's commit: the activity runs inside it until stopped.
        if (button == PANEL_BTNVideo) {
            CC_BTNVideo(pHandle, button, EVENT_COMMIT, nullptr, 0, 0);
        } else {
            CC_BTNRun(pHandle, button, EVENT_COMMIT, nullptr, 0, 0);
        }
        sampler.stop();
        Close();
    };
    probe.onDisplay = [&](int panel) {
        if (panel == pHandle) {
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
    if (echoB.taken) {
        EmitWindow("echo", echoA, echoB, probe);
    }
    if (s == "memory" && !rss.empty()) {
        const Memory m = ProcessMemory();
        Emit("rss_warm_kib", static_cast<double>(rssWarm));
        Emit("rss_end_kib", static_cast<double>(rss.back()));
        Emit("rss_max_kib", static_cast<double>(*std::max_element(rss.begin(), rss.end())));
        Emit("hwm_kib", static_cast<double>(m.hwmKiB));
        Emit("samples", static_cast<double>(rss.size()));
    }
    std::fflush(stdout);
    return rc;
}

} // namespace korven::bench
