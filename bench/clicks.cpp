#include "bench/clicks.h"

#include "bench/bench_common.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>

namespace korven::bench {

namespace {

using Phase = ProbeBackend::LinePhase;

// Press and release of the left button near the control's left edge (on a
// spin box: its text, not its arrows), delivered to the widget as the
// window system's input is once it has been taken from the queue.
void ClickOn(QWidget* w) {
    const QPointF at(4.0, w->height() / 2.0);
    const QPointF global = w->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(w, &release);
}

// Nearest rank; `v` sorted, not empty.
double Percentile(const std::vector<double>& v, double q) {
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

} // namespace

Clicks::Clicks(const ProbeBackend& probe, QWidget* target)
    : probe_(probe), target_(target),
      schedstat_("/proc/self/task/" + std::to_string(::gettid()) + "/schedstat") {}

Clicks::~Clicks() {
    stop();
}

void Clicks::start() {
    if (target_ != nullptr && !thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

void Clicks::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

double Clicks::guiThreadWaited() const {
    // CPU time, time waited on a run queue (both ns), time slices; 0 when
    // the kernel keeps no such statistics.
    std::ifstream in(schedstat_);
    long long cpu = 0, waited = 0;
    in >> cpu >> waited;
    return in ? static_cast<double>(waited) * 1e-9 : 0.0;
}

void Clicks::callbackStarted() {
    const double now = MonotonicNow();
    const double waited = guiThreadWaited();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++started_;
        startedAt_ = now;
        startedWaited_ = waited;
    }
    changed_.notify_all();
}

void Clicks::run() {
    // Pauses of 2 to 20 ms between a callback and the next click put the
    // clicks at random places of the program's cycles.
    std::mt19937 rng(18);
    std::uniform_real_distribution<double> pause(0.002, 0.020);
    std::unique_lock<std::mutex> lock(mutex_);
    // Each click brings one callback: the n-th callback is the n-th click's
    // (a click given up on still takes its callback when it comes late).
    long clicks = started_;
    while (!changed_.wait_for(lock, std::chrono::duration<double>(pause(rng)),
                              [this] { return stopping_; })) {
        const Phase phase = probe_.linePhase();
        const double waited = guiThreadWaited();
        const double posted = MonotonicNow();
        const long number = ++clicks;
        lock.unlock();
        QWidget* w = target_;
        QMetaObject::invokeMethod(
            w, [w] { ClickOn(w); }, Qt::QueuedConnection);
        lock.lock();
        changed_.wait_for(lock, std::chrono::seconds(2),
                          [&] { return stopping_ || started_ >= number; });
        if (started_ >= number) {
            samples_.push_back({phase, startedAt_ - posted, startedWaited_ - waited});
        } else if (!stopping_) {
            ++lost_;
        }
    }
}

void Clicks::print() const {
    std::lock_guard<std::mutex> lock(mutex_);
    static constexpr std::pair<const char*, int> kGroups[] = {
        {"all", -1},
        {"other", static_cast<int>(Phase::Other)},
        {"answer", static_cast<int>(Phase::Answer)},
        {"block", static_cast<int>(Phase::Block)},
        {"afterblock", static_cast<int>(Phase::AfterBlock)},
    };
    for (const auto& [name, phase] : kGroups) {
        std::vector<double> ms, own;
        for (const Sample& c : samples_) {
            if (phase < 0 || static_cast<int>(c.phase) == phase) {
                ms.push_back(1000.0 * c.latency);
                // A wait already running at the click is counted whole when
                // it ends: never below zero.
                own.push_back(1000.0 * std::max(0.0, c.latency - c.waited));
            }
        }
        if (ms.empty()) {
            continue;
        }
        std::sort(ms.begin(), ms.end());
        std::sort(own.begin(), own.end());
        std::printf("click_%s_n %zu\n", name, ms.size());
        std::printf("click_%s_p50_ms %.9g\n", name, Percentile(ms, 0.50));
        std::printf("click_%s_p99_ms %.9g\n", name, Percentile(ms, 0.99));
        std::printf("click_%s_max_ms %.9g\n", name, ms.back());
        std::printf("click_%s_own_p99_ms %.9g\n", name, Percentile(own, 0.99));
        std::printf("click_%s_own_max_ms %.9g\n", name, own.back());
    }
    std::printf("click_lost %ld\n", lost_);
}

} // namespace korven::bench
