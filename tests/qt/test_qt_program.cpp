// The program on the Qt back end: its real panels start like the headless
// ones, and the whole program runs against the virtual sensor on a
// pseudo-terminal, RUN and STOP included. Faults that live in the operating
// system come through the real back end too: the sensor's side of the line
// going away in the middle of a transfer, and ports that are missing, busy
// or not permitted. A second process (this test binary started as a probe)
// stands in for a second program or for an operator without access.
#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/registry.h"
#include "link/com232.h"
#include "runtime/headless/headless.h"
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_graph.h"
#include "sim/pty_server.h"
#include "tests/qt/ser2net.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <grp.h>
#include <map>
#include <memory>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using korven::rt::Value;
using korven::rt::qt::QtBackend;

namespace {

// Every control of the layout: its panel's resource, its name and its id.
#define KORVEN_ID(resource, name, id) {resource, #name, id},
constexpr std::tuple<int, const char*, int> kControls[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_ID)};
#undef KORVEN_ID

const std::string kLayout = KORVEN_BINARY_DIR "/KORVENDarir23.uir";
constexpr uid_t kNobody = 65534;

// The program's status line.
std::string StatusText() {
    char text[1024] = {};
    GetCtrlVal(korven::pHandle, PANEL_STATUS, text);
    return text;
}

// A connection sequence that reached the sensor ends with its firmware text.
bool LooksConnected(const std::string& status) {
    static const QRegularExpression kFailure(QStringLiteral("Timeout|rror|[Pp]ort"));
    return !status.empty() && !QString::fromStdString(status).contains(kFailure);
}

// The program's name in the header is shown once and leaves the logo uncovered.
bool NameLeavesTheLogoUncovered(QtBackend& qt) {
    QWidget* panel = qt.panelWidget(korven::pHandle);
    auto* logo = qobject_cast<QLabel*>(qt.controlWidget(korven::pHandle, PANEL_LOGO));
    if (!logo || logo->pixmap().isNull()) {
        return false;
    }
    const auto onPanel = [panel](QWidget* w) {
        return QRect(w->mapTo(panel, QPoint()), w->size());
    };
    int names = 0;
    for (QLabel* label : panel->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("KORVEN-Darir")) {
            names += onPanel(label).intersects(onPanel(logo)) ? 2 : 1;
        }
    }
    return names == 1;
}

// One step of an operator's script: once `ready` holds, and at least
// `waitMs` after the step before acted, `act` runs.
struct Step {
    const char* what;
    std::function<bool()> ready;
    std::function<void()> act = [] {};
    qint64 limitMs = 10000;
    qint64 waitMs = 0;
};

// Runs the program on `qt` while the steps act on it one after the other,
// the first once the main panel shows; then closes the panel. Every status
// text shown lands in `shown`; `stuck` names a step whose condition did not
// hold in time (the steps after it are skipped). Returns the exit code.
int RunProgram(QtBackend& qt, const std::vector<Step>& steps, std::vector<std::string>& shown,
               std::string& stuck) {
    korven::rt::SetBackend(&qt);
    korven::ResetAllGlobals();
    std::size_t next = 0;
    bool started = false;
    QElapsedTimer since;
    since.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const std::string now = StatusText();
        if (shown.empty() || shown.back() != now) {
            shown.push_back(now);
        }
        QWidget* panel = qt.panelWidget(korven::pHandle);
        if (!started && panel && panel->isVisible()) {
            started = true;
            since.restart();
        } else if (started && next < steps.size()) {
            if (since.elapsed() >= steps[next].waitMs && steps[next].ready()) {
                steps[next++].act();
                since.restart();
            } else if (since.elapsed() > steps[next].limitMs) {
                stuck = steps[next].what;
                next = steps.size();
            }
            if (next == steps.size()) {
                panel->close();
            }
        } else if (since.elapsed() > 30000) {
            qt.quitUserInterface(99); // only if the close failed
        }
    });
    poll.start(1);
    const int rc = korven::WinMain(nullptr, nullptr, nullptr, 1);
    korven::rt::SetBackend(nullptr);
    return rc;
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
    // The status line, then the port list's entry and its tooltip: the
    // whole entry and, on the next line, the hint.
    const auto* ports = qobject_cast<QComboBox*>(qt.controlWidget(korven::pHandle, PANEL_DropDCom));
    std::printf("%s\n%s\n%s\n", StatusText().c_str(), qPrintable(ports->currentText()),
                qPrintable(ports->toolTip()));
    CloseCom(korven::com);
    korven::rt::SetBackend(nullptr);
    return 0;
}

// Each test function gets the program's layout registry, and no back end
// is left behind after it.
class ProgramTests : public QObject {
    Q_OBJECT

  private:
    const korven::rt::LayoutRegistry* previous_ = nullptr;

    // Runs this binary as the probe on `path`: its status line, the port
    // list's entry and that entry's hint.
    static QStringList Probe(const QString& path, const QString& mode = {}) {
        QProcess p;
        p.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--init-port"), path, mode});
        if (!p.waitForFinished(60000) || p.exitCode() != 0) {
            return {QStringLiteral("probe failed: ") + p.readAllStandardError(), {}, {}};
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    }

  private slots:
    void init() {
        previous_ = korven::rt::CurrentLayoutRegistry();
        korven::rt::SetLayoutRegistry(&korven::KorvenLayoutRegistry());
    }

    void cleanup() {
        korven::rt::SetLayoutRegistry(previous_);
        korven::rt::SetBackend(nullptr);
    }

    void realPanelsStartLikeTheHeadlessOnes() {
        QtBackend qt;
        korven::rt::headless::HeadlessOptions options;
        options.projectDir = KORVEN_BINARY_DIR;
        korven::rt::headless::HeadlessBackend headless(options);
        std::map<int, std::pair<int, int>> handles; // resource -> (qt, headless)
        for (int resource : {PANEL, POPUP, COMPARE, REPORT, MQTT}) {
            handles[resource] = {qt.loadPanel(0, kLayout, resource),
                                 headless.loadPanel(0, kLayout, resource)};
            QVERIFY(handles[resource].first > 0 && handles[resource].second > 0);
        }
        using K = korven::rt::CtrlKind;
        int compared = 0;
        for (const auto& [resource, name, id] : kControls) {
            const auto [q, h] = handles[resource];
            QVERIFY2(qt.controlWidget(q, id) != nullptr, name);
            const auto& state = headless.ctrl(h, id);
            // The attribute (or, for 0, the value) as one back end reads it.
            const auto read = [&](korven::rt::Backend& b, int panel, int attr) {
                Value v;
                const int rc =
                    attr == 0 ? b.getCtrlVal(panel, id, v) : b.getCtrlAttribute(panel, id, attr, v);
                const QString text = rc < 0 ? QStringLiteral("failed")
                                     : attr == 0 || v.kind == Value::Kind::Text
                                         ? QString::fromStdString(v.asText())
                                         : QString::number(v.asDouble());
                return QStringLiteral("%1 attribute %2: %3").arg(name).arg(attr).arg(text);
            };
            std::vector<int> attrs{ATTR_DIMMED, ATTR_VISIBLE, ATTR_LEFT, ATTR_TOP};
            if (state.kind != K::Command && state.kind != K::Container && state.kind != K::Graph &&
                state.kind != K::StripChart && state.kind != K::Picture) {
                attrs.push_back(0);
                ++compared;
            }
            if (state.kind == K::Numeric) {
                attrs.insert(attrs.end(), {ATTR_MIN_VALUE, ATTR_MAX_VALUE});
            }
            if (state.kind == K::Toggle) {
                attrs.insert(attrs.end(), {ATTR_ON_TEXT, ATTR_OFF_TEXT});
            }
            if (!state.label.empty()) {
                attrs.push_back(ATTR_LABEL_TEXT);
            }
            for (int attr : attrs) {
                const QString shown = read(qt, q, attr);
                QCOMPARE(shown, read(headless, h, attr));
                QVERIFY2(!shown.endsWith(QStringLiteral("failed")), qPrintable(shown));
            }
        }
        QVERIFY(compared > 30);
    }

    // The operator's walk through the program against the virtual sensor:
    // GET, SEND, the video with an activation in the calibration pop-up, RUN
    // and STOP; then the sensor's side of the line goes away while a video
    // block is on the wire. The loop ends at once and the status says the
    // port is gone, its entry in the port list is marked, the program idles
    // without spinning, and once the sensor is back the program connects
    // again without being asked. Last, a port with no device behind it.
    // Over the network (ser2net's RFC 2217 accepter in front of the virtual
    // sensor) the same walk ends with the server going away during RUN, and
    // coming back.
    void operatorWalkAndPulledLine_data() {
        QTest::addColumn<bool>("network");
        QTest::newRow("local line") << false;
        QTest::newRow("rfc2217") << true;
    }
    void operatorWalkAndPulledLine() {
        QFETCH(bool, network);
        if (network && Ser2Net::Program().isEmpty()) {
            QSKIP("ser2net is not installed (Debian: apt-get install ser2net)");
        }
        QTemporaryDir dir;
        std::atomic<bool> blockRequested{false};
        korven::sim::PtyServerOptions options;
        options.linkPath = dir.filePath(QStringLiteral("sensor")).toStdString();
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
        std::unique_ptr<Ser2Net> server;
        if (network) {
            server = std::make_unique<Ser2Net>(QString::fromStdString(sensor->slavePath()));
            QString failed;
            QVERIFY2(server->start(&failed), qPrintable(failed));
        }
        const QString link = network ? server->rfc2217() : QString::fromStdString(sensor->path());
        const QString away = network ? QStringLiteral("COM1 [no connection]: ")
                                     : QStringLiteral("COM1 [unplugged]: ");
        QtBackend qt;
        qt.mapPort(1, link, QStringLiteral("virtual sensor"));
        qt.mapPort(2, dir.filePath(QStringLiteral("ttyGone")), QStringLiteral("unplugged"));

        const auto widget = [&qt](int id) { return qt.controlWidget(korven::pHandle, id); };
        const auto ports = [&] { return qobject_cast<QComboBox*>(widget(PANEL_DropDCom)); };
        const auto status = [](const char* text) {
            return [text] { return StatusText() == text; };
        };
        const auto stopped = [&] {
            return korven::stop_flag == 1 && widget(PANEL_BTNRun)->isEnabled();
        };
        std::vector<std::string> shown;
        std::size_t mark = 0, unplugged = 0;
        const auto since = [&](std::size_t from, const char* text) {
            return std::find(shown.begin() + static_cast<long>(from), shown.end(), text);
        };
        // Clicks on a panel (the main one unless named), after noting where
        // the status log stands.
        const auto clicks = [&](std::vector<int> ids, const int* panel = &korven::pHandle) {
            return [&, ids, panel] {
                mark = shown.size();
                for (int id : ids) {
                    QTest::mouseClick(qt.controlWidget(*panel, id), Qt::LeftButton);
                }
            };
        };
        const char* const kBlock = "Data[64] block received!";
        const char* const kGot = "Parameter-frame received! - Line Ok!";
        bool restarted = false;
        std::clock_t cpuAtLoopEnd = 0; // CPU time this process has used
        double cpuIdle = 0;            // seconds

        std::vector<Step> steps = {
            {"connected",
             [&] {
                 return LooksConnected(StatusText()) && ports()->itemText(0).contains(link) &&
                        NameLeavesTheLogoUncovered(qt);
             },
             clicks({PANEL_BTNGet})},
            {"GET", status(kGot), clicks({PANEL_BTNSend})},
            {"SEND", status("Line Ok!"), clicks({PANEL_TOGGBTN_ParaII, PANEL_BTNVideo})},
            {"video",
             [&] { return StatusText() == kBlock && widget(PANEL_GRAPH_VIDEO)->isVisible(); },
             clicks({POPUP_ActivateCalibration}, &korven::pPopup)},
            // The sensor's answer is the activation's, not a video block.
            {"activated, video on",
             [&] {
                 return since(since(mark, "Calibration activated!") - shown.begin(), kBlock) !=
                        shown.end();
             },
             clicks({PANEL_BTNStop})},
            {"video stopped", stopped, clicks({PANEL_BTNRun})},
            {"run",
             [&] {
                 auto* g = qt.graph(korven::pHandle, PANEL_GRAPH_RAW);
                 int measured = 0;
                 GetCtrlVal(korven::pHandle, PANEL_NUMMValue, &measured);
                 return !widget(PANEL_BTNRun)->isEnabled() && !g->traces().empty() &&
                        g->traces()[0].size() > 5 && measured > 0;
             },
             clicks({PANEL_BTNStop})},
            {"run stopped", stopped, clicks({PANEL_BTNVideo})},
            // Once the video runs, pull the line while a block request is
            // being answered.
            {"block requested",
             [&] {
                 const bool running = since(mark, kBlock) != shown.end();
                 return blockRequested.exchange(false) && running;
             }},
            {.what = "unplug",
             .ready = [] { return true; },
             .act =
                 [&] {
                     network ? server->kill() : sensor->stop();
                     unplugged = shown.size();
                 },
             .waitMs = 15},
            // The loop ends at once, with no answer time-out.
            {"loop ended", stopped, [&] { cpuAtLoopEnd = std::clock(); }, 500},
            {.what = "away",
             .ready =
                 [&] {
                     return StatusText() == "No serial port found" &&
                            ports()->currentText().startsWith(away);
                 },
             .act =
                 [&] {
                     cpuIdle = static_cast<double>(std::clock() - cpuAtLoopEnd) / CLOCKS_PER_SEC;
                     if (network) {
                         QString failed;
                         restarted = server->start(&failed);
                         error = failed.toStdString();
                         return;
                     }
                     sensor = std::make_unique<korven::sim::PtyServer>(korven::sim::ModelOptions{},
                                                                       options);
                     restarted = sensor->start(&error);
                 },
             .waitMs = 1500},
            // Nobody touches the panel: the program notices the sensor within
            // its port-list interval and connects.
            {"reconnected", [] { return StatusText().find("(simulated)") != std::string::npos; }},
            {.what = "settled",
             .ready = [] { return LooksConnected(StatusText()); },
             .act = clicks({PANEL_BTNGet}),
             .waitMs = 300},
            {"GET again", status(kGot),
             [&] {
                 // The operator picks port 2, which has no device behind it.
                 const int index = ports()->findText(QStringLiteral("COM2"), Qt::MatchStartsWith);
                 ports()->setCurrentIndex(index);
                 emit ports()->activated(index); // as a choice in the list does
             }},
            {"no port", status("No serial port found")},
        };
        if (network) {
            // The server goes while RUN runs: the video steps before it go.
            const auto at = [&](const char* what) {
                return std::find_if(steps.begin(), steps.end(),
                                    [what](const Step& s) { return std::string(s.what) == what; });
            };
            at("run")->act = [] {};
            steps.erase(at("run stopped"), at("block requested") + 1);
        }
        std::string stuck;
        const int rc = RunProgram(qt, steps, shown, stuck);
        qInfo("CPU %.3f s in 1.5 s idle after the line went away", cpuIdle);
        QCOMPARE(rc, 0);
        QVERIFY2(restarted, error.c_str());
        QVERIFY2(stuck.empty(), qPrintable(QStringLiteral("stuck at %1 with status '%2'")
                                               .arg(stuck.c_str(), StatusText().c_str())));
        for (std::size_t i = 0; i < unplugged; ++i) {
            QVERIFY2(shown[i].find("Timeout") == std::string::npos, shown[i].c_str());
        }
        QCOMPARE(std::count(shown.begin(), shown.end(), "Calibration activated!"), 1);
        // No busy loop while away.
        QCOMPARE_LT(cpuIdle, 0.25);
    }

    // The port list's last entry adds a network port: a malformed address
    // is refused with the reason and asked for again; a well-formed one is
    // listed, chosen and connected to (nothing listens: no port found), and
    // listed again at the next start.
    void networkPortsAreAddedFromThePortList() {
        QTemporaryDir dir;
        const QString conf = dir.filePath(QStringLiteral("settings.conf"));
        const QString address = QStringLiteral("socket://127.0.0.1:%1").arg(Ser2Net::FreePort());
        QtBackend qt;
        qt.keepSettingsIn(conf);
        korven::rt::SetBackend(&qt);
        korven::ResetAllGlobals();
        korven::pHandle = LoadPanel(0, kLayout.c_str(), PANEL);
        korven::InitVars();
        auto* ports = qobject_cast<QComboBox*>(qt.controlWidget(korven::pHandle, PANEL_DropDCom));
        const int add = ports->count() - 1;
        QCOMPARE(ports->itemText(add), QStringLiteral("Add network port..."));
        // The dialog's texts as shown, and what the operator types into it.
        QStringList labels;
        QStringList typed = {QStringLiteral("rfc2217://127.0.0.1"), address};
        QTimer operatorAtTheDialog;
        QObject::connect(&operatorAtTheDialog, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            if (dialog && !typed.isEmpty()) {
                labels << dialog->labelText();
                dialog->setTextValue(typed.takeFirst());
                dialog->accept();
            }
        });
        operatorAtTheDialog.start(10);
        ports->setCurrentIndex(add);
        emit ports->activated(add); // as a choice in the list does
        QVERIFY(QTest::qWaitFor([&] { return StatusText() == "No serial port found"; }, 10000));
        QCOMPARE(labels.size(), 2);
        QVERIFY2(!labels[0].startsWith(QStringLiteral("Not added")), qPrintable(labels[0]));
        QVERIFY2(labels[1].startsWith(QStringLiteral("Not added: expected HOST:PORT")),
                 qPrintable(labels[1]));
        QVERIFY2(ports->currentText().endsWith(address + QStringLiteral(" (network port)")),
                 qPrintable(ports->currentText()));
        QCOMPARE(ports->itemText(ports->count() - 1), QStringLiteral("Add network port..."));
        CloseCom(korven::com);
        korven::rt::SetBackend(nullptr);

        QtBackend next;
        next.keepSettingsIn(conf);
        const auto listed = next.ports();
        QVERIFY(std::any_of(listed.begin(), listed.end(),
                            [&](const auto& e) { return e.device == address; }));
    }

    // A port held by another program and a port the operator may not open
    // both end in "Cannot open port" (a port that does not exist ends the
    // operator's walk above). The port list marks the port that may not be
    // opened with its group and says how to get access. The same device
    // opens when it is permitted, so the probe itself is sound.
    void busyAndDeniedPortsSaySo() {
        korven::sim::PtyServer sensor;
        std::string error;
        QVERIFY2(sensor.start(&error), error.c_str());
        const QString device = QString::fromStdString(sensor.slavePath());
        {
            QtBackend holder;
            holder.mapPort(1, device);
            QCOMPARE(holder.openCom(1, korven::rt::ComSettings{}), 0);
            QCOMPARE(Probe(device)[0], QStringLiteral("Cannot open port"));
        }

        struct stat st {};
        QCOMPARE(::stat(sensor.slavePath().c_str(), &st), 0);
        const bool root = ::geteuid() == 0;
        // Root may open anything: the probe gives up root, and the device
        // is closed to everyone but its owner. Others lock themselves out.
        QCOMPARE(::chmod(sensor.slavePath().c_str(), root ? 0600 : 0000), 0);
        const QStringList denied = Probe(device, QStringLiteral("--unprivileged"));
        QCOMPARE(::chmod(sensor.slavePath().c_str(), 0666), 0);
        const QString permitted = Probe(device, QStringLiteral("--unprivileged"))[0];
        ::chmod(sensor.slavePath().c_str(), st.st_mode & 07777);
        QCOMPARE(denied[0], QStringLiteral("Cannot open port"));
        const QString group = QString::fromLocal8Bit(::getgrgid(st.st_gid)->gr_name);
        QVERIFY2(denied[1].startsWith(QStringLiteral("COM1 [no access: group %1]: ").arg(group)),
                 qPrintable(denied[1]));
        QCOMPARE(denied[2], denied[1]);
        QVERIFY2(denied[3].contains(QStringLiteral("usermod -aG ") + group), qPrintable(denied[3]));
        QVERIFY2(LooksConnected(permitted.toStdString()), qPrintable(permitted));
    }
};

int RunPanelTests(int argc, char** argv);
int RunSerialTests(int argc, char** argv);
int RunNetworkTests(int argc, char** argv);

// Runs every Qt test class in one QApplication, or (with --init-port) the
// probe that the program tests start as a second program on a port.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (argc >= 3 && std::string(argv[1]) == "--init-port") {
        return RunInitPortProbe(argc, argv);
    }
    QApplication app(argc, argv);
    int failed = RunPanelTests(argc, argv);
    failed += RunSerialTests(argc, argv);
    failed += RunNetworkTests(argc, argv);
    ProgramTests program;
    failed += QTest::qExec(&program, argc, argv);
    return failed == 0 ? 0 : 1;
}

#include "test_qt_program.moc"
