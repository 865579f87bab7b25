// Serial lines on Linux: a terminal device opened non-blocking and raw,
// locked against other programs, woken by a socket notifier; the port list
// from the system's serial devices and their stable names.
#include "runtime/qt/qt_serial_device.h"
#include "runtime/qt/qt_serial_internal.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include <fcntl.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace korven::rt::qt {

namespace {

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
bool Configure(int fd, const ComSettings& settings) {
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
    const speed_t speed = Speed(settings.baudRate);
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Whether the other side of the line is gone: an unplugged adapter, a
// pseudo-terminal whose master closed.
bool HungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

class PosixDevice final : public SerialDevice {
  public:
    PosixDevice(int fd, QObject* owner)
        : fd_(fd), notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, owner)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] {
            if (onReadable) {
                onReadable();
            }
        });
    }
    ~PosixDevice() override {
        // This may run inside the notifier's own signal: it goes later.
        notifier_->setEnabled(false);
        notifier_->disconnect();
        notifier_->deleteLater();
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }

    std::ptrdiff_t readSome(char* buffer, std::size_t max) override {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, max);
            if (got > 0) {
                return got;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            // A read that finds nothing is no fault in itself; only a
            // hung-up line means the device is gone.
            const bool drained = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            return !drained && HungUp(fd_) ? -1 : 0;
        }
    }

    void waitReadable(int ms) override {
        pollfd in{fd_, POLLIN, 0};
        ::poll(&in, 1, ms);
    }

    int held() override {
        int held = 0;
        if (::ioctl(fd_, FIONREAD, &held) != 0) {
            return HungUp(fd_) ? -1 : 0;
        }
        return std::max(held, 0);
    }

    Written write(const std::uint8_t* bytes, std::size_t size, std::int64_t ms) override {
        const QDeadlineTimer deadline(ms);
        Written w;
        while (w.count < size) {
            const ssize_t n = ::write(fd_, bytes + w.count, size - w.count);
            if (n > 0) {
                w.count += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN && !deadline.hasExpired()) {
                // The system's output queue is full: wait until it takes more.
                pollfd out{fd_, POLLOUT, 0};
                ::poll(&out, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
            } else {
                const bool failed = n < 0 && errno != EAGAIN;
                w.end = !failed       ? WriteEnd::TimedOut
                        : HungUp(fd_) ? WriteEnd::HungUp
                                      : WriteEnd::Failed;
                break;
            }
        }
        return w;
    }

    void flushIn() override { ::tcflush(fd_, TCIFLUSH); }
    void flushOut() override { ::tcflush(fd_, TCOFLUSH); }

    bool setCtsFlow(bool on) override {
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) {
            return false;
        }
        if (on) {
            t.c_cflag |= CRTSCTS;
        } else {
            t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        }
        return ::tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    void setWatching(bool on) override { notifier_->setEnabled(on); }

  private:
    int fd_;
    QSocketNotifier* notifier_;
};

} // namespace

bool detail::LocalDeviceExists(const QString& device) {
    return QFileInfo::exists(device);
}

bool SerialDevice::SpeedSupported(long baud) {
    return Speed(baud) != B0;
}

std::unique_ptr<SerialDevice> detail::OpenLocalDevice(const QString& device,
                                                      const ComSettings& settings, QObject* owner,
                                                      int* error) {
    // A stable name (/dev/serial/by-id/...) is a link: the device's own name
    // is what other programs open and lock.
    const QString real = QFileInfo(device).canonicalFilePath();
    const QByteArray path = QFile::encodeName(real.isEmpty() ? device : real);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == ENOENT || errno == ENODEV || errno == ENXIO ? kComNoSerialPort
                                                                      : kComCannotOpenPort;
        return nullptr;
    }
    // One program at a time: a lock that cooperating programs see, and the
    // terminal's exclusive mode for all others.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        *error = kComCannotOpenPort;
        return nullptr;
    }
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0) { // not a terminal
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        *error = kComCannotOpenPort;
        return nullptr;
    }
    if (!Configure(fd, settings)) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        *error = kComInvalidParameter;
        return nullptr;
    }
    detail::AskLowLatency(fd);
    *error = 0;
    return std::make_unique<PosixDevice>(fd, owner);
}

namespace detail {

LowLatency AskLowLatency(int fd) {
#if defined(__linux__)
    // The driver hands received bytes on at once instead of at its next
    // tick (USB adapters otherwise hold them up to their latency timer).
    // Pseudo-terminals and many drivers do not offer it: nothing is lost.
    serial_struct line{};
    if (::ioctl(fd, TIOCGSERIAL, &line) != 0) {
        return LowLatency::Refused;
    }
    if ((line.flags & ASYNC_LOW_LATENCY) != 0) {
        return LowLatency::On;
    }
    line.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &line) == 0 ? LowLatency::On : LowLatency::Refused;
#else
    (void)fd;
    return LowLatency::Refused;
#endif
}

bool Permitted(const QString& path, QString* owner) {
    owner->clear();
    const QByteArray name = QFile::encodeName(path);
    if (::access(name.constData(), R_OK | W_OK) == 0 || errno != EACCES) {
        return true;
    }
    struct stat st {};
    if (::stat(name.constData(), &st) == 0) {
        if (const struct group* g = ::getgrgid(st.st_gid)) {
            *owner = QString::fromLocal8Bit(g->gr_name);
        }
    }
    return false;
}

bool SameDevice(const QString& a, const QString& b) {
    return QFileInfo(a).canonicalFilePath() == QFileInfo(b).canonicalFilePath();
}

namespace {

// When a directory last changed (an entry added, removed or renamed); "-"
// when it is not there.
QString DirectoryStamp(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        return QStringLiteral("-");
    }
    return QStringLiteral("%1.%2").arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
}

} // namespace

std::vector<FoundPort> SystemPorts(SystemPortCache& cache) {
    // Stable names of adapters: the links in /dev/serial/by-id by their target.
    std::map<QString, QString> byId;
    const QDir ids(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : ids.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        byId.emplace(link.canonicalFilePath(), link.absoluteFilePath());
    }
    // Asking the system for its serial devices reads through the device
    // database, the largest part of a rescan every second. Devices come and
    // go with their nodes in /dev, and their stable names once the database
    // knows them: while neither directory has changed, the last answer holds.
    const QString stamp = DirectoryStamp(QStringLiteral("/dev")) + QLatin1Char(';') +
                          DirectoryStamp(QStringLiteral("/dev/serial/by-id"));
    if (stamp != cache.stamp || stamp.startsWith(QLatin1Char('-'))) {
        cache.stamp = stamp;
        cache.ports.clear();
        auto infos = QSerialPortInfo::availablePorts();
        std::sort(infos.begin(), infos.end(),
                  [](const QSerialPortInfo& a, const QSerialPortInfo& b) {
                      return a.systemLocation() < b.systemLocation();
                  });
        for (const QSerialPortInfo& info : infos) {
            FoundPort f;
            f.device = info.systemLocation();
            f.description = info.description();
            f.serial = info.serialNumber();
            if (f.description.isEmpty()) {
                f.description = info.manufacturer();
            }
            cache.ports.push_back(std::move(f));
        }
    }
    std::vector<FoundPort> found = cache.ports;
    for (FoundPort& f : found) {
        if (auto it = byId.find(QFileInfo(f.device).canonicalFilePath()); it != byId.end()) {
            f.stable = it->second;
        }
    }
    return found;
}

} // namespace detail

} // namespace korven::rt::qt
