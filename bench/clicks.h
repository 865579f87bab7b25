// The operator's clicks for the responsiveness figures. A thread of its own
// posts a mouse click on one control into the program's event queue at
// random moments, as the window system's input would come, and waits until
// the control's callback starts; the time between the two is the click's
// latency, filed under what the program was doing on the line when the
// click came. One click at a time, so none waits behind another.
//
// On a shared machine part of a latency is the time the program's GUI
// thread waited for a core; the scheduler's statistics of the thread give
// it, and the figures are also printed without it (the program's own part).
#pragma once

#include "bench/probe_backend.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QWidget;

namespace korven::bench {

class Clicks {
  public:
    // `target` is the control's widget; its callback must be watched
    // through the probe (watchControl) and report to callbackStarted().
    // Made on the GUI thread.
    Clicks(const ProbeBackend& probe, QWidget* target);
    ~Clicks();
    Clicks(const Clicks&) = delete;
    Clicks& operator=(const Clicks&) = delete;

    void start();
    void stop();
    // On the GUI thread, at the start of the target's callback for a click.
    void callbackStarted();
    // "key value" lines: click_<phase>_n, _p50_ms, _p99_ms, _max_ms and
    // _own_p99_ms, _own_max_ms (less the waits for a core) for all clicks and
    // for each line phase, and click_lost (no callback within 2 s).
    void print() const;

  private:
    struct Sample {
        ProbeBackend::LinePhase phase;
        double latency; // seconds
        double waited;  // of them, the GUI thread waiting for a core
    };
    void run();
    double guiThreadWaited() const;

    const ProbeBackend& probe_;
    QWidget* target_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    const std::string schedstat_; // the GUI thread's scheduler statistics
    long started_ = 0;            // callbacks started
    double startedAt_ = 0.0;      // monotonic time of the latest
    double startedWaited_ = 0.0;  // guiThreadWaited() then
    std::vector<Sample> samples_;
    long lost_ = 0;
};

} // namespace korven::bench
