// Serial lines reached over the network: a TCP connection carrying the
// line's bytes as they are (socket://), or Telnet with the COM-PORT-OPTION
// (rfc2217://), which also sets the line up. Both keep their own queue of
// the line's data bytes, so that what the receive rules count is exactly
// what the line received (never the socket's own count, which includes
// Telnet's bytes and only knows what the event loop has fetched).
#include "runtime/qt/qt_serial_device.h"
#include "runtime/qt/qt_serial_internal.h"

#include "runtime/port_address.h"
#include "runtime/rfc2217.h"

#if defined(__linux__)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

namespace korven::rt::qt {

namespace {

using Kind = PortAddress::Kind;
namespace tn = telnet;

// The line's bytes kept while nobody reads them, like a UART's buffer: what
// does not fit is dropped.
constexpr qsizetype kMaxHeld = 1 << 16;
// Time for a byte written to pass the network and the server's buffers
// before the server's line sends it.
using Clock = std::chrono::steady_clock;
constexpr auto kServerTime = std::chrono::milliseconds(10);

int Millis(double seconds) {
    return static_cast<int>(std::ceil(seconds * 1000.0));
}

std::optional<PortAddress> Parse(const QString& address, QString* reason) {
    std::string why;
    auto a = ParsePortAddress(address.toStdString(), &why);
    if (!a && reason) {
        *reason = QString::fromStdString(why);
    }
    return a;
}

class NetDevice final : public SerialDevice {
  public:
    NetDevice(std::unique_ptr<QTcpSocket> socket, PortAddress address, const ComSettings& s)
        : socket_(socket.release()),
          byteSeconds_((1.0 + s.dataBits + (s.parity != 0 ? 1 : 0) + s.stopBits) /
                       static_cast<double>(std::max(s.baudRate, 1L))),
          address_(std::move(address)), telnet_(address_.kind == Kind::Rfc2217),
          options_({tn::kBinary, tn::kComPortOption, tn::kSuppressGoAhead},
                   {tn::kBinary, tn::kSuppressGoAhead}) {
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
            take();
            // From the event loop the line is read at once, as a device's
            // notifier does; inside a wait of ours, later.
            if (waiting_ == 0 && watching_ && !in_.isEmpty() && onReadable) {
                const auto run = onReadable; // may end this device
                run();
                return;
            }
            wake();
        });
        QObject::connect(socket_, &QTcpSocket::stateChanged, [this] { wake(); });
    }
    ~NetDevice() override {
        // This may run inside one of the socket's signals: it goes later.
        socket_->disconnect();
        socket_->abort();
        socket_->deleteLater();
    }

    // Negotiates Telnet's options and the line's settings; false with the
    // engine's error and a reason when the server does not take them.
    bool negotiate(const ComSettings& s, int* error, QString* reason) {
        const QString where = this->where();
        send(options_.request(tn::kWill, tn::kBinary));
        send(options_.request(tn::kDo, tn::kBinary));
        send(options_.request(tn::kWill, tn::kComPortOption));
        const auto agreed = [this](std::uint8_t o) {
            return options_.refused(o) ||
                   (o == tn::kComPortOption ? options_.ours(o)
                                            : options_.ours(o) && options_.theirs(o));
        };
        const QDeadlineTimer deadline(Millis(address_.timeout));
        if (!waitFor([&] { return agreed(tn::kBinary) && agreed(tn::kComPortOption); }, deadline)) {
            *error = lost() ? kComNoSerialPort : kComCannotOpenPort;
            *reason = lost() ? QStringLiteral("%1 closed the connection").arg(where)
                             : QStringLiteral("%1 did not agree on the serial line's options "
                                              "within %2 s (no RFC 2217 server?)")
                                   .arg(where)
                                   .arg(address_.timeout);
            return false;
        }
        if (options_.refused(tn::kComPortOption) || !options_.ours(tn::kComPortOption)) {
            *error = kComCannotOpenPort;
            *reason =
                QStringLiteral("%1 refused the COM-PORT-OPTION: it sets no serial line").arg(where);
            return false;
        }
        if (!options_.ours(tn::kBinary) || !options_.theirs(tn::kBinary)) {
            *error = kComCannotOpenPort;
            *reason = QStringLiteral("%1 refused binary transmission").arg(where);
            return false;
        }
        const std::pair<std::uint8_t, std::uint32_t> settings[] = {
            {rfc2217::kSetBaudrate, static_cast<std::uint32_t>(s.baudRate)},
            {rfc2217::kSetDatasize, static_cast<std::uint32_t>(s.dataBits)},
            {rfc2217::kSetParity, rfc2217::ParityValue(s.parity)},
            {rfc2217::kSetStopsize, static_cast<std::uint32_t>(s.stopBits)},
        };
        for (const auto& [code, value] : settings) {
            if (!set(code, value, true, error, reason)) {
                return false;
            }
        }
        return set(rfc2217::kSetControl, rfc2217::kNoFlowControl, !address_.ignoreSetControl, error,
                   reason);
    }

    std::ptrdiff_t readSome(char* buffer, std::size_t max) override {
        pull();
        if (in_.isEmpty()) {
            return lost() ? -1 : 0;
        }
        const qsizetype n = std::min<qsizetype>(in_.size(), static_cast<qsizetype>(max));
        std::copy_n(in_.constData(), n, buffer);
        in_.remove(0, n);
        return n;
    }

    void waitReadable(int ms) override {
        pull();
        const QDeadlineTimer deadline(ms);
        while (in_.isEmpty() && !lost() && !deadline.hasExpired()) {
            const Waiting inside(waiting_);
            socket_->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        }
    }

    int held() override {
        pull();
        return in_.isEmpty() && lost() ? -1 : static_cast<int>(in_.size());
    }

    Written write(const std::uint8_t* bytes, std::size_t size, std::int64_t ms) override {
        if (lost()) {
            return {0, WriteEnd::HungUp};
        }
        tn::Bytes wire;
        if (telnet_) {
            tn::Codec::Escape(bytes, size, wire);
        } else {
            wire.assign(bytes, bytes + size);
        }
        socket_->write(reinterpret_cast<const char*>(wire.data()),
                       static_cast<qint64>(wire.size()));
        const auto now = Clock::now();
        lineFree_ = std::max(lineFree_, now) +
                    std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(size) * byteSeconds_));
        const QDeadlineTimer deadline(ms);
        socket_->flush();
        while (socket_->bytesToWrite() > 0 && !lost() && !deadline.hasExpired()) {
            const Waiting inside(waiting_);
            socket_->waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
        }
        if (lost()) {
            return {0, WriteEnd::HungUp};
        }
        const auto pending = static_cast<std::size_t>(socket_->bytesToWrite());
        if (pending > 0) {
            return {size - std::min(size, pending), WriteEnd::TimedOut};
        }
        return {size, WriteEnd::Done};
    }

    // A purge costs the server a few milliseconds (ser2net flushes its
    // terminal), which a loop that flushes before each request would pay
    // every time: the server is asked only when it may hold bytes to drop.
    // Bytes waiting at the flush are a sign of more still at the server; a
    // quiet line has none there, as a line's bytes on the wire are not
    // taken back either.
    void flushIn() override {
        pull();
        const bool waiting = !in_.isEmpty();
        in_.clear();
        if (telnet_ && waiting) {
            send(rfc2217::Request(rfc2217::kPurgeData, rfc2217::kPurgeReceive));
        }
    }
    // What we wrote is on its way to the line until the line can have sent
    // it, with time for the network and the server's buffers.
    void flushOut() override {
        if (telnet_ && Clock::now() < lineFree_ + kServerTime) {
            send(rfc2217::Request(rfc2217::kPurgeData, rfc2217::kPurgeTransmit));
        }
    }

    bool setCtsFlow(bool on) override {
        if (!telnet_) {
            return true; // a raw connection has no line to set
        }
        const std::uint32_t value = on ? rfc2217::kHardwareFlowControl : rfc2217::kNoFlowControl;
        if (value == flow_) {
            return true;
        }
        int error = 0;
        QString reason;
        return set(rfc2217::kSetControl, value, !address_.ignoreSetControl, &error, &reason);
    }

    void setWatching(bool on) override {
        watching_ = on;
        wake();
    }

  private:
    bool lost() const { return socket_->state() != QAbstractSocket::ConnectedState; }

    // A server that gathers small segments (Nagle's rule, ser2net's
    // default) sends the rest of an answer only once the first part is
    // acknowledged; the system would hold that acknowledgement back for up
    // to 40 ms. Linux sends it at once when asked, each time anew.
    void acknowledgeAtOnce() {
#if defined(__linux__)
        const int on = 1;
        ::setsockopt(static_cast<int>(socket_->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on,
                     sizeof on);
#endif
    }
    QString where() const {
        return QStringLiteral("rfc2217://%1:%2")
            .arg(QString::fromStdString(address_.host))
            .arg(address_.port);
    }

    void send(const tn::Bytes& bytes) {
        if (!bytes.empty()) {
            socket_->write(reinterpret_cast<const char*>(bytes.data()),
                           static_cast<qint64>(bytes.size()));
            socket_->flush();
        }
    }

    // What the socket holds, through the Telnet codec, into our queue.
    void take() {
        const QByteArray got = socket_->readAll();
        if (got.isEmpty()) {
            return;
        }
        acknowledgeAtOnce();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(got.constData());
        const auto size = static_cast<std::size_t>(got.size());
        if (!telnet_) {
            append(got.constData(), got.size());
            return;
        }
        tn::Bytes data;
        std::vector<tn::Event> events;
        codec_.receive(bytes, size, data, events);
        append(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
        for (const tn::Event& e : events) {
            send(options_.answer(e));
            if (const auto reply = rfc2217::ParseReply(e)) {
                replies_[reply->code] = reply->value;
            }
        }
    }

    void append(const char* data, qsizetype size) {
        in_.append(data, std::min(size, std::max<qsizetype>(0, kMaxHeld - in_.size())));
    }

    // Also what the system has received and the event loop has not yet
    // fetched: the count is current without event processing.
    void pull() {
        take();
        if (!lost()) {
            const Waiting inside(waiting_);
            socket_->waitForReadyRead(0);
            take();
        }
    }

    // Waits for `done` (the socket's bytes are taken meanwhile), at most
    // until `deadline`; false when the time ran out or the connection ended.
    template <class F> bool waitFor(F done, const QDeadlineTimer& deadline) {
        take();
        while (!done()) {
            if (lost() || deadline.hasExpired()) {
                return false;
            }
            const Waiting inside(waiting_);
            socket_->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
            take();
        }
        return true;
    }

    // Sends a COM-PORT-OPTION setting and (with `answer`) waits for the
    // server's answer, which must carry the value asked for.
    bool set(std::uint8_t code, std::uint32_t value, bool answer, int* error, QString* reason) {
        replies_.erase(code);
        send(rfc2217::Request(code, value));
        const QString what =
            QString::fromLatin1(rfc2217::RequestName(code).data(),
                                static_cast<qsizetype>(rfc2217::RequestName(code).size()));
        const QString where = this->where();
        if (!answer) {
            flow_ = code == rfc2217::kSetControl ? value : flow_;
            return true;
        }
        if (!waitFor([&] { return replies_.count(code) > 0; },
                     QDeadlineTimer(Millis(address_.timeout)))) {
            *error = lost() ? kComNoSerialPort : kComCannotOpenPort;
            *reason = lost() ? QStringLiteral("%1 closed the connection").arg(where)
                             : QStringLiteral("%1 did not confirm the %2 within %3 s")
                                   .arg(where, what)
                                   .arg(address_.timeout);
            return false;
        }
        if (replies_[code] != value) {
            *error = kComInvalidParameter;
            *reason = QStringLiteral("%1 set the %2 to %3 instead of %4")
                          .arg(where, what)
                          .arg(replies_[code])
                          .arg(value);
            return false;
        }
        flow_ = code == rfc2217::kSetControl ? value : flow_;
        return true;
    }

    // Runs onReadable from the event loop when bytes wait or the connection
    // ended, once per post.
    void wake() {
        if (!watching_ || posted_ || (in_.isEmpty() && !lost())) {
            return;
        }
        posted_ = true;
        QMetaObject::invokeMethod(
            socket_,
            [this, alive = std::weak_ptr<int>(alive_)] {
                if (alive.expired()) {
                    return;
                }
                posted_ = false;
                if (watching_ && onReadable) {
                    onReadable();
                }
            },
            Qt::QueuedConnection);
    }

    // Counts the socket's own waits under way, in which its signals come
    // from inside a call of ours.
    struct Waiting {
        explicit Waiting(int& n) : n_(n) { ++n_; }
        ~Waiting() { --n_; }
        int& n_;
    };

    QTcpSocket* socket_;
    double byteSeconds_; // one character's time on the line
    // When the server's line has sent what we wrote, at the earliest.
    Clock::time_point lineFree_{};
    int waiting_ = 0;
    PortAddress address_;
    bool telnet_;
    tn::Codec codec_;
    tn::Options options_;
    std::map<std::uint8_t, std::uint32_t> replies_;
    std::uint32_t flow_ = 0; // SET-CONTROL's flow value in force, 0 before any
    QByteArray in_;
    bool watching_ = false;
    bool posted_ = false;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace

namespace detail {

bool IsAddress(const QString& device) {
    return IsPortAddress(device.toStdString());
}

std::unique_ptr<SerialDevice> OpenNetworkPort(const QString& address, const ComSettings& settings,
                                              QObject* /*owner*/, int* error, QString* reason,
                                              std::unique_ptr<QTcpSocket> connected) {
    QString ignored;
    reason = reason ? reason : &ignored;
    const auto a = Parse(address, reason);
    if (!a) {
        *error = kComNoSerialPort;
        return nullptr;
    }
    std::unique_ptr<QTcpSocket> socket = std::move(connected);
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QString::fromStdString(a->host), static_cast<quint16>(a->port));
        if (!socket->waitForConnected(Millis(a->timeout))) {
            // Refused, no such host, no answer: nothing is there, as with a
            // device that is not plugged in.
            *error = kComNoSerialPort;
            *reason = QStringLiteral("%1: %2").arg(address, socket->errorString());
            return nullptr;
        }
    }
    auto device = std::make_unique<NetDevice>(std::move(socket), *a, settings);
    if (a->kind == Kind::Rfc2217 && !device->negotiate(settings, error, reason)) {
        return nullptr;
    }
    *error = 0;
    reason->clear();
    return device;
}

QTcpSocket* ReachAddress(const QString& address, QObject* owner,
                         std::function<void(std::unique_ptr<QTcpSocket>)> done) {
    const auto a = Parse(address, nullptr);
    if (!a) {
        return nullptr;
    }
    auto* socket = new QTcpSocket(owner);
    auto* limit = new QTimer(socket);
    // Exactly one of connected, failed or the time-out ends the attempt.
    const auto finish = [socket, limit, done = std::move(done)](bool reached) {
        limit->stop();
        limit->deleteLater();
        socket->disconnect();
        socket->setParent(nullptr);
        if (reached) {
            done(std::unique_ptr<QTcpSocket>(socket));
        } else {
            socket->abort();
            socket->deleteLater();
            done(nullptr);
        }
    };
    QObject::connect(socket, &QTcpSocket::connected, socket, [finish] { finish(true); });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [finish] { finish(false); });
    QObject::connect(limit, &QTimer::timeout, socket, [finish] { finish(false); });
    limit->setSingleShot(true);
    limit->start(Millis(a->timeout));
    socket->connectToHost(QString::fromStdString(a->host), static_cast<quint16>(a->port));
    return socket;
}

} // namespace detail

// Network ports by their scheme, the system's own devices otherwise.
std::unique_ptr<SerialDevice> SerialDevice::Open(const QString& device, const ComSettings& settings,
                                                 QObject* owner, int* error) {
    if (detail::IsAddress(device)) {
        return detail::OpenNetworkPort(device, settings, owner, error, nullptr, nullptr);
    }
    return detail::OpenLocalDevice(device, settings, owner, error);
}

bool SerialDevice::Exists(const QString& device) {
    // An address says nothing about its server: whether one answers shows
    // only by connecting (SerialPorts keeps that apart).
    if (detail::IsAddress(device)) {
        return Parse(device, nullptr).has_value();
    }
    return detail::LocalDeviceExists(device);
}

} // namespace korven::rt::qt
