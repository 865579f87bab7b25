#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_device.h"
#include "runtime/qt/qt_serial_internal.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace korven::rt::qt {

namespace {

using detail::Entry;
using detail::kMaxPortNumber;
using detail::kRescanMs;
using detail::Permitted;

constexpr double kDefaultTimeout = 5.0;
constexpr qsizetype kMinQueue = 64;
// Bound on notifications per port and pass, so that a flood of bytes cannot
// keep one pass busy forever.
constexpr int kMaxNotificationsPerPass = 256;
// With no receive notification to complete, the bytes coming in are looked
// at in batches of about this many byte times: a poll of the queue length
// sees them about two milliseconds late at most, and a block of bytes costs
// a wake-up per batch rather than one per byte.
constexpr int kBatchBytes = 5;

qint64 Millis(double seconds) {
    if (!(seconds > 0.0)) {
        return 0;
    }
    return static_cast<qint64>(std::ceil(std::min(seconds, 86400.0) * 1000.0));
}

} // namespace

struct SerialPorts::Port {
    int number = 0;
    QString device;                     // what it opened last
    std::unique_ptr<SerialDevice> line; // null while closed
    QTimer later;                       // looks at the line again after a pause in watching it
    QByteArray in;                      // our input queue
    qsizetype queueLimit = 4096;
    double timeout = kDefaultTimeout;
    double byteSeconds = 10.0 / 19200.0; // start, data, parity and stop bits
    // receive notification
    int mask = 0;
    int count = 0;
    int eventChar = 0;
    ComCallbackPtr fn = nullptr;
    void* data = nullptr;
    bool inCallback = false;
    // Stream positions: bytes ever queued, ever taken out, and the end of
    // the bytes already announced by a notification.
    std::int64_t received = 0;
    std::int64_t removedTotal = 0;
    std::int64_t notifiedEnd = 0;

    bool notifying() const { return fn != nullptr && (mask & LWRS_RECEIVE) != 0 && count >= 1; }
    // Bytes still missing for the next notification; 0 when none is due.
    std::int64_t missing() const {
        if (!notifying()) {
            return 0;
        }
        const std::int64_t base = std::max(notifiedEnd, removedTotal);
        return std::max<std::int64_t>(0, base + count - received);
    }
    void forgetNotification() {
        mask = 0;
        fn = nullptr;
        data = nullptr;
    }
};

SerialPorts::SerialPorts(QObject* parent) : QObject(parent) {
    for (Found& f : scan()) {
        const int n = static_cast<int>(known_.size()) + 1;
        known_[n] = Adapter(Entry(n, f.device, f.description), f.serial, f.stable);
    }
    rescan(); // permissions
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &SerialPorts::rescan);
    timer->start(kRescanMs);
}

SerialPorts::~SerialPorts() {
    for (auto& [number, port] : ports_) {
        shut(*port);
    }
    // Tries to reach network ports end here, not while the children go.
    for (auto& [address, reach] : reach_) {
        if (reach->trying) {
            reach->trying->disconnect();
            delete reach->trying.data();
        }
    }
}

SerialPorts::Port* SerialPorts::openPort(int number) const {
    auto it = ports_.find(number);
    if (it == ports_.end() || !it->second->line) {
        return nullptr;
    }
    return it->second.get();
}

bool SerialPorts::isOpen(int number) const {
    return openPort(number) != nullptr;
}

int SerialPorts::open(int number, const ComSettings& settings) {
    if (number < 1 || number > kMaxPortNumber) {
        return kComInvalidPortNumber;
    }
    QString device = deviceFor(number);
    const QString named = QString::fromStdString(settings.deviceName);
    if (named.startsWith(QLatin1Char('/'))) {
        device = named;
    }
    // A network port whose server went away fails at once: whether it is
    // back shows by the port list's attempts to connect, not by this one.
    const bool address = detail::IsAddress(device);
    if (device.isEmpty() || !present(device)) {
        return kComNoSerialPort;
    }
    // A network server says itself which speeds its line takes.
    const bool speed = address ? settings.baudRate > 0 && settings.baudRate <= 0x7fffffff
                               : SerialDevice::SpeedSupported(settings.baudRate);
    if (settings.dataBits < 5 || settings.dataBits > 8 || settings.parity < 0 ||
        settings.parity > 4 || !speed || (settings.stopBits != 1 && settings.stopBits != 2)) {
        return kComInvalidParameter;
    }

    auto& slot = ports_[number];
    if (!slot) {
        slot = std::make_unique<Port>();
        slot->number = number;
        slot->later.setSingleShot(true);
        slot->later.setTimerType(Qt::PreciseTimer);
        Port* p = slot.get();
        connect(&p->later, &QTimer::timeout, this, [this, p] { onReadable(*p); });
    }
    Port& p = *slot;
    shut(p);
    p.in.clear();
    p.received = p.removedTotal = p.notifiedEnd = 0;
    p.forgetNotification();
    p.queueLimit = std::max<qsizetype>(settings.inputQueueSize, kMinQueue);
    p.byteSeconds = (1.0 + settings.dataBits + (settings.parity != 0 ? 1 : 0) + settings.stopBits) /
                    static_cast<double>(settings.baudRate);

    int error = 0;
    QString reason;
    p.device = device;
    if (address) {
        p.line = detail::OpenNetworkPort(device, settings, this, &error, &reason,
                                         std::move(reach_[device]->connection));
    } else {
        p.line = SerialDevice::Open(device, settings, this, &error);
    }
    if (auto it = known_.find(number); it != known_.end() && it->second.reason != reason) {
        it->second.reason = reason;
        emit portsChanged();
    }
    if (!p.line) {
        if (!reason.isEmpty()) {
            qWarning("%s", qPrintable(reason));
        }
        if (address && error == kComNoSerialPort) {
            unreachable(device);
        }
        if (auto it = known_.find(number); error == kComCannotOpenPort && it != known_.end() &&
                                           it->second.entry.device == device) {
            PortEntry& e = it->second.entry;
            QString group;
            if (!Permitted(device, &group) && (e.permitted || e.group != group)) {
                e.permitted = false;
                e.group = group;
                emit portsChanged();
            }
        }
        return error;
    }
    p.line->onReadable = [this, pp = &p] { onReadable(*pp); };
    if (auto it = known_.find(number); it != known_.end()) {
        it->second.lost = false;
    }
    return 0;
}

void SerialPorts::shut(Port& p) {
    p.later.stop();
    p.line.reset();
}

int SerialPorts::close(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    shut(*p);
    p->in.clear();
    p->forgetNotification();
    return 0;
}

int SerialPorts::setTimeout(int number, double seconds) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    if (!(seconds >= 0.0)) {
        return kComInvalidParameter;
    }
    p->timeout = seconds;
    return 0;
}

int SerialPorts::setCtsMode(int number, int mode) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    if (mode != 0 && mode != 1) {
        return kComInvalidParameter;
    }
    return p->line->setCtsFlow(mode == 1) ? 0 : kComUnknownIOError;
}

int SerialPorts::installCallback(int number, int eventMask, int notifyCount, int eventChar,
                                 ComCallbackPtr fn, void* data) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    if (eventMask == 0 || fn == nullptr) {
        p->forgetNotification();
        return 0;
    }
    if ((eventMask & LWRS_RECEIVE) != 0 && (notifyCount < 1 || notifyCount > p->queueLimit)) {
        return kComInvalidParameter;
    }
    p->mask = eventMask;
    p->count = notifyCount;
    p->eventChar = eventChar;
    p->fn = fn;
    p->data = data;
    // Bytes already waiting count as new for the fresh notification.
    p->notifiedEnd = p->removedTotal;
    // What the line is watched for has changed: look at it again now.
    p->later.stop();
    p->line->setWatching(true);
    postCheck();
    return 0;
}

bool SerialPorts::fill(Port& p) {
    std::array<char, 4096> chunk{};
    for (;;) {
        const std::ptrdiff_t got = p.line->readSome(chunk.data(), chunk.size());
        if (got < 0) {
            hangUp(p);
            return false;
        }
        if (got == 0) {
            return true;
        }
        // A full input queue drops what does not fit, like a UART overrun.
        const qsizetype space = std::max<qsizetype>(0, p.queueLimit - p.in.size());
        const qsizetype take = std::min<qsizetype>(space, got);
        p.in.append(chunk.data(), take);
        p.received += take;
        // A short read took all the system held: asking again would only
        // find nothing (and cost a look for a hang-up besides).
        if (static_cast<std::size_t>(got) < chunk.size()) {
            return true;
        }
    }
}

void SerialPorts::watch(Port& p) {
    // Bytes come in one after the other at the line's pace; waking for each
    // would cost a pass of the event loop per byte. Watching pauses until
    // the bytes the notification still waits for can have arrived (or a
    // short batch of bytes when there is none), then the line is looked at
    // again. The queue length counts the bytes the system holds meanwhile.
    // The pause ends a byte early, so that the last byte of a frame wakes
    // the program as it arrives rather than up to a timer's tick later.
    const std::int64_t missing = p.notifying() ? p.missing() : kBatchBytes;
    const int pauseMs = static_cast<int>(static_cast<double>(missing - 1) * p.byteSeconds * 1000.0);
    if (pauseMs < 1) {
        p.line->setWatching(true);
        return;
    }
    p.line->setWatching(false);
    p.later.start(pauseMs);
}

void SerialPorts::onReadable(Port& p) {
    if (!p.line) {
        return;
    }
    const std::int64_t before = p.received;
    if (!fill(p)) {
        return;
    }
    if (p.received == before) {
        // Nothing new: watch for the next byte.
        p.line->setWatching(true);
        return;
    }
    watch(p);
    if (p.notifying() && p.missing() == 0) {
        postCheck();
    }
}

void SerialPorts::removed(Port& p, qsizetype count) {
    p.removedTotal += count;
}

int SerialPorts::flushIn(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    p->line->flushIn();
    removed(*p, p->in.size());
    p->in.clear();
    p->later.stop();
    p->line->setWatching(true);
    return 0;
}

int SerialPorts::flushOut(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    p->line->flushOut();
    return 0;
}

int SerialPorts::write(int number, std::span<const std::uint8_t> bytes) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    const SerialDevice::Written w =
        p->line->write(bytes.data(), bytes.size(), std::max<qint64>(Millis(p->timeout), 50));
    if (w.end == SerialDevice::WriteEnd::HungUp) {
        hangUp(*p);
        return kComPortNotOpen;
    }
    if (w.count == 0 && !bytes.empty()) {
        return w.end == SerialDevice::WriteEnd::Failed ? kComUnknownIOError : kComTimeout;
    }
    return static_cast<int>(w.count);
}

int SerialPorts::read(int number, std::span<std::uint8_t> buffer) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    const qsizetype want = static_cast<qsizetype>(buffer.size());
    const QDeadlineTimer deadline(Millis(p->timeout));
    bool open = fill(*p);
    while (open && p->in.size() < want && !deadline.hasExpired()) {
        p->line->waitReadable(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
        open = fill(*p);
    }
    const qsizetype take = std::min(want, p->in.size());
    if (take > 0) {
        std::memcpy(buffer.data(), p->in.constData(), static_cast<std::size_t>(take));
        p->in.remove(0, take);
        removed(*p, take);
    }
    if (p->in.size() > 0) {
        postCheck();
    }
    return static_cast<int>(take);
}

int SerialPorts::inQueueLength(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    // The bytes already read and those the system still holds, without
    // reading them: a partial frame is visible as it comes in.
    const int held = p->line->held();
    if (held < 0) {
        hangUp(*p);
        return kComPortNotOpen;
    }
    return static_cast<int>(std::min<qsizetype>(p->in.size() + held, p->queueLimit));
}

void SerialPorts::postCheck() {
    if (checkPosted_) {
        return;
    }
    checkPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            checkPosted_ = false;
            deliverNotifications();
        },
        Qt::QueuedConnection);
}

bool SerialPorts::deliverNotifications() {
    // Callbacks may open or close ports: walk by number, not by iterator.
    std::vector<int> numbers;
    for (const auto& [number, port] : ports_) {
        numbers.push_back(number);
    }
    bool any = false;
    for (int number : numbers) {
        for (int pass = 0; pass < kMaxNotificationsPerPass; ++pass) {
            Port* p = openPort(number);
            if (!p || p->inCallback || !p->notifying()) {
                break;
            }
            // Bytes still on their way are not looked for here: the line's
            // watcher (or the end of its pause) reads them as they come, so
            // an event pass costs no read of an idle line.
            if (p->missing() > 0 || p->in.size() < p->count) {
                break;
            }
            p->notifiedEnd = std::max(p->notifiedEnd, p->removedTotal) + p->count;
            ComCallbackPtr fn = p->fn;
            void* data = p->data;
            p->inCallback = true;
            fn(number, LWRS_RECEIVE, data);
            p->inCallback = false; // ports are never freed while we run
            any = true;
        }
    }
    return any;
}

void SerialPorts::hangUp(Port& p) {
    // The device went away (unplugged adapter, closed pty): close it so its
    // notifier stops firing; later calls report a closed port.
    shut(p);
    p.in.clear();
    p.forgetNotification();
    if (detail::IsAddress(p.device)) {
        unreachable(p.device);
    }
    lost(p.number);
}

} // namespace korven::rt::qt
