// Serial ports of the Qt back end over a pseudo-terminal: the receive
// notification's rules, the input queue, time-outs and open errors.
#include "runtime/qt/qt_backend.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using korven::rt::ComSettings;
using korven::rt::qt::QtBackend;

namespace {

struct Listener {
    QtBackend* qt = nullptr;
    int calls = 0;
    int depth = 0;
    int maxDepth = 0;
    int readBytes = 0; // bytes each call reads (0 = none)
    bool pumpInside = false;
    std::vector<int> masks;
};

void OnReceive(int port, int mask, void* data) {
    auto* l = static_cast<Listener*>(data);
    ++l->calls;
    ++l->depth;
    l->maxDepth = std::max(l->maxDepth, l->depth);
    l->masks.push_back(mask);
    if (l->readBytes > 0) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(l->readBytes));
        l->qt->comRd(port, buf);
    }
    if (l->pumpInside) {
        for (int i = 0; i < 5; ++i) {
            l->qt->processSystemEvents();
        }
    }
    --l->depth;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

class SerialTests : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QtBackend> qt_;
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    Listener listener_;

    void send(std::size_t n, std::uint8_t fill = 0x55) {
        const std::vector<std::uint8_t> bytes(n, fill);
        QCOMPARE(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(n));
        QThread::msleep(30); // let the bytes cross the pty
    }
    void pump(int passes = 5) {
        for (int i = 0; i < passes; ++i) {
            qt_->processSystemEvents();
        }
    }
    std::vector<std::uint8_t> readMaster(std::size_t n, int timeoutMs = 1000) {
        std::vector<std::uint8_t> out;
        const auto start = std::chrono::steady_clock::now();
        while (out.size() < n && Seconds(start) * 1000 < timeoutMs) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                std::uint8_t buf[256];
                const ssize_t got = ::read(master_, buf, sizeof buf);
                if (got > 0) {
                    out.insert(out.end(), buf, buf + got);
                }
            }
        }
        return out;
    }
    int install(int count = 36) {
        return qt_->installComCallback(1, LWRS_RECEIVE | LWRS_TXEMPTY | LWRS_RXFLAG, count, 0x55,
                                       &OnReceive, &listener_);
    }

  private slots:
    void init() {
        char name[256] = {};
        QVERIFY(::openpty(&master_, &slave_, name, nullptr, nullptr) == 0);
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        slavePath_ = QString::fromLocal8Bit(name);
        qt_ = std::make_unique<QtBackend>();
        qt_->mapPort(1, slavePath_, QStringLiteral("test pty"));
        listener_ = Listener{};
        listener_.qt = qt_.get();
        ComSettings s;
        QCOMPARE(qt_->openCom(1, s), 0);
        QCOMPARE(qt_->setComTime(1, 1.0), 0);
    }

    void cleanup() {
        qt_.reset();
        if (master_ >= 0) {
            ::close(master_);
        }
        if (slave_ >= 0) {
            ::close(slave_);
        }
        master_ = slave_ = -1;
    }

    void openErrorsMapToTheEngineCodes() {
        QTemporaryDir dir;
        const QString plainFile = dir.filePath(QStringLiteral("not-a-tty"));
        QFile f(plainFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        qt_->mapPort(2, dir.filePath(QStringLiteral("missing")));
        qt_->mapPort(3, plainFile);
        ComSettings s;
        QCOMPARE(qt_->openCom(0, s), kComInvalidPortNumber);
        QCOMPARE(qt_->openCom(256, s), kComInvalidPortNumber);
        QCOMPARE(qt_->openCom(2, s), kComNoSerialPort);
        QCOMPARE(qt_->openCom(200, s), kComNoSerialPort);
        QCOMPARE(qt_->openCom(3, s), kComCannotOpenPort);
        s.dataBits = 9;
        QCOMPARE(qt_->openCom(1, s), kComInvalidParameter);
        // Calls on a port that is not open say so.
        QCOMPARE(qt_->getInQLen(2), kComPortNotOpen);
        std::uint8_t b[4] = {};
        QCOMPARE(qt_->comWrt(2, b), kComPortNotOpen);
        QCOMPARE(qt_->closeCom(2), kComPortNotOpen);
        // The port list shows the mapped devices with their numbers.
        const auto ports = qt_->ports();
        QVERIFY(ports.size() >= 3);
        QCOMPARE(ports[0].number, 1);
        QCOMPARE(ports[0].device, slavePath_);
        QCOMPARE(ports[0].description, QStringLiteral("test pty"));
    }

    void notificationRunsOnlyInEventProcessing() {
        QCOMPARE(install(), 0);
        send(36);
        // The bytes are visible without any event processing ...
        QCOMPARE(qt_->getInQLen(1), 36);
        qt_->delay(0.02);
        QCOMPARE(listener_.calls, 0);
        // ... and the notification comes with the next pass.
        pump();
        QCOMPARE(listener_.calls, 1);
        QCOMPARE(listener_.masks.front() & LWRS_RECEIVE, LWRS_RECEIVE);
        // Unread bytes do not raise it again; a further frame does.
        pump();
        QCOMPARE(listener_.calls, 1);
        send(36);
        pump();
        QCOMPARE(listener_.calls, 2);
    }

    void notificationCountsWholeFrames() {
        listener_.readBytes = 36;
        QCOMPARE(install(), 0);
        send(35);
        pump();
        QCOMPARE(listener_.calls, 0);
        send(1);
        pump();
        QCOMPARE(listener_.calls, 1);
        QCOMPARE(qt_->getInQLen(1), 0);
        // Two frames at once: one notification each.
        send(72);
        pump();
        QCOMPARE(listener_.calls, 3);
        // Forty bytes: one notification, four bytes stay.
        send(40);
        pump();
        QCOMPARE(listener_.calls, 4);
        QCOMPARE(qt_->getInQLen(1), 4);
    }

    void silencedNotificationStaysQuietAndIsNeverReentered() {
        QCOMPARE(install(), 0);
        QCOMPARE(qt_->installComCallback(1, 0, 0, 0, nullptr, nullptr), 0);
        send(36);
        pump();
        QCOMPARE(listener_.calls, 0);
        // Installing again announces what is already waiting.
        QCOMPARE(install(), 0);
        pump();
        QCOMPARE(listener_.calls, 1);
        QCOMPARE(qt_->flushInQ(1), 0);

        // A callback that processes events while more frames arrive is not
        // called again inside itself.
        listener_.readBytes = 36;
        listener_.pumpInside = true;
        send(36 * 3);
        pump();
        QCOMPARE(listener_.maxDepth, 1);
        QCOMPARE(listener_.calls, 4);
    }

    void readsWaitForBytesUpToTheTimeout() {
        QCOMPARE(qt_->setComTime(1, 0.3), 0);
        send(10);
        std::vector<std::uint8_t> buf(36);
        auto start = std::chrono::steady_clock::now();
        QCOMPARE(qt_->comRd(1, buf), 10);
        QVERIFY(Seconds(start) >= 0.25);
        QVERIFY(Seconds(start) < 1.5);

        // Bytes that come in while waiting complete the read early.
        QCOMPARE(qt_->setComTime(1, 2.0), 0);
        std::thread writer([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const std::vector<std::uint8_t> bytes(36, 0xAA);
            (void)::write(master_, bytes.data(), bytes.size());
        });
        start = std::chrono::steady_clock::now();
        const int got = qt_->comRd(1, buf);
        writer.join();
        QCOMPARE(got, 36);
        QVERIFY(Seconds(start) < 1.5);
        QCOMPARE(buf[35], std::uint8_t{0xAA});
    }

    void writesArriveAndFlushDiscardsInput() {
        const std::vector<std::uint8_t> frame{0x00, 0x55, 0x00, 0x05, 0x12, 0x34};
        QCOMPARE(qt_->comWrt(1, frame), 6);
        QCOMPARE(readMaster(6), frame);

        send(20);
        QCOMPARE(qt_->getInQLen(1), 20);
        send(5); // still in the system's queue
        QCOMPARE(qt_->flushInQ(1), 0);
        QCOMPARE(qt_->getInQLen(1), 0);
        QThread::msleep(20);
        QCOMPARE(qt_->getInQLen(1), 0);
        QCOMPARE(qt_->flushOutQ(1), 0);
    }

    // Devices that come and go keep their numbers, new ones are added at
    // the end, a pulled one is marked and never opens whatever took its
    // name; the adapter last opened is listed first at the next start.
    void portListFollowsDevicesAndRemembersTheLastOne() {
        QTemporaryDir dir;
        int masters[2] = {-1, -1}, slaves[2] = {-1, -1};
        QString devices[2];
        for (int i = 0; i < 2; ++i) {
            char name[256] = {};
            QVERIFY(::openpty(&masters[i], &slaves[i], name, nullptr, nullptr) == 0);
            devices[i] = QString::fromLocal8Bit(name);
        }
        const QString conf = dir.filePath(QStringLiteral("ports.conf"));
        const QString links[2] = {dir.filePath(QStringLiteral("ttyA")),
                                  dir.filePath(QStringLiteral("ttyB"))};
        qt_->rememberPortsIn(conf);
        qt_->watchPorts({dir.filePath(QStringLiteral("tty*"))});
        const int listed = static_cast<int>(qt_->ports().size());
        auto find = [this](const QString& device) {
            for (const auto& e : qt_->ports()) {
                if (e.device == device) {
                    return e;
                }
            }
            return korven::rt::qt::PortEntry{};
        };
        // Which link to make (+) or remove (-), then the expected presence.
        struct Step {
            int link;
            bool make;
            bool presentA, presentB;
        };
        const Step steps[] = {{0, true, true, false},
                              {1, true, true, true},
                              {0, false, false, true},
                              {0, true, true, true}};
        int numbers[2] = {0, 0};
        for (const Step& step : steps) {
            if (step.make) {
                QVERIFY(QFile::link(devices[step.link], links[step.link]));
            } else {
                QVERIFY(QFile::remove(links[step.link]));
            }
            qt_->rescanPorts();
            const bool expected[2] = {step.presentA, step.presentB};
            for (int i = 0; i < 2; ++i) {
                const auto e = find(links[i]);
                if (numbers[i] == 0 && e.number != 0) {
                    numbers[i] = e.number;
                }
                QCOMPARE(e.number, numbers[i]); // once listed, never renumbered
                QCOMPARE(e.present && e.number != 0, expected[i]);
            }
            if (!step.presentA) {
                QCOMPARE(qt_->openCom(numbers[0], ComSettings{}), kComNoSerialPort);
            }
        }
        QCOMPARE(numbers[0], listed + 1);
        QCOMPARE(numbers[1], listed + 2);
        QCOMPARE(qt_->openCom(numbers[1], ComSettings{}), 0);

        QtBackend next;
        next.rememberPortsIn(conf);
        next.watchPorts({dir.filePath(QStringLiteral("tty*"))});
        QCOMPARE(next.ports().at(0).device, links[1]);
        qt_.reset(); // closes the ports before their ptys go
        for (int i = 0; i < 2; ++i) {
            ::close(masters[i]);
            ::close(slaves[i]);
        }
    }

    void vanishedDeviceClosesThePort() {
        QCOMPARE(install(), 0);
        ::close(master_);
        master_ = -1;
        ::close(slave_);
        slave_ = -1;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 20 && qt_->getInQLen(1) != kComPortNotOpen; ++i) {
            pump(2);
        }
        QCOMPARE(qt_->getInQLen(1), kComPortNotOpen);
        QVERIFY(Seconds(start) < 2.0);
        std::vector<std::uint8_t> buf(36);
        QCOMPARE(qt_->comRd(1, buf), kComPortNotOpen);
        QCOMPARE(qt_->comWrt(1, buf), kComPortNotOpen);
        QCOMPARE(listener_.calls, 0);
    }
};

int RunSerialTests(int argc, char** argv) {
    SerialTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_serial.moc"
