// Faults that live in the operating system, through the real Qt back end:
// the sensor's side of the line going away in the middle of a transfer,
// and ports that are missing, busy or not permitted. The program itself
// runs; a second process (this test binary started as a probe) stands in
// for a second program or for an operator without access to the device.
#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "link/com232.h"
#include "runtime/qt/qt_backend.h"
#include "sim/pty_server.h"
#include "tests/qt/qt_fixture.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using korven::rt::qt::QtBackend;
using qtfix::StatusText;

namespace {

const std::string kLayout = KORVEN_BINARY_DIR "/KORVENDarir23.uir";
constexpr uid_t kNobody = 65534;

// Seconds of CPU this process has used so far.
double CpuSeconds() {
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// A connection sequence that reached the sensor ends with its firmware text.
bool LooksConnected(const std::string& status) {
    return !status.empty() && status.find("Timeout") == std::string::npos &&
           status.find("rror") == std::string::npos && status.find("port") == std::string::npos &&
           status.find("Port") == std::string::npos;
}

} // namespace

// The probe: connects to PATH as port 1 with the program's own sequence and
// prints the status line it ends with. With --unprivileged and run as root
// it gives up root after loading its panels, before the port is opened.
int RunInitPortProbe(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[2]);
    const bool unprivileged = argc > 3 && std::string(argv[3]) == "--unprivileged";
    korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
    QtBackend qt;
    qt.mapPort(1, path, QStringLiteral("probe"));
    korven::rt::SetBackend(&qt);
    korven::ResetAllGlobals();
    korven::pHandle = LoadPanel(0, kLayout.c_str(), PANEL);
    korven::pPopup = LoadPanel(0, kLayout.c_str(), POPUP);
    if (korven::pHandle < 0 || korven::pPopup < 0) {
        std::fputs("probe: cannot load the panels\n", stderr);
        return 2;
    }
    korven::InitVars();
    if (unprivileged && ::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            std::perror("probe: dropping root");
            return 2;
        }
        // Giving up root makes the process undumpable, which would keep the
        // leak checker of a sanitizer build from inspecting it at exit.
        ::prctl(PR_SET_DUMPABLE, 1);
    }
    korven::InitRS232(korven::com);
    // The status line, then the port list's entry and its hint.
    const auto* ports = qobject_cast<QComboBox*>(qt.controlWidget(korven::pHandle, PANEL_DropDCom));
    std::printf("%s\n%s\n%s\n", StatusText().c_str(), qPrintable(ports->currentText()),
                qPrintable(ports->toolTip()));
    CloseCom(korven::com);
    korven::rt::SetBackend(nullptr);
    return 0;
}

class LineFaultTests : public qtfix::ProgramTestBase {
    Q_OBJECT

  private:
    // Runs this binary as the probe on `path` and returns its status line
    // (`line` 0), the port list's entry (1) and its hint (2).
    static QString Probe(const QString& path, bool unprivileged = false, int line = 0) {
        QProcess p;
        QStringList args{QStringLiteral("--init-port"), path};
        if (unprivileged) {
            args << QStringLiteral("--unprivileged");
        }
        p.start(QCoreApplication::applicationFilePath(), args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            return QStringLiteral("probe failed: ") +
                   QString::fromLocal8Bit(p.readAllStandardError());
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput())
            .split(QLatin1Char('\n'))
            .value(line);
    }

  private slots:
    // The stand-in for a pulled adapter: the sensor's pty closes while a
    // video block is on the wire. The loop ends at once and the status says
    // the port is gone, its entry in the port list is marked, the program
    // idles without spinning, and once the sensor is back the program
    // connects again without being asked.
    void sensorGoneMidTransferStopsTheLoopAndReconnects() {
        QTemporaryDir dir;
        const std::string link = dir.filePath(QStringLiteral("sensor")).toStdString();
        std::atomic<bool> blockRequested{false};
        korven::sim::PtyServerOptions options;
        options.linkPath = link;
        const std::string blockRequest = " RX cmd " + std::to_string(korven::CMD_DATA64) + " ";
        options.log = [&](const std::string& line) {
            if (line.find(blockRequest) != std::string::npos) {
                blockRequested = true;
            }
        };
        auto sensor =
            std::make_unique<korven::sim::PtyServer>(korven::sim::ModelOptions{}, options);
        std::string error;
        QVERIFY2(sensor->start(&error), error.c_str());

        QtBackend qt;
        qt.mapPort(1, QString::fromStdString(link), QStringLiteral("virtual sensor"));
        korven::rt::SetBackend(&qt);
        korven::ResetAllGlobals();

        enum class Step { Connect, Video, Unplugged, Idle, Back, Reconnected, Done };
        Step step = Step::Connect;
        QElapsedTimer clock;
        clock.start();
        qint64 stepAt = 0;
        double cpuAtUnplug = 0, cpuAtLoopEnd = 0, cpuIdle = 0;
        qint64 unpluggedAt = 0, loopEndedAt = 0, blockSeenAt = 0, connectedAt = 0;
        std::string statusWhileAway, statusAfterReconnect, statusAfterGet;
        QString entryWhileAway;
        bool loopEnded = false;

        auto button = [&qt](int id) {
            return qobject_cast<QPushButton*>(qt.controlWidget(korven::pHandle, id));
        };
        auto ports = [&qt] {
            return qobject_cast<QComboBox*>(qt.controlWidget(korven::pHandle, PANEL_DropDCom));
        };
        auto next = [&](Step s) {
            step = s;
            stepAt = clock.elapsed();
        };

        auto* poll = new QTimer;
        poll->setInterval(5);
        QObject::connect(poll, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            QWidget* panel = qt.panelWidget(korven::pHandle);
            switch (step) {
            case Step::Connect:
                if (panel && panel->isVisible()) {
                    next(Step::Video);
                    QTest::mouseClick(button(PANEL_BTNVideo), Qt::LeftButton);
                }
                break;
            case Step::Video:
                // Once the video has run a while, pull the line while a
                // block request is being answered.
                if (blockSeenAt == 0 && now - stepAt > 1000 && blockRequested.exchange(false)) {
                    blockSeenAt = now;
                } else if (blockSeenAt != 0 && now - blockSeenAt >= 15) {
                    sensor->stop();
                    cpuAtUnplug = CpuSeconds();
                    unpluggedAt = now;
                    next(Step::Unplugged);
                } else if (now - stepAt < 1000) {
                    blockRequested = false;
                }
                break;
            case Step::Unplugged:
                if (korven::stop_flag == 1 && button(PANEL_BTNRun)->isEnabled()) {
                    loopEnded = true;
                    loopEndedAt = now;
                    cpuAtLoopEnd = CpuSeconds();
                    next(Step::Idle);
                } else if (now - unpluggedAt > 20000) {
                    next(Step::Done); // the loop never ended
                    qt.panelWidget(korven::pHandle)->close();
                }
                break;
            case Step::Idle:
                if (now - stepAt >= 1500) {
                    cpuIdle = CpuSeconds() - cpuAtLoopEnd;
                    statusWhileAway = StatusText();
                    entryWhileAway = ports()->currentText();
                    sensor = std::make_unique<korven::sim::PtyServer>(korven::sim::ModelOptions{},
                                                                      options);
                    if (!sensor->start(&error)) {
                        next(Step::Done);
                        qt.panelWidget(korven::pHandle)->close();
                        break;
                    }
                    next(Step::Back);
                }
                break;
            case Step::Back:
                // Nobody touches the panel: the program notices the sensor
                // within its port-list interval and connects; the connection
                // sequence ends with the firmware text.
                if (connectedAt == 0 && StatusText().find("(simulated)") != std::string::npos) {
                    connectedAt = now;
                }
                if ((connectedAt != 0 && now - connectedAt > 300) || now - stepAt > 6000) {
                    statusAfterReconnect = StatusText();
                    next(Step::Reconnected);
                    QTest::mouseClick(button(PANEL_BTNGet), Qt::LeftButton);
                }
                break;
            case Step::Reconnected:
                if (now - stepAt >= 500) {
                    statusAfterGet = StatusText();
                    next(Step::Done);
                    qt.panelWidget(korven::pHandle)->close();
                }
                break;
            case Step::Done:
                if (now - stepAt > 15000) {
                    qt.quitUserInterface(99); // only if the close failed
                }
                break;
            }
        });
        poll->start();

        const int rc = korven::WinMain(nullptr, nullptr, nullptr, 1);
        delete poll;
        korven::rt::SetBackend(nullptr);
        sensor->stop();

        const double secondsToEnd = static_cast<double>(loopEndedAt - unpluggedAt) / 1000.0;
        qInfo("line gone: loop ended after %.2f s, CPU %.2f s until then, %.3f s in 1 s idle; "
              "away: '%s' '%s'; back: '%s'",
              secondsToEnd, cpuAtLoopEnd - cpuAtUnplug, cpuIdle, statusWhileAway.c_str(),
              qPrintable(entryWhileAway), statusAfterReconnect.c_str());
        QCOMPARE(rc, 0);
        QVERIFY2(loopEnded, "the video loop did not end after the line went away");
        // At once: no answer time-out.
        QVERIFY2(secondsToEnd < 0.5, qPrintable(QString::number(secondsToEnd)));
        QCOMPARE(statusWhileAway, std::string("No serial port found"));
        QVERIFY2(entryWhileAway.startsWith(QStringLiteral("COM1 [unplugged]: ")),
                 qPrintable(entryWhileAway));
        // No busy loop while away.
        QVERIFY2(cpuIdle < 0.25, qPrintable(QString::number(cpuIdle)));
        QVERIFY2(LooksConnected(statusAfterReconnect), statusAfterReconnect.c_str());
        QCOMPARE(statusAfterGet, std::string("Parameter-frame received! - Line Ok!"));
    }

    // A port held by another program and a port the operator may not open
    // both end in "Cannot open port"; a port that does not exist ends in
    // "No serial port found". The port list marks the port that may not be
    // opened with its group and says how to get access. The same device
    // opens when it is free and permitted, so the probe itself is sound.
    void busyDeniedAndMissingPortsSaySo() {
        korven::sim::PtyServer sensor;
        std::string error;
        QVERIFY2(sensor.start(&error), error.c_str());
        const QString device = QString::fromStdString(sensor.slavePath());

        const QString free = Probe(device);
        QVERIFY2(LooksConnected(free.toStdString()), qPrintable(free));

        {
            QtBackend holder;
            holder.mapPort(1, device);
            korven::rt::ComSettings settings;
            QCOMPARE(holder.openCom(1, settings), 0);
            QCOMPARE(Probe(device), QStringLiteral("Cannot open port"));
        }

        struct stat st {};
        QCOMPARE(::stat(sensor.slavePath().c_str(), &st), 0);
        const bool root = ::geteuid() == 0;
        // Root may open anything: the probe gives up root, and the device
        // is closed to everyone but its owner. Others lock themselves out.
        QCOMPARE(::chmod(sensor.slavePath().c_str(), root ? 0600 : 0000), 0);
        QString denied[3];
        for (int line = 0; line < 3; ++line) {
            denied[line] = Probe(device, true, line);
        }
        QCOMPARE(::chmod(sensor.slavePath().c_str(), 0666), 0);
        const QString permitted = Probe(device, true);
        ::chmod(sensor.slavePath().c_str(), st.st_mode & 07777);
        QCOMPARE(denied[0], QStringLiteral("Cannot open port"));
        const QString group = QString::fromLocal8Bit(::getgrgid(st.st_gid)->gr_name);
        QVERIFY2(denied[1].startsWith(QStringLiteral("COM1 [no access: group %1]: ").arg(group)),
                 qPrintable(denied[1]));
        QVERIFY2(denied[2].contains(QStringLiteral("usermod -aG ") + group), qPrintable(denied[2]));
        QVERIFY2(LooksConnected(permitted.toStdString()), qPrintable(permitted));

        QTemporaryDir nothing;
        QCOMPARE(Probe(nothing.filePath(QStringLiteral("ttyUSB9"))),
                 QStringLiteral("No serial port found"));
    }
};

int RunLineFaultTests(int argc, char** argv) {
    LineFaultTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_line_faults.moc"
