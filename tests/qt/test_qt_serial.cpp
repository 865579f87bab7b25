// Serial ports of the Qt back end over a pseudo-terminal: the receive
// notification's rules, the input queue, time-outs, open errors and the
// port list that follows devices coming and going.
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_serial_internal.h"
#include "tests/qt/pty.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using korven::rt::ComSettings;
using korven::rt::qt::QtBackend;

namespace {

struct Listener {
    QtBackend* qt = nullptr;
    int calls = 0, depth = 0, maxDepth = 0;
    int readBytes = 0; // bytes each call reads (0 = none)
    bool pumpInside = false;
};

void OnReceive(int port, int /*mask*/, void* data) {
    auto* l = static_cast<Listener*>(data);
    ++l->calls;
    l->maxDepth = std::max(l->maxDepth, ++l->depth);
    if (l->readBytes > 0) {
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(l->readBytes));
        l->qt->comRd(port, buf);
    }
    for (int i = 0; l->pumpInside && i < 5; ++i) {
        l->qt->processSystemEvents();
    }
    --l->depth;
}

// Polls `done`, without processing events, until it holds or ten seconds
// have passed; says whether it held.
bool WaitUntil(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000) {
        QThread::msleep(2);
    }
    return done();
}

} // namespace

class SerialTests : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QtBackend> qt_;
    std::unique_ptr<Pty> pty_;
    Listener listener_;

    // Writes n bytes to port 1 and waits until they are in its input queue,
    // or (queued = false) only until they have crossed the pty.
    void send(std::size_t n, bool queued = true) {
        const int before = qt_->getInQLen(1);
        const std::vector<std::uint8_t> bytes(n, 0x55);
        QCOMPARE(::write(pty_->master, bytes.data(), bytes.size()), static_cast<ssize_t>(n));
        QVERIFY(WaitUntil([&] {
            pollfd p{pty_->slave, POLLIN, 0};
            return queued ? qt_->getInQLen(1) == before + static_cast<int>(n)
                          : ::poll(&p, 1, 0) > 0;
        }));
    }
    void pump(int passes = 5) {
        for (int i = 0; i < passes; ++i) {
            qt_->processSystemEvents();
        }
    }
    int install() {
        return qt_->installComCallback(1, LWRS_RECEIVE | LWRS_TXEMPTY | LWRS_RXFLAG, 36, 0x55,
                                       &OnReceive, &listener_);
    }

  private slots:
    void init() {
        pty_ = std::make_unique<Pty>();
        QVERIFY(!pty_->path.isEmpty());
        qt_ = std::make_unique<QtBackend>();
        qt_->mapPort(1, pty_->path, QStringLiteral("test pty"));
        listener_ = Listener{};
        listener_.qt = qt_.get();
        QCOMPARE(qt_->openCom(1, ComSettings{}), 0);
        QCOMPARE(qt_->setComTime(1, 1.0), 0);
    }

    void cleanup() {
        qt_.reset();
        pty_.reset();
    }

    void openErrorsMapToTheEngineCodes() {
        QTemporaryDir dir;
        const QString plainFile = dir.filePath(QStringLiteral("not-a-tty"));
        QVERIFY(QFile(plainFile).open(QIODevice::WriteOnly));
        qt_->mapPort(2, dir.filePath(QStringLiteral("missing")));
        qt_->mapPort(3, plainFile);
        const struct {
            int port, dataBits, code;
        } opens[] = {
            {0, 8, kComInvalidPortNumber}, {256, 8, kComInvalidPortNumber},
            {2, 8, kComNoSerialPort},      {200, 8, kComNoSerialPort},
            {3, 8, kComCannotOpenPort},    {1, 9, kComInvalidParameter},
        };
        for (const auto& o : opens) {
            ComSettings s;
            s.dataBits = o.dataBits;
            QCOMPARE(qt_->openCom(o.port, s), o.code);
        }
        // A pseudo-terminal refuses the low-latency mode that every open
        // asks for; port 1 opened and works all the same.
        using korven::rt::qt::detail::LowLatency;
        QCOMPARE(korven::rt::qt::detail::AskLowLatency(pty_->slave), LowLatency::Refused);
        // Closing a port that is not open says so (reads and writes on one
        // that vanished are refused below).
        QCOMPARE(qt_->closeCom(2), kComPortNotOpen);
        // The port list shows the mapped devices with their numbers.
        const auto ports = qt_->ports();
        QVERIFY(ports.size() >= 3);
        QCOMPARE((std::tuple{ports[0].number, ports[0].device, ports[0].description}),
                 (std::tuple{1, pty_->path, QStringLiteral("test pty")}));
    }

    // The receive notification comes only from event processing, once per
    // whole frame, not while silenced, and never inside itself. Each step
    // prepares the port, sends bytes and then processes events (or only
    // waits, which must not notify); then the calls so far and the bytes
    // left in the queue.
    void notificationRules() {
        enum Before { kNothing, kInstall, kSilence, kReadFrames, kPumpInside };
        const struct {
            Before before;
            int bytes, pump, calls, left;
        } steps[] = {
            // Visible without any event processing; notified with the next pass.
            {kInstall, 36, 0, 0, 36},
            {kNothing, 0, 1, 1, 36},
            // Unread bytes do not raise it again; a further frame does.
            {kNothing, 0, 1, 1, 36},
            {kNothing, 36, 1, 2, 72},
            // Silenced, it stays quiet; installed again, it announces what is
            // already waiting.
            {kSilence, 36, 1, 2, 36},
            {kInstall, 0, 1, 3, 36},
            // A listener that reads each frame: one notification per whole frame.
            {kReadFrames, 35, 1, 3, 35},
            {kNothing, 1, 1, 4, 0},
            {kNothing, 72, 1, 6, 0},
            {kNothing, 40, 1, 7, 4},
            // One that processes events while more frames arrive is not
            // called again inside itself.
            {kPumpInside, 36 * 3, 1, 10, 0},
        };
        for (const auto& s : steps) {
            if (s.before == kInstall) {
                QCOMPARE(install(), 0);
            } else if (s.before != kNothing) {
                QCOMPARE(qt_->flushInQ(1), 0);
                listener_.readBytes = s.before == kReadFrames ? 36 : listener_.readBytes;
                listener_.pumpInside = s.before == kPumpInside;
            }
            if (s.before == kSilence) {
                QCOMPARE(qt_->installComCallback(1, 0, 0, 0, nullptr, nullptr), 0);
            }
            if (s.bytes > 0) {
                send(static_cast<std::size_t>(s.bytes));
            }
            s.pump ? pump() : qt_->delay(0.02);
            QCOMPARE((std::pair{listener_.calls, qt_->getInQLen(1)}), (std::pair{s.calls, s.left}));
        }
        QCOMPARE(listener_.maxDepth, 1);
    }

    void readsWaitForBytesUpToTheTimeout() {
        QCOMPARE(qt_->setComTime(1, 0.3), 0);
        send(10);
        std::vector<std::uint8_t> buf(36);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(qt_->comRd(1, buf), 10);
        QVERIFY(clock.elapsed() >= 250 && clock.elapsed() < 1500);

        // Bytes that come in while waiting complete the read early.
        QCOMPARE(qt_->setComTime(1, 2.0), 0);
        std::thread writer([this] {
            QThread::msleep(100);
            const std::vector<std::uint8_t> bytes(36, 0xAA);
            (void)::write(pty_->master, bytes.data(), bytes.size());
        });
        clock.restart();
        const int got = qt_->comRd(1, buf);
        writer.join();
        QCOMPARE(got, 36);
        QVERIFY(clock.elapsed() < 1500);
        QCOMPARE(buf[35], std::uint8_t{0xAA});
    }

    void writesArriveAndFlushDiscardsInput() {
        const std::vector<std::uint8_t> frame{0x00, 0x55, 0x00, 0x05, 0x12, 0x34};
        QCOMPARE(qt_->comWrt(1, frame), 6);
        std::vector<std::uint8_t> arrived(6);
        pollfd p{pty_->master, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 10000) > 0);
        QCOMPARE(::read(pty_->master, arrived.data(), arrived.size()), 6);
        QCOMPARE(arrived, frame);

        send(20);
        send(5, false); // still in the system's queue
        QCOMPARE(qt_->flushInQ(1), 0);
        QCOMPARE(qt_->getInQLen(1), 0);
        QThread::msleep(20);
        QCOMPARE(qt_->getInQLen(1), 0);
        QCOMPARE(qt_->flushOutQ(1), 0);
    }

    // Devices that come and go keep their numbers, new ones are added at
    // the end, a pulled one is marked and never opens whatever took its
    // name; the adapter on which a sensor last answered is listed first at
    // the next start.
    void portListFollowsDevicesAndRemembersTheLastOne() {
        QTemporaryDir dir;
        Pty devices[2];
        const QString conf = dir.filePath(QStringLiteral("ports.conf"));
        const QString links[2] = {dir.filePath(QStringLiteral("ttyA")),
                                  dir.filePath(QStringLiteral("ttyB"))};
        qt_->keepSettingsIn(conf);
        qt_->watchPorts({dir.filePath(QStringLiteral("tty*"))});
        const int listed = static_cast<int>(qt_->ports().size());
        // The test's entries in the list: name, number after those listed
        // before, and whether the device is gone.
        const auto entries = [&] {
            QStringList out;
            for (const auto& e : qt_->ports()) {
                if (e.device.startsWith(dir.path())) {
                    out << QStringLiteral("%1=%2%3")
                               .arg(QFileInfo(e.device).fileName())
                               .arg(e.number - listed)
                               .arg(e.present ? "" : " gone");
                }
            }
            return out.join(QStringLiteral(", "));
        };
        // Which link to make or remove, then the entries: numbered in the
        // order they come, and never renumbered.
        const struct {
            int link;
            bool make;
            const char* entries;
        } steps[] = {{0, true, "ttyA=1"},
                     {1, true, "ttyA=1, ttyB=2"},
                     {0, false, "ttyA=1 gone, ttyB=2"},
                     {0, true, "ttyA=1, ttyB=2"}};
        for (const auto& step : steps) {
            QVERIFY(step.make ? QFile::link(devices[step.link].path, links[step.link])
                              : QFile::remove(links[step.link]));
            qt_->rescanPorts();
            QCOMPARE(entries(), QString(step.entries));
            if (!step.make) {
                QCOMPARE(qt_->openCom(listed + 1, ComSettings{}), kComNoSerialPort);
            }
        }
        // Opening a port remembers nothing; a sensor answering on it does.
        QCOMPARE(qt_->openCom(listed + 2, ComSettings{}), 0);
        for (const bool answered : {false, true}) {
            if (answered) {
                qt_->portAnswered(listed + 2);
            }
            QtBackend next;
            next.keepSettingsIn(conf);
            next.watchPorts({dir.filePath(QStringLiteral("tty*"))});
            QCOMPARE(next.ports().at(0).device == links[1], answered);
        }
        qt_.reset(); // closes the ports before their ptys go
    }

    // Bytes paced at the line's speed (one every 0.521 ms at 19200 baud)
    // wake the event passes a few times per frame, not once per byte.
    void pacedBytesCostAFewPassesPerFrame() {
        const struct {
            const char* what;
            int bytes;
            bool notify; // a 36-byte receive notification, or a polled block
        } cases[] = {{"one answer", 36, true},
                     {"three answers back to back", 108, true},
                     {"a video block, polled", 128, false}};
        for (const auto& c : cases) {
            QCOMPARE(qt_->flushInQ(1), 0);
            QCOMPARE(qt_->installComCallback(1, c.notify ? LWRS_RECEIVE : 0, 36, 0, &OnReceive,
                                             &listener_),
                     0);
            listener_.calls = 0;
            std::thread sensor([fd = pty_->master, n = c.bytes] {
                const std::uint8_t b = 0x55;
                for (int i = 0; i < n; ++i) {
                    (void)::write(fd, &b, 1);
                    std::this_thread::sleep_for(std::chrono::microseconds(521));
                }
            });
            const auto done = [&] {
                return c.notify ? listener_.calls == c.bytes / 36 : qt_->getInQLen(1) >= c.bytes;
            };
            int passes = 0;
            QElapsedTimer clock;
            clock.start();
            for (; !done() && clock.elapsed() < 3000; ++passes) {
                qt_->processSystemEvents();
            }
            sensor.join();
            QVERIFY2(done(), c.what);
            qInfo("%s: %d passes in %lld ms", c.what, passes, clock.elapsed());
            // A pass per byte, or an idle wait of a millisecond, would take
            // about `bytes` passes, or `ms`, at least; the sensor thread runs
            // slower than the line on a busy machine.
            QVERIFY2(passes <= c.bytes / 2 + static_cast<int>(clock.elapsed() / 5), c.what);
        }
    }

    void vanishedDeviceClosesThePort() {
        QCOMPARE(install(), 0);
        pty_->close();
        QVERIFY(WaitUntil([this] {
            pump(1);
            return qt_->getInQLen(1) == kComPortNotOpen;
        }));
        std::vector<std::uint8_t> buf(36);
        QCOMPARE((std::vector{qt_->getInQLen(1), qt_->comRd(1, buf), qt_->comWrt(1, buf)}),
                 std::vector(3, kComPortNotOpen));
        QCOMPARE(listener_.calls, 0);
    }
};

int RunSerialTests(int argc, char** argv) {
    return QTest::qExec(std::make_unique<SerialTests>().get(), argc, argv);
}

#include "test_qt_serial.moc"
