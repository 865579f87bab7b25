// The headless back end: in-memory panels, recorded graphs, a virtual clock
// and serial lines to in-process peers. This file holds the virtual clock,
// line delivery, scheduling, the event loop and the file dialogs.
#include "runtime/headless/internal.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace korven::rt::headless {

using namespace detail;

HeadlessBackend::HeadlessBackend(HeadlessOptions options)
    : impl_(std::make_unique<Impl>()), options_(std::move(options)) {}

HeadlessBackend::~HeadlessBackend() {
    // Never leave a dangling back end installed.
    if (CurrentBackend() == this) {
        SetBackend(nullptr);
    }
}

// ---- Virtual clock and line delivery ----------------------------------------

namespace {

// Hands the bytes that have fully crossed the line by time t to their
// receivers: host bytes to the peer (byte by byte, so that a peer sees the
// exact time each frame ends), peer bytes into the input queue.
void DeliverPort(Port& p, double t) {
    while (!p.toPeer.empty() && p.toPeer.front().time <= t) {
        const double at = p.toPeer.front().time;
        std::vector<std::uint8_t> piece;
        while (!p.toPeer.empty() && p.toPeer.front().time == at) {
            piece.push_back(p.toPeer.front().byte);
            p.toPeer.pop_front();
        }
        if (p.toPeer.empty()) {
            p.txEmpty = true;
        }
        if (p.peer != nullptr) {
            p.peer->onReceive(at, piece, p.link);
        }
    }
    while (!p.toHost.empty() && p.toHost.front().time <= t) {
        const std::uint8_t b = p.toHost.front().byte;
        p.toHost.pop_front();
        if (p.inQ.size() >= p.inCapacity()) {
            continue; // input queue full: the byte is lost, as on a real port
        }
        p.inQ.push_back(b);
        p.newBytes = true;
        if (b == static_cast<std::uint8_t>(p.eventChar & 0xFF)) {
            p.charSeen = true;
        }
    }
}

// The events the port's notification would be called with now.
int DueEvents(const Port& p) {
    if (!p.open || p.fn == nullptr || p.mask == 0 || p.running) {
        return 0;
    }
    int events = 0;
    if ((p.mask & LWRS_RECEIVE) && p.newBytes &&
        p.inQ.size() >= static_cast<std::size_t>(std::max(1, p.notifyCount))) {
        events |= LWRS_RECEIVE;
    }
    if ((p.mask & LWRS_RXFLAG) && p.charSeen) {
        events |= LWRS_RXFLAG;
    }
    if ((p.mask & LWRS_TXEMPTY) && p.txEmpty) {
        events |= LWRS_TXEMPTY;
    }
    return events;
}

} // namespace

void HeadlessBackend::advance(double seconds) {
    if (seconds > 0.0) {
        now_ += seconds;
    }
    for (auto& [number, port] : impl_->ports) {
        DeliverPort(*port, now_);
    }
}

double HeadlessBackend::timer() {
    const double t = now_;
    advance(options_.timerTick);
    return t;
}

void HeadlessBackend::delay(double seconds) {
    advance(seconds);
}

std::string HeadlessBackend::projectDir() {
    return options_.projectDir;
}

std::string HeadlessBackend::setting(const std::string& key) {
    const auto it = settings_.find(key);
    return it != settings_.end() ? it->second : std::string();
}

int HeadlessBackend::initRuntime() {
    return failInit_ ? 0 : 1;
}

// ---- Scheduling and events -------------------------------------------------------

void HeadlessBackend::at(double t, std::function<void()> action) {
    impl_->schedule.push_back({t, impl_->seq++, std::move(action)});
}

int HeadlessBackend::processSystemEvents() {
    ++passes_;
    advance(options_.passStep);

    // Actions that are due, oldest first; each is taken off the queue before
    // it runs, because it may process events itself. Actions scheduled
    // during this pass wait for the next one.
    const std::uint64_t limit = impl_->seq;
    for (;;) {
        auto& s = impl_->schedule;
        auto best = s.end();
        for (auto it = s.begin(); it != s.end(); ++it) {
            if (it->time <= now_ && it->seq < limit &&
                (best == s.end() || it->time < best->time ||
                 (it->time == best->time && it->seq < best->seq))) {
                best = it;
            }
        }
        if (best == s.end()) {
            break;
        }
        std::function<void()> action = std::move(best->action);
        s.erase(best);
        action();
    }

    // Serial notifications, one call per port with the events OR-ed.
    for (auto& [number, port] : impl_->ports) {
        Port& p = *port;
        const int events = DueEvents(p);
        if (events == 0) {
            continue;
        }
        if (events & LWRS_RECEIVE) {
            p.newBytes = false;
        }
        if (events & LWRS_RXFLAG) {
            p.charSeen = false;
        }
        if (events & LWRS_TXEMPTY) {
            p.txEmpty = false;
        }
        p.running = true;
        p.calls.push_back({now_, events});
        if (events & LWRS_RECEIVE) {
            ++p.receiveCalls;
        }
        p.fn(number, events, p.data);
        p.running = false;
    }
    return 0;
}

int HeadlessBackend::runUserInterface() {
    quit_ = false;
    const double start = now_;
    for (;;) {
        if (quit_) {
            return quitCode_;
        }
        if (now_ - start >= loopLimit_) {
            return -1;
        }
        bool lineBusy = false;
        bool notifyDue = false;
        for (auto& [number, port] : impl_->ports) {
            lineBusy = lineBusy || !port->toPeer.empty() || !port->toHost.empty();
            notifyDue = notifyDue || DueEvents(*port) != 0;
        }
        if (!lineBusy && !notifyDue) {
            if (impl_->schedule.empty()) {
                return -1;
            }
            // Idle: nothing can happen before the next scheduled action.
            double next = impl_->schedule.front().time;
            for (const auto& s : impl_->schedule) {
                next = std::min(next, s.time);
            }
            if (next - start > loopLimit_) {
                now_ = std::max(now_, start + loopLimit_);
                return -1;
            }
            if (next - options_.passStep > now_) {
                now_ = next - options_.passStep;
            }
        }
        processSystemEvents();
    }
}

int HeadlessBackend::quitUserInterface(int code) {
    quit_ = true;
    quitCode_ = code;
    return 0;
}

// ---- File dialogs ---------------------------------------------------------------

void HeadlessBackend::queueFileDialog(FileDialogResult result) {
    impl_->dialogResults.push_back(std::move(result));
}

FileDialogResult HeadlessBackend::fileSelectPopup(const FileDialogRequest& request) {
    dialogs_.push_back(request);
    if (impl_->dialogResults.empty()) {
        return FileDialogResult{VAL_NO_FILE_SELECTED, {}};
    }
    FileDialogResult r = std::move(impl_->dialogResults.front());
    impl_->dialogResults.pop_front();
    return r;
}

// ---- ScopedHeadless -------------------------------------------------------------

ScopedHeadless::ScopedHeadless(HeadlessOptions options) : bed_(std::move(options)) {
    previous_ = SetBackend(&bed_);
}

ScopedHeadless::~ScopedHeadless() {
    SetBackend(previous_);
}

} // namespace korven::rt::headless
