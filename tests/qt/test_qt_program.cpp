// The program's own layout on the Qt back end: the real panels start like
// the headless ones, and the whole program runs against the virtual
// sensor on a pseudo-terminal, RUN and STOP included.
#include "app/KORVENDarir23.h"
#include "app/KORVENDarir23_uir.h"
#include "app/logo.h"
#include "app/registry.h"
#include "runtime/headless/headless.h"
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_graph.h"
#include "sim/pty_server.h"
#include "tests/qt/qt_fixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

using korven::rt::Value;
using korven::rt::qt::QtBackend;

namespace {

struct Id {
    int resource;
    const char* name;
    int id;
};
#define KORVEN_ID(resource, name, id) {resource, #name, id},
constexpr Id kControls[] = {KORVEN_LAYOUT_CONTROLS(KORVEN_ID)};
#undef KORVEN_ID

const std::string kLayout = KORVEN_BINARY_DIR "/KORVENDarir23.uir";

// Runs the steps one after the other, each after its delay, inside the
// event loop of whoever runs it.
void Sequence(const std::vector<std::pair<int, std::function<void()>>>& steps) {
    int at = 0;
    for (const auto& [delay, action] : steps) {
        at += delay;
        QTimer::singleShot(at, action);
    }
}

} // namespace

class ProgramTests : public qtfix::ProgramTestBase {
    Q_OBJECT

  private slots:
    void realPanelsStartLikeTheHeadlessOnes() {
        QtBackend qt;
        korven::rt::headless::HeadlessOptions options;
        options.projectDir = KORVEN_BINARY_DIR;
        korven::rt::headless::HeadlessBackend headless(options);
        std::map<int, std::pair<int, int>> handles; // resource -> (qt, headless)
        for (int resource : {PANEL, POPUP, COMPARE}) {
            const int q = qt.loadPanel(0, kLayout, resource);
            const int h = headless.loadPanel(0, kLayout, resource);
            QVERIFY(q > 0);
            QVERIFY(h > 0);
            handles[resource] = {q, h};
        }
        int compared = 0;
        for (const Id& c : kControls) {
            const auto [q, h] = handles[c.resource];
            QVERIFY2(qt.controlWidget(q, c.id) != nullptr, c.name);
            const auto& state = headless.ctrl(h, c.id);
            using K = korven::rt::CtrlKind;
            for (int attr : {ATTR_DIMMED, ATTR_VISIBLE, ATTR_LEFT, ATTR_TOP}) {
                Value a, b;
                QCOMPARE(qt.getCtrlAttribute(q, c.id, attr, a), 0);
                QCOMPARE(headless.getCtrlAttribute(h, c.id, attr, b), 0);
                QVERIFY2(a.asInt() == b.asInt(),
                         qPrintable(QStringLiteral("%1 attribute %2: %3 vs %4")
                                        .arg(c.name)
                                        .arg(attr)
                                        .arg(a.asInt())
                                        .arg(b.asInt())));
            }
            if (state.kind == K::Command || state.kind == K::Container || state.kind == K::Graph ||
                state.kind == K::StripChart || state.kind == K::Picture) {
                continue;
            }
            Value a, b;
            QCOMPARE(qt.getCtrlVal(q, c.id, a), 0);
            QCOMPARE(headless.getCtrlVal(h, c.id, b), 0);
            QVERIFY2(a.asText() == b.asText(),
                     qPrintable(QStringLiteral("%1: %2 vs %3")
                                    .arg(c.name, QString::fromStdString(a.asText()),
                                         QString::fromStdString(b.asText()))));
            if (state.kind == K::Numeric) {
                for (int attr : {ATTR_MIN_VALUE, ATTR_MAX_VALUE}) {
                    Value x, y;
                    QCOMPARE(qt.getCtrlAttribute(q, c.id, attr, x), 0);
                    QCOMPARE(headless.getCtrlAttribute(h, c.id, attr, y), 0);
                    QVERIFY2(x.asDouble() == y.asDouble(), c.name);
                }
            }
            if (!state.label.empty()) {
                Value x;
                QCOMPARE(qt.getCtrlAttribute(q, c.id, ATTR_LABEL_TEXT, x), 0);
                QCOMPARE(QString::fromStdString(x.asText()), QString::fromStdString(state.label));
            }
            if (state.kind == K::Toggle) {
                for (int attr : {ATTR_ON_TEXT, ATTR_OFF_TEXT}) {
                    Value x, y;
                    QCOMPARE(qt.getCtrlAttribute(q, c.id, attr, x), 0);
                    QCOMPARE(headless.getCtrlAttribute(h, c.id, attr, y), 0);
                    QCOMPARE(x.asText(), y.asText());
                }
            }
            ++compared;
        }
        QVERIFY(compared > 30);
    }

    void headerNameLeavesTheLogoUncovered() {
        QtBackend qt;
        korven::rt::SetBackend(&qt);
        korven::pHandle = qt.loadPanel(0, kLayout, PANEL);
        QVERIFY(korven::pHandle > 0);
        std::strcpy(korven::szSoftName, "KORVEN-Darir");
        korven::ShowLogo(2);
        QWidget* panel = qt.panelWidget(korven::pHandle);
        auto* logo = qobject_cast<QLabel*>(qt.controlWidget(korven::pHandle, PANEL_LOGO));
        QVERIFY(logo && !logo->pixmap().isNull());
        const auto onPanel = [panel](QWidget* w) {
            return QRect(w->mapTo(panel, QPoint()), w->size());
        };
        int names = 0;
        for (QLabel* label : panel->findChildren<QLabel*>()) {
            if (label->text() == QStringLiteral("KORVEN-Darir")) {
                ++names;
                QVERIFY(!onPanel(label).intersects(onPanel(logo)));
            }
        }
        QCOMPARE(names, 1);
    }

    void programConnectsRunsAndStopsAgainstTheVirtualSensor() {
        korven::sim::PtyServer sensor;
        std::string error;
        QVERIFY2(sensor.start(&error), error.c_str());
        QtBackend qt;
        qt.mapPort(1, QString::fromStdString(sensor.path()), QStringLiteral("virtual sensor"));
        QTemporaryDir nothing;
        qt.mapPort(2, nothing.filePath(QStringLiteral("ttyGone")), QStringLiteral("unplugged"));
        korven::rt::SetBackend(&qt);
        korven::ResetAllGlobals();

        std::string statusAfterConnect, statusAfterStop, portItem, statusAfterGet, statusAfterSend,
            statusAfterVideo, statusAfterPortChange;
        bool videoShownWhileRunning = false;
        bool runDimmedWhileRunning = false, runEnabledAfterStop = false;
        std::size_t stripPoints = 0;
        int measured = 0;
        auto button = [&qt](int id) {
            return qobject_cast<QPushButton*>(qt.controlWidget(korven::pHandle, id));
        };
        // Starts once the main panel shows, after the connection sequence.
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, [&] {
            QWidget* panel = qt.panelWidget(korven::pHandle);
            if (!panel || !panel->isVisible()) {
                return;
            }
            poll->stop();
            statusAfterConnect = qtfix::StatusText();
            portItem = qobject_cast<QComboBox*>(qt.controlWidget(korven::pHandle, PANEL_DropDCom))
                           ->itemText(0)
                           .toStdString();
            Sequence({
                {100, [&] { QTest::mouseClick(button(PANEL_BTNGet), Qt::LeftButton); }},
                {600,
                 [&] {
                     statusAfterGet = qtfix::StatusText();
                     QTest::mouseClick(button(PANEL_BTNSend), Qt::LeftButton);
                 }},
                {300, [&] { statusAfterSend = qtfix::StatusText(); }},
                {100, [&] { QTest::mouseClick(button(PANEL_BTNVideo), Qt::LeftButton); }},
                {2000,
                 [&] {
                     videoShownWhileRunning =
                         qt.controlWidget(korven::pHandle, PANEL_GRAPH_VIDEO)->isVisible();
                     QTest::mouseClick(button(PANEL_BTNStop), Qt::LeftButton);
                 }},
                {1000, [&] { statusAfterVideo = qtfix::StatusText(); }},
                {100, [&] { QTest::mouseClick(button(PANEL_BTNRun), Qt::LeftButton); }},
                {1500,
                 [&] {
                     runDimmedWhileRunning = !button(PANEL_BTNRun)->isEnabled();
                     auto* g = qt.graph(korven::pHandle, PANEL_GRAPH_RAW);
                     stripPoints = g && !g->traces().empty() ? g->traces()[0].size() : 0;
                     GetCtrlVal(korven::pHandle, PANEL_NUMMValue, &measured);
                     QTest::mouseClick(button(PANEL_BTNStop), Qt::LeftButton);
                 }},
                {800,
                 [&] {
                     runEnabledAfterStop = button(PANEL_BTNRun)->isEnabled();
                     statusAfterStop = qtfix::StatusText();
                     // The operator picks port 2, which has no device behind it.
                     auto* ports = qobject_cast<QComboBox*>(
                         qt.controlWidget(korven::pHandle, PANEL_DropDCom));
                     const int index = ports->findText(QStringLiteral("COM2"), Qt::MatchStartsWith);
                     ports->setCurrentIndex(index);
                     emit ports->activated(index); // as a choice in the list does
                 }},
                {1500,
                 [&] {
                     statusAfterPortChange = qtfix::StatusText();
                     qt.panelWidget(korven::pHandle)->close();
                 }},
                {15000, [&] { qt.quitUserInterface(99); }}, // only if the close failed
            });
        });
        poll->start(50);

        const int rc = korven::WinMain(nullptr, nullptr, nullptr, 1);
        delete poll;
        korven::rt::SetBackend(nullptr);
        sensor.stop();

        QCOMPARE(rc, 0);
        QVERIFY2(statusAfterConnect.find("Timeout") == std::string::npos &&
                     statusAfterConnect.find("rror") == std::string::npos &&
                     !statusAfterConnect.empty(),
                 statusAfterConnect.c_str());
        QVERIFY2(portItem.find(sensor.path()) != std::string::npos, portItem.c_str());
        QVERIFY(runDimmedWhileRunning);
        QVERIFY(stripPoints > 5);
        QVERIFY(measured > 0);
        QVERIFY(runEnabledAfterStop);
        QVERIFY2(statusAfterStop.find("Timeout") == std::string::npos, statusAfterStop.c_str());
        QCOMPARE(statusAfterGet, std::string("Parameter-frame received! - Line Ok!"));
        QCOMPARE(statusAfterSend, std::string("Line Ok!"));
        QVERIFY(videoShownWhileRunning);
        QVERIFY2(statusAfterVideo.find("Timeout") == std::string::npos, statusAfterVideo.c_str());
        QCOMPARE(statusAfterPortChange, std::string("No serial port found"));
    }

    // ACTIVATE in the calibration pop-up while the video loop runs: the
    // sensor's answer is the activation's, not a video block.
    void activationDuringVideoIsConfirmed() {
        korven::sim::PtyServer sensor;
        std::string error;
        QVERIFY2(sensor.start(&error), error.c_str());
        QtBackend qt;
        qt.mapPort(1, QString::fromStdString(sensor.path()), QStringLiteral("virtual sensor"));
        korven::rt::SetBackend(&qt);
        korven::ResetAllGlobals();

        auto click = [&qt](int panel, int id) {
            QTest::mouseClick(qobject_cast<QPushButton*>(qt.controlWidget(panel, id)),
                              Qt::LeftButton);
        };
        // Every status text, in order; the operator starts once the main
        // panel shows, after the connection sequence.
        std::vector<std::string> shown;
        std::size_t beforeActivate = 0;
        bool started = false;
        auto* watch = new QTimer;
        QObject::connect(watch, &QTimer::timeout, [&] {
            const std::string now = qtfix::StatusText();
            if (shown.empty() || shown.back() != now) {
                shown.push_back(now);
            }
            QWidget* main = qt.panelWidget(korven::pHandle);
            if (started || !main || !main->isVisible()) {
                return;
            }
            started = true;
            Sequence({
                {100, [&] { click(korven::pHandle, PANEL_TOGGBTN_ParaII); }},
                {100, [&] { click(korven::pHandle, PANEL_BTNVideo); }},
                {1500,
                 [&] {
                     beforeActivate = shown.size();
                     click(korven::pPopup, POPUP_ActivateCalibration);
                 }},
                {1500, [&] { click(korven::pHandle, PANEL_BTNStop); }},
                {800, [&] { qt.panelWidget(korven::pHandle)->close(); }},
                {15000, [&] { qt.quitUserInterface(99); }}, // only if the close failed
            });
        });
        watch->start(1);

        const int rc = korven::WinMain(nullptr, nullptr, nullptr, 1);
        delete watch;
        korven::rt::SetBackend(nullptr);
        sensor.stop();

        QCOMPARE(rc, 0);
        const std::vector<std::string> after(shown.begin() + static_cast<long>(beforeActivate),
                                             shown.end());
        QVERIFY(std::count(after.begin(), after.end(), "Data[64] block received!") > 0);
        QVERIFY(std::count(after.begin(), after.end(), "Calibration activated!") == 1);
        for (const std::string& s : after) {
            QVERIFY2(s.find("Timeout") == std::string::npos, s.c_str());
        }
    }
};

int RunProgramTests(int argc, char** argv) {
    ProgramTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_program.moc"
