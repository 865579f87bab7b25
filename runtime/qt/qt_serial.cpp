#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_internal.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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

speed_t Speed(long baud) {
    struct Rate {
        long baud;
        speed_t speed;
    };
    static constexpr Rate kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000}};
    for (const Rate& r : kRates) {
        if (r.baud == baud) {
            return r.speed;
        }
    }
    return B0;
}

// The line set up for raw bytes as `settings` say; false when the system
// refuses a setting.
bool Configure(int fd, const ComSettings& settings, speed_t speed) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= CLOCAL | CREAD | kSize[settings.dataBits - 5];
    // none, odd, even, mark, space
    static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                           PARENB | CMSPAR};
    t.c_cflag |= kParity[settings.parity];
    if (settings.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Whether the other side of the line is gone: an unplugged adapter, a
// pseudo-terminal whose master closed.
bool HungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

struct SerialPorts::Port {
    int number = 0;
    int fd = -1;
    QSocketNotifier* readable = nullptr; // owned by SerialPorts
    QTimer later;                        // looks at the line again after a pause in watching it
    QByteArray in;                       // our input queue
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
}

SerialPorts::Port* SerialPorts::openPort(int number) const {
    auto it = ports_.find(number);
    if (it == ports_.end() || it->second->fd < 0) {
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
    const speed_t speed = Speed(settings.baudRate);
    if (settings.dataBits < 5 || settings.dataBits > 8 || settings.parity < 0 ||
        settings.parity > 4 || speed == B0 || (settings.stopBits != 1 && settings.stopBits != 2)) {
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

    // A stable name (/dev/serial/by-id/...) is a link: the device's own name
    // is what other programs open and lock.
    const QString real = QFileInfo(device).canonicalFilePath();
    const QByteArray path = QFile::encodeName(real.isEmpty() ? device : real);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (auto it = known_.find(number);
            it != known_.end() && it->second.entry.device == device) {
            PortEntry& e = it->second.entry;
            QString group;
            if (!Permitted(device, &group) && (e.permitted || e.group != group)) {
                e.permitted = false;
                e.group = group;
                emit portsChanged();
            }
        }
        return error == ENOENT || error == ENODEV || error == ENXIO ? kComNoSerialPort
                                                                    : kComCannotOpenPort;
    }
    // One program at a time: a lock that cooperating programs see, and the
    // terminal's exclusive mode for all others.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return kComCannotOpenPort;
    }
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0) { // not a terminal
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return kComCannotOpenPort;
    }
    if (!Configure(fd, settings, speed)) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return kComInvalidParameter;
    }
    p.fd = fd;
    p.readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(p.readable, &QSocketNotifier::activated, this, [this, pp = &p] { onReadable(*pp); });
    if (auto it = known_.find(number); it != known_.end()) {
        it->second.lost = false;
    }
    remember(number);
    return 0;
}

void SerialPorts::shut(Port& p) {
    p.later.stop();
    if (p.readable) {
        // This may run inside the notifier's own signal: it goes later.
        p.readable->setEnabled(false);
        std::exchange(p.readable, nullptr)->deleteLater();
    }
    if (p.fd >= 0) {
        ::ioctl(p.fd, TIOCNXCL);
        ::close(p.fd);
        p.fd = -1;
    }
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
    termios t{};
    if (::tcgetattr(p->fd, &t) != 0) {
        return kComUnknownIOError;
    }
    if (mode == 1) {
        t.c_cflag |= CRTSCTS;
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }
    return ::tcsetattr(p->fd, TCSANOW, &t) == 0 ? 0 : kComUnknownIOError;
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
    p->readable->setEnabled(true);
    postCheck();
    return 0;
}

bool SerialPorts::fill(Port& p) {
    std::array<char, 4096> chunk{};
    bool drained = false; // the system said there is nothing more now
    for (;;) {
        const ssize_t got = ::read(p.fd, chunk.data(), chunk.size());
        if (got > 0) {
            // A full input queue drops what does not fit, like a UART overrun.
            const qsizetype space = std::max<qsizetype>(0, p.queueLimit - p.in.size());
            const qsizetype take = std::min<qsizetype>(space, got);
            p.in.append(chunk.data(), take);
            p.received += take;
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        drained = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
    }
    // A read that finds nothing is no fault in itself; only a hung-up line
    // means the device is gone.
    if (!drained && HungUp(p.fd)) {
        hangUp(p);
        return false;
    }
    return true;
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
        p.readable->setEnabled(true);
        return;
    }
    p.readable->setEnabled(false);
    p.later.start(pauseMs);
}

void SerialPorts::onReadable(Port& p) {
    if (p.fd < 0) {
        return;
    }
    const std::int64_t before = p.received;
    if (!fill(p)) {
        return;
    }
    if (p.received == before) {
        // Nothing new: watch for the next byte.
        p.readable->setEnabled(true);
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
    ::tcflush(p->fd, TCIFLUSH);
    removed(*p, p->in.size());
    p->in.clear();
    p->later.stop();
    p->readable->setEnabled(true);
    return 0;
}

int SerialPorts::flushOut(int number) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    ::tcflush(p->fd, TCOFLUSH);
    return 0;
}

int SerialPorts::write(int number, std::span<const std::uint8_t> bytes) {
    Port* p = openPort(number);
    if (!p) {
        return kComPortNotOpen;
    }
    const QDeadlineTimer deadline(std::max<qint64>(Millis(p->timeout), 50));
    std::size_t done = 0;
    bool failed = false;
    while (done < bytes.size()) {
        const ssize_t n = ::write(p->fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && !deadline.hasExpired()) {
            // The system's output queue is full: wait until it takes more.
            pollfd out{p->fd, POLLOUT, 0};
            ::poll(&out, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
        } else {
            failed = n < 0 && errno != EAGAIN;
            break;
        }
    }
    if (failed && HungUp(p->fd)) {
        hangUp(*p);
        return kComPortNotOpen;
    }
    if (done == 0 && !bytes.empty()) {
        return failed ? kComUnknownIOError : kComTimeout;
    }
    return static_cast<int>(done);
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
        pollfd in{p->fd, POLLIN, 0};
        ::poll(&in, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
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
    int held = 0;
    if (::ioctl(p->fd, FIONREAD, &held) != 0) {
        if (HungUp(p->fd)) {
            hangUp(*p);
            return kComPortNotOpen;
        }
        held = 0;
    }
    return static_cast<int>(std::min<qsizetype>(p->in.size() + std::max(held, 0), p->queueLimit));
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
            if (p->missing() > 0 && (!fill(*p) || p->missing() > 0)) {
                break;
            }
            if (p->in.size() < p->count) {
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
    lost(p.number);
}

} // namespace korven::rt::qt
