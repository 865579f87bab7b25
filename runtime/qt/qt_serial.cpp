#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_internal.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <poll.h>

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

qint64 Millis(double seconds) {
    if (!(seconds > 0.0)) {
        return 0;
    }
    return static_cast<qint64>(std::ceil(std::min(seconds, 86400.0) * 1000.0));
}

} // namespace

struct SerialPorts::Port {
    int number = 0;
    std::unique_ptr<QSerialPort> sp;
    QByteArray in; // our input queue
    qsizetype queueLimit = 4096;
    double timeout = kDefaultTimeout;
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
    bool polling = false;
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
        if (port->sp && port->sp->isOpen()) {
            port->sp->close();
        }
    }
}

SerialPorts::Port* SerialPorts::openPort(int number) const {
    auto it = ports_.find(number);
    if (it == ports_.end() || !it->second->sp || !it->second->sp->isOpen()) {
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
    if (device.isEmpty() || !QFileInfo::exists(device)) {
        return kComNoSerialPort;
    }
    QSerialPort::DataBits dataBits{};
    switch (settings.dataBits) {
    case 5:
        dataBits = QSerialPort::Data5;
        break;
    case 6:
        dataBits = QSerialPort::Data6;
        break;
    case 7:
        dataBits = QSerialPort::Data7;
        break;
    case 8:
        dataBits = QSerialPort::Data8;
        break;
    default:
        return kComInvalidParameter;
    }
    static constexpr QSerialPort::Parity kParity[] = {
        QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    if (settings.parity < 0 || settings.parity > 4 || settings.baudRate <= 0 ||
        settings.baudRate > 4000000 || (settings.stopBits != 1 && settings.stopBits != 2)) {
        return kComInvalidParameter;
    }

    auto& slot = ports_[number];
    if (!slot) {
        slot = std::make_unique<Port>();
        slot->number = number;
        slot->sp = std::make_unique<QSerialPort>();
        Port* p = slot.get();
        connect(p->sp.get(), &QSerialPort::readyRead, this, [this, p] {
            drain(*p);
            postCheck();
        });
        connect(p->sp.get(), &QSerialPort::errorOccurred, this,
                [this, p](QSerialPort::SerialPortError e) { onError(*p, static_cast<int>(e)); });
    }
    Port& p = *slot;
    if (p.sp->isOpen()) {
        p.sp->close();
    }
    p.in.clear();
    p.received = p.removedTotal = p.notifiedEnd = 0;
    p.mask = 0;
    p.fn = nullptr;
    p.data = nullptr;
    p.queueLimit = std::max<qsizetype>(settings.inputQueueSize, kMinQueue);

    // A stable name (/dev/serial/by-id/...) is a link: the device's own name
    // is what other programs open and lock.
    const QString real = QFileInfo(device).canonicalFilePath();
    p.sp->setPortName(real.isEmpty() ? device : real);
    if (!p.sp->open(QIODevice::ReadWrite)) {
        const auto error = p.sp->error();
        p.sp->clearError();
        if (auto it = known_.find(number);
            it != known_.end() && it->second.entry.device == device) {
            // Qt reports a device locked by another program as a permission
            // error too; only a refused access is the user's rights.
            PortEntry& e = it->second.entry;
            QString group;
            if (!Permitted(device, &group) && (e.permitted || e.group != group)) {
                e.permitted = false;
                e.group = group;
                emit portsChanged();
            }
        }
        return error == QSerialPort::DeviceNotFoundError ? kComNoSerialPort : kComCannotOpenPort;
    }
    const bool ok =
        p.sp->setBaudRate(static_cast<qint32>(settings.baudRate)) && p.sp->setDataBits(dataBits) &&
        p.sp->setParity(kParity[settings.parity]) &&
        p.sp->setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
        p.sp->setFlowControl(QSerialPort::NoFlowControl);
    if (!ok) {
        p.sp->close();
        return kComInvalidParameter;
    }
    if (auto it = known_.find(number); it != known_.end()) {
        it->second.lost = false;
    }
    remember(number);
    return 0;
}

int SerialPorts::close(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    p->sp->close();
    p->in.clear();
    p->mask = 0;
    p->fn = nullptr;
    p->data = nullptr;
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
    p->sp->setFlowControl(mode == 1 ? QSerialPort::HardwareControl : QSerialPort::NoFlowControl);
    return 0;
}

int SerialPorts::installCallback(int number, int eventMask, int notifyCount, int eventChar,
                                 ComCallbackPtr fn, void* data) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    if (eventMask == 0 || fn == nullptr) {
        p->mask = 0;
        p->fn = nullptr;
        p->data = nullptr;
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
    postCheck();
    return 0;
}

void SerialPorts::drain(Port& p) {
    if (!p.sp->isOpen()) {
        return;
    }
    const QByteArray chunk = p.sp->readAll();
    if (chunk.isEmpty()) {
        return;
    }
    // A full input queue drops what does not fit, like a UART overrun.
    const qsizetype space = std::max<qsizetype>(0, p.queueLimit - p.in.size());
    const qsizetype take = std::min(space, chunk.size());
    p.in.append(chunk.constData(), take);
    p.received += take;
}

void SerialPorts::pull(Port& p) {
    if (!p.sp->isOpen() || p.polling) {
        return;
    }
    // Asks the system for bytes that arrived while no events were processed.
    p.polling = true;
    bool ask = p.sp->bytesAvailable() == 0;
#ifdef Q_OS_UNIX
    if (ask) {
        // Only when the system has something to say (bytes or a hang-up);
        // an empty poll through Qt would report a time-out error each time.
        pollfd fd{static_cast<int>(p.sp->handle()), POLLIN, 0};
        ask = ::poll(&fd, 1, 0) > 0 && fd.revents != 0;
    }
#endif
    if (ask) {
        p.sp->waitForReadyRead(0);
        if (p.sp->isOpen() && p.sp->error() == QSerialPort::TimeoutError) {
            p.sp->clearError();
        }
    }
    p.polling = false;
    drain(p);
}

void SerialPorts::removed(Port& p, qsizetype count) {
    p.removedTotal += count;
}

int SerialPorts::flushIn(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    p->sp->clear(QSerialPort::Input);
    p->sp->readAll(); // whatever Qt still holds
    removed(*p, p->in.size());
    p->in.clear();
    return 0;
}

int SerialPorts::flushOut(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    p->sp->clear(QSerialPort::Output);
    return 0;
}

int SerialPorts::write(int number, std::span<const std::uint8_t> bytes) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    if (bytes.empty()) {
        return 0;
    }
    const qint64 size = static_cast<qint64>(bytes.size());
    const qint64 queued = p->sp->write(reinterpret_cast<const char*>(bytes.data()), size);
    if (queued < 0) {
        return kComUnknownIOError;
    }
    QDeadlineTimer deadline(std::max<qint64>(Millis(p->timeout), 50));
    while (p->sp->isOpen() && p->sp->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!p->sp->waitForBytesWritten(static_cast<int>(deadline.remainingTime())) &&
            p->sp->isOpen() && p->sp->error() != QSerialPort::TimeoutError &&
            p->sp->error() != QSerialPort::NoError) {
            break;
        }
    }
    if (!p->sp->isOpen()) {
        return kComPortNotOpen;
    }
    const qint64 written = queued - p->sp->bytesToWrite();
    if (written <= 0) {
        return kComTimeout;
    }
    return static_cast<int>(written);
}

int SerialPorts::read(int number, std::span<std::uint8_t> buffer) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    const qsizetype want = static_cast<qsizetype>(buffer.size());
    QDeadlineTimer deadline(Millis(p->timeout));
    pull(*p);
    while (p->in.size() < want && p->sp->isOpen() && !deadline.hasExpired()) {
        const bool got = p->sp->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        drain(*p);
        if (!got && p->sp->isOpen() && p->sp->error() != QSerialPort::TimeoutError &&
            p->sp->error() != QSerialPort::NoError) {
            break; // a device error other than a plain time-out
        }
    }
    if (p->sp->isOpen() && p->sp->error() == QSerialPort::TimeoutError) {
        p->sp->clearError();
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
    pull(*p);
    return static_cast<int>(p->in.size());
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
            if (!p) {
                break;
            }
            pull(*p);
            if (p->inCallback || p->fn == nullptr || (p->mask & LWRS_RECEIVE) == 0 ||
                p->count < 1) {
                break;
            }
            const std::int64_t base = std::max(p->notifiedEnd, p->removedTotal);
            if (p->in.size() < p->count || p->received < base + p->count) {
                break;
            }
            p->notifiedEnd = base + p->count;
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

void SerialPorts::onError(Port& p, int error) {
    if (!p.sp->isOpen()) {
        return;
    }
    bool gone = error == QSerialPort::ResourceError;
#ifdef Q_OS_UNIX
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        // Qt also reports a resource error when a read notification finds
        // no bytes because we took them ourselves a moment earlier. Only a
        // hung-up line means the other side is gone (an unplugged adapter, a
        // pseudo-terminal whose master closed); anything else is cleared and
        // reading goes on, or a healthy line would be dropped mid-run.
        pollfd fd{static_cast<int>(p.sp->handle()), POLLIN, 0};
        gone = ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (!gone) {
            p.sp->clearError();
            p.sp->setReadBufferSize(p.sp->readBufferSize()); // re-arms the read notifier
            return;
        }
    }
#endif
    if (gone) {
        // The device went away (unplugged adapter, closed pty): close it so
        // its notifier stops firing; later calls report a closed port.
        p.sp->close();
        p.in.clear();
        p.mask = 0;
        p.fn = nullptr;
        p.data = nullptr;
        lost(p.number);
    }
}

} // namespace korven::rt::qt