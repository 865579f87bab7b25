// Headless back end: serial ports, their queues and receive notifications.
#include "runtime/headless/internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace korven::rt::headless {

using namespace detail;

// ---- Serial ---------------------------------------------------------------------

namespace {
constexpr int kMinPort = 1;
constexpr int kMaxPort = 255;

Port* FindPort(HeadlessBackend::Impl& impl, int port) {
    auto it = impl.ports.find(port);
    return it == impl.ports.end() ? nullptr : it->second.get();
}

bool ValidPort(int port) {
    return port >= kMinPort && port <= kMaxPort;
}

Port& EnsurePort(HeadlessBackend& b, HeadlessBackend::Impl& impl, int number) {
    auto& slot = impl.ports[number];
    if (!slot) {
        slot = std::make_unique<Port>(b, number);
    }
    return *slot;
}

// The open port with this number, or the error code for the call.
Port* OpenPort(HeadlessBackend::Impl& impl, int number, int& rc) {
    if (!ValidPort(number)) {
        rc = kComInvalidPortNumber;
        return nullptr;
    }
    Port* p = FindPort(impl, number);
    if (p == nullptr || !p->open) {
        rc = kComPortNotOpen;
        return nullptr;
    }
    rc = 0;
    return p;
}
} // namespace

void HeadlessBackend::attachPeer(int port, SerialPeer* peer) {
    if (!ValidPort(port)) {
        return;
    }
    EnsurePort(*this, *impl_, port).peer = peer;
}

void HeadlessBackend::setOpenError(int port, int code) {
    if (!ValidPort(port)) {
        return;
    }
    EnsurePort(*this, *impl_, port).openError = code;
}

bool HeadlessBackend::portOpen(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr && p->open;
}

const std::vector<HostWrite>& HeadlessBackend::writes(int port) const {
    static const std::vector<HostWrite> kNone;
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->writes : kNone;
}

void HeadlessBackend::clearWrites(int port) {
    if (Port* p = FindPort(*impl_, port)) {
        p->writes.clear();
    }
}

int HeadlessBackend::inputQueueLength(int port) {
    Port* p = FindPort(*impl_, port);
    if (p == nullptr) {
        return 0;
    }
    advance(0.0);
    return static_cast<int>(p->inQ.size());
}

void HeadlessBackend::injectToHost(int port, double startTime,
                                   std::span<const std::uint8_t> bytes) {
    Port* p = FindPort(*impl_, port);
    if (p == nullptr || !p->open) {
        return; // nobody is listening on a closed port
    }
    const double base = std::max(startTime, p->inLineFree);
    const double bt = options_.byteTime;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        p->toHost.push_back({base + static_cast<double>(k + 1) * bt, bytes[k]});
    }
    p->inLineFree = base + static_cast<double>(bytes.size()) * bt;
}

bool HeadlessBackend::notificationInstalled(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr && p->open && p->mask != 0 && p->fn != nullptr;
}

int HeadlessBackend::notificationMask(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->mask : 0;
}

int HeadlessBackend::notificationCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->notifyCount : 0;
}

int HeadlessBackend::notificationCalls(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->receiveCalls : 0;
}

const std::vector<NotificationCall>& HeadlessBackend::notifications(int port) const {
    static const std::vector<NotificationCall> kNone;
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->calls : kNone;
}

double HeadlessBackend::comTimeout(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->timeout : kDefaultComTimeout;
}

ComSettings HeadlessBackend::comSettings(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->settings : ComSettings{};
}

int HeadlessBackend::openCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->opens : 0;
}

int HeadlessBackend::closeCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->closes : 0;
}

int HeadlessBackend::openCom(int port, const ComSettings& settings) {
    if (!ValidPort(port)) {
        return kComInvalidPortNumber;
    }
    Port& p = EnsurePort(*this, *impl_, port);
    if (p.openError != 0) {
        return p.openError;
    }
    if (p.peer == nullptr) {
        return kComNoSerialPort;
    }
    if (settings.baudRate <= 0 || settings.parity < 0 || settings.parity > 4 ||
        settings.dataBits < 5 || settings.dataBits > 8 || settings.stopBits < 1 ||
        settings.stopBits > 2 || settings.inputQueueSize < 0 || settings.outputQueueSize < 0) {
        return kComInvalidParameter;
    }
    // Opening again re-opens: the old queues and notification go.
    p.clearLine();
    p.mask = 0;
    p.fn = nullptr;
    p.data = nullptr;
    p.open = true;
    p.settings = settings;
    p.timeout = kDefaultComTimeout;
    p.ctsMode = 0;
    p.outLineFree = p.inLineFree = now_;
    ++p.opens;
    p.peer->onHostOpen(now_);
    return 0;
}

int HeadlessBackend::closeCom(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    p->clearLine();
    p->mask = 0;
    p->fn = nullptr;
    p->data = nullptr;
    p->open = false;
    ++p->closes;
    if (p->peer != nullptr) {
        p->peer->onHostClose(now_);
    }
    return 0;
}

int HeadlessBackend::setComTime(int port, double seconds) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
        return kComInvalidParameter;
    }
    p->timeout = seconds;
    return 0;
}

int HeadlessBackend::setCTSMode(int port, int mode) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    p->ctsMode = mode;
    return 0;
}

int HeadlessBackend::installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                        ComCallbackPtr fn, void* data) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    if (eventMask == 0 || fn == nullptr) {
        p->mask = 0;
        p->fn = nullptr;
        p->data = nullptr;
    } else {
        p->mask = eventMask;
        p->fn = fn;
        p->data = data;
    }
    p->notifyCount = std::max(1, notifyCount);
    p->eventChar = eventChar;
    // Only what happens from now on is reported.
    p->charSeen = false;
    p->txEmpty = false;
    return 0;
}

int HeadlessBackend::flushInQ(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    p->inQ.clear();
    p->newBytes = false;
    p->charSeen = false;
    return 0;
}

int HeadlessBackend::flushOutQ(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    p->toPeer.clear();
    p->outLineFree = now_;
    return 0;
}

int HeadlessBackend::comWrt(int port, std::span<const std::uint8_t> bytes) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    const std::size_t room =
        p->outCapacity() > p->toPeer.size() ? p->outCapacity() - p->toPeer.size() : 0;
    const std::size_t n = std::min(room, bytes.size());
    if (n == 0 && !bytes.empty()) {
        return kComTimeout;
    }
    HostWrite w;
    w.time = now_;
    w.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    p->writes.push_back(std::move(w));
    const double bt = options_.byteTime;
    double t = std::max(now_, p->outLineFree);
    for (std::size_t k = 0; k < n; ++k) {
        t += bt;
        p->toPeer.push_back({t, bytes[k]});
    }
    p->outLineFree = t;
    if (n > 0) {
        p->txEmpty = false;
    }
    advance(0.0); // an instant line delivers at once
    return static_cast<int>(n);
}

int HeadlessBackend::comRd(int port, std::span<std::uint8_t> buffer) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    const std::size_t want = buffer.size();
    const double deadline = now_ + p->timeout;
    // Wait (without events) for the bytes still on the line, jumping from
    // one arrival to the next, until enough are here or the time is up.
    while (p->inQ.size() < want && p->open) {
        double next = std::numeric_limits<double>::infinity();
        if (!p->toPeer.empty()) {
            next = std::min(next, p->toPeer.front().time);
        }
        if (!p->toHost.empty()) {
            next = std::min(next, p->toHost.front().time);
        }
        if (next > deadline) {
            if (deadline > now_) {
                advance(deadline - now_);
            }
            break;
        }
        if (next > now_) {
            advance(next - now_);
        } else {
            advance(0.0);
        }
    }
    const std::size_t n = std::min(want, p->inQ.size());
    for (std::size_t k = 0; k < n; ++k) {
        buffer[k] = p->inQ.front();
        p->inQ.pop_front();
    }
    return static_cast<int>(n);
}

int HeadlessBackend::getInQLen(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    return static_cast<int>(p->inQ.size());
}

} // namespace korven::rt::headless
