// Serial ports reached over the network, through the real ser2net on
// loopback in front of a pseudo-terminal: the line's bytes both ways, the
// receive notification, the line settings, a connection that drops and
// comes back; and servers that refuse, played by the test itself.
#include "runtime/qt/qt_serial.h"
#include "runtime/qt/qt_serial_internal.h"
#include "runtime/rfc2217.h"
#include "tests/qt/pty.h"
#include "tests/qt/ser2net.h"

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using korven::rt::ComSettings;
using korven::rt::qt::SerialPorts;
namespace tn = korven::rt::telnet;

namespace {

int gCalls = 0;
void Count(int, int, void*) {
    ++gCalls;
}

// 37 bytes with every value that Telnet treats apart.
QByteArray Block() {
    QByteArray b;
    for (int i = 0; i < 37; ++i) {
        b.append(static_cast<char>(std::array{0xFF, 0xFA, 0xF0, 0x00, 0x0D, 0x0A, 0x55}[i % 7]));
    }
    return b;
}

// One connection of a Telnet server that agrees to every option except
// (with refuseComPort) the COM-PORT-OPTION, answers each setting with the
// value asked, the baud rate with `baud` (0: the one asked), and sends the
// data bytes back; or one that answers nothing, or closes at once. It notes
// the purges asked for.
class FakeServer {
  public:
    enum class Mode { Answer, RefuseComPort, Silent, Close };
    FakeServer(Mode mode, std::uint32_t baud) : mode_(mode), baud_(baud) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), size);
        ::listen(fd_, 1);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    quint16 port() const { return port_; }
    std::vector<std::uint8_t> purges() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return purges_;
    }

  private:
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 50) == 0) {
        }
        if (stop_) {
            return;
        }
        const int c = ::accept(fd_, nullptr, nullptr);
        tn::Codec codec;
        for (pollfd in{c, POLLIN, 0}; mode_ != Mode::Close && !stop_;) {
            if (::poll(&in, 1, 50) == 0) {
                continue;
            }
            std::uint8_t buf[256];
            const ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            tn::Bytes data, out;
            std::vector<tn::Event> events;
            codec.receive(buf, static_cast<std::size_t>(n), data, events);
            tn::Codec::Escape(data.data(), data.size(), out);
            for (const tn::Event& e : events) {
                tn::Bytes reply;
                if (e.kind == tn::Event::Kind::Will) {
                    const bool refuse =
                        mode_ == Mode::RefuseComPort && e.code == tn::kComPortOption;
                    reply = tn::Codec::Command(refuse ? tn::kDont : tn::kDo, e.code);
                } else if (e.kind == tn::Event::Kind::Do) {
                    reply = tn::Codec::Command(tn::kWill, e.code);
                } else if (e.kind == tn::Event::Kind::Subnegotiation && !e.payload.empty()) {
                    tn::Bytes answer = e.payload;
                    answer[0] = static_cast<std::uint8_t>(answer[0] + 100);
                    if (e.payload[0] == korven::rt::rfc2217::kSetBaudrate && baud_ != 0) {
                        answer = {101, 0, static_cast<std::uint8_t>(baud_ >> 16),
                                  static_cast<std::uint8_t>(baud_ >> 8),
                                  static_cast<std::uint8_t>(baud_)};
                    }
                    reply = tn::Codec::Subnegotiation(tn::kComPortOption, answer);
                    if (e.payload[0] == korven::rt::rfc2217::kPurgeData && e.payload.size() > 1) {
                        const std::lock_guard<std::mutex> lock(mutex_);
                        purges_.push_back(e.payload[1]);
                    }
                }
                if (mode_ != Mode::Silent) {
                    out.insert(out.end(), reply.begin(), reply.end());
                }
            }
            (void)::write(c, out.data(), out.size());
        }
        ::close(c);
    }

    Mode mode_;
    std::uint32_t baud_;
    std::mutex mutex_;
    std::vector<std::uint8_t> purges_;
    int fd_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

class NetworkPortTests : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<Pty> line_;
    std::unique_ptr<Ser2Net> server_;
    std::unique_ptr<SerialPorts> ports_;

    // Waits (processing events) until `done` holds, at most ten seconds.
    static bool Until(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }

  private slots:
    void init() {
        ports_ = std::make_unique<SerialPorts>();
        gCalls = 0;
        const QByteArray test = QTest::currentTestFunction();
        if (test.startsWith("refused") || test.startsWith("flushes")) {
            return; // the test's own server
        }
        if (Ser2Net::Program().isEmpty()) {
            QSKIP("ser2net is not installed (Debian: apt-get install ser2net)");
        }
        line_ = std::make_unique<Pty>();
        server_ = std::make_unique<Ser2Net>(line_->path);
        QString error;
        QVERIFY2(server_->start(&error), qPrintable(error));
    }
    void cleanup() {
        ports_.reset();
        server_.reset();
        line_.reset();
    }

    void blocksCrossIntactAndNotifyAtTheFrame_data() {
        QTest::addColumn<bool>("telnet");
        QTest::newRow("raw TCP") << false;
        QTest::newRow("RFC 2217") << true;
    }
    // 37 bytes with 0xFF among them both ways; then the receive
    // notification of 36 bytes, not at 35, at 36, counting data bytes only.
    void blocksCrossIntactAndNotifyAtTheFrame() {
        QFETCH(bool, telnet);
        ports_->mapPort(1, telnet ? server_->rfc2217() : server_->raw(), {});
        QCOMPARE(ports_->open(1, ComSettings{}), 0);
        const QByteArray block = Block();
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.constData());
        QCOMPARE(ports_->write(1, {bytes, 37}), 37);
        QCOMPARE(line_->take(37), block);

        QCOMPARE(ports_->installCallback(1, LWRS_RECEIVE, 36, 0, &Count, nullptr), 0);
        const struct { int bytes, calls; } steps[] = {{35, 0}, {1, 1}, {1, 1}};
        int sent = 0;
        for (const auto& s : steps) {
            QCOMPARE(::write(line_->master, block.constData() + sent, s.bytes), s.bytes);
            sent += s.bytes;
            QVERIFY(Until([&] { return ports_->inQueueLength(1) == sent; }));
            QTest::qWait(50);
            QCOMPARE(gCalls, s.calls);
        }
        std::vector<std::uint8_t> got(37);
        QCOMPARE(ports_->read(1, got), 37);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(got.data()), 37), block);
    }

    // SET-BAUDRATE reaches the terminal ser2net drives.
    void baudRateReachesTheLine() {
        ports_->mapPort(1, server_->rfc2217(), {});
        const std::pair<long, speed_t> rates[] = {{4800, B4800}, {19200, B19200}};
        for (const auto& [baud, speed] : rates) {
            ComSettings s;
            s.baudRate = baud;
            QCOMPARE(ports_->open(1, s), 0);
            QCOMPARE(line_->speed(), speed);
            QCOMPARE(ports_->close(1), 0);
        }
    }

    void droppedConnectionIsLostUntilTheServerIsBack_data() {
        blocksCrossIntactAndNotifyAtTheFrame_data();
    }
    // The server goes away while the port waits for a frame: the port
    // closes at once, is listed as gone and stays so, however often the
    // list is looked at, until the server takes connections again; then it
    // is back and opens.
    void droppedConnectionIsLostUntilTheServerIsBack() {
        QFETCH(bool, telnet);
        const QString address = telnet ? server_->rfc2217() : server_->raw();
        ports_->mapPort(1, address, {});
        QSignalSpy lost(ports_.get(), &SerialPorts::portLost);
        QSignalSpy back(ports_.get(), &SerialPorts::portBack);
        QCOMPARE(ports_->open(1, ComSettings{}), 0);
        QCOMPARE(ports_->installCallback(1, LWRS_RECEIVE, 36, 0, &Count, nullptr), 0);
        server_->kill();
        QVERIFY(Until([&] { return lost.count() == 1; }));
        QCOMPARE(ports_->inQueueLength(1), kComPortNotOpen);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ports_->open(1, ComSettings{}), kComNoSerialPort);
        QCOMPARE_LT(clock.elapsed(), 100); // known to be away: no wait
        for (int i = 0; i < 3; ++i) {
            ports_->rescan();
            QTest::qWait(300);
        }
        QCOMPARE((std::pair{ports_->ports().at(0).present, back.count()}),
                 (std::pair{false, qsizetype{0}}));
        QString error;
        QVERIFY2(server_->start(&error), qPrintable(error));
        QVERIFY(Until([&] { return back.count() == 1; }));
        QVERIFY(ports_->ports().at(0).present);
        QCOMPARE(ports_->open(1, ComSettings{}), 0);
        QCOMPARE(ports_->write(1, {reinterpret_cast<const std::uint8_t*>("ok"), 2}), 2);
        QCOMPARE(line_->take(2), QByteArray("ok"));
    }

    // Servers that do not set the line as asked: the open fails with the
    // engine's error and says why.
    void refusedSettingsFailTheOpen() {
        const struct {
            FakeServer::Mode mode;
            std::uint32_t baud;
            int code;
            const char* reason;
        } cases[] = {
            {FakeServer::Mode::Answer, 9600, kComInvalidParameter,
             "set the baud rate to 9600 instead of 19200"},
            {FakeServer::Mode::Answer, 19201, kComInvalidParameter, "19201 instead of 19200"},
            {FakeServer::Mode::Answer, 0, 0, ""},
            {FakeServer::Mode::RefuseComPort, 0, kComCannotOpenPort, "refused the COM-PORT-OPTION"},
            {FakeServer::Mode::Silent, 0, kComCannotOpenPort, "did not agree"},
            {FakeServer::Mode::Close, 0, kComNoSerialPort, "closed the connection"},
        };
        int number = 0;
        for (const auto& c : cases) {
            FakeServer server(c.mode, c.baud);
            ports_->mapPort(++number,
                            QStringLiteral("rfc2217://127.0.0.1:%1?timeout=0.3").arg(server.port()),
                            {});
            QCOMPARE(ports_->open(number, ComSettings{}), c.code);
            QVERIFY2(ports_->failureReason(number).contains(QLatin1String(c.reason)),
                     qPrintable(ports_->failureReason(number)));
            ports_->close(number);
        }
        // Nothing listens: as a device that is not there.
        ports_->mapPort(++number, QStringLiteral("socket://127.0.0.1:%1").arg(Ser2Net::FreePort()),
                        {});
        QCOMPARE(ports_->open(number, ComSettings{}), kComNoSerialPort);
        QVERIFY(ports_->failureReason(number).contains(QStringLiteral("refused")));
    }

    // A flush asks the server to purge only what it may still hold: the
    // bytes just written (2), those coming in while bytes wait (1);
    // nothing on a quiet line, nor once the written bytes are sent.
    void flushesPurgeOnlyWhatTheServerMayHold() {
        FakeServer server(FakeServer::Mode::Answer, 0);
        ports_->mapPort(1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.port()), {});
        QCOMPARE(ports_->open(1, ComSettings{}), 0);
        const std::vector<std::uint8_t> frame(36, 0xFF);
        QCOMPARE(ports_->write(1, frame), 36);
        QCOMPARE(ports_->flushOut(1), 0);
        QVERIFY(Until([&] { return ports_->inQueueLength(1) == 36; }));
        QCOMPARE(ports_->flushIn(1), 0);
        QCOMPARE(ports_->flushIn(1), 0);
        QTest::qWait(40); // 36 bytes at 19200 baud: 18.75 ms
        QCOMPARE(ports_->flushOut(1), 0);
        QVERIFY(Until([&] { return server.purges().size() >= 2; }));
        QTest::qWait(50);
        QCOMPARE(server.purges(), (std::vector<std::uint8_t>{2, 1}));
        ports_->close(1);
    }
};

int RunNetworkTests(int argc, char** argv) {
    return QTest::qExec(std::make_unique<NetworkPortTests>().get(), argc, argv);
}

#include "test_qt_network.moc"
