#include "program/screenshot_tour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace korven::rt::qt {

namespace {

QWidget* Window(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name)) {
            return w;
        }
    }
    return nullptr;
}

QAbstractButton* Button(const char* window, const char* name) {
    QWidget* w = Window(window);
    return w ? w->findChild<QAbstractButton*>(QLatin1String(name)) : nullptr;
}

void Click(const char* window, const char* name) {
    if (QAbstractButton* b = Button(window, name)) {
        b->click();
    }
}

// A real mouse press and release, for buttons that act on the press.
void Press(const char* window, const char* name) {
    QAbstractButton* b = Button(window, name);
    if (!b) {
        return;
    }
    const QPointF local(b->width() / 2.0, b->height() / 2.0);
    const QPointF global = b->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(b, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(b, &release);
}

void SetSpin(const char* window, const char* name, int value) {
    QWidget* w = Window(window);
    if (auto* spin = w ? w->findChild<QSpinBox*>(QLatin1String(name)) : nullptr) {
        spin->setValue(value);
    }
}

void SetText(const char* window, const char* name, const QString& text) {
    QWidget* w = Window(window);
    if (auto* edit = w ? w->findChild<QLineEdit*>(QLatin1String(name)) : nullptr) {
        edit->setText(text);
    }
}

void Save(const char* window, const QString& file) {
    QWidget* w = Window(window);
    if (!w || !w->isVisible()) {
        std::fprintf(stderr, "screenshots: %s is not shown\n", window);
        return;
    }
    if (!w->grab().save(file)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(file));
    } else {
        std::printf("screenshots: wrote %s\n", qPrintable(file));
    }
}

// Accepts the next file dialogue as it is (its folder and proposed name),
// once it shows; it may take a while on a slow file system.
void AcceptNextFileDialog() {
    auto* answer = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(answer, &QTimer::timeout, qApp, [answer, tries] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) {
                QMetaObject::invokeMethod(d, "accept");
                answer->deleteLater();
                return;
            }
        }
        if (++*tries > 100) {
            answer->deleteLater();
        }
    });
    answer->start(100);
}

struct Step {
    int delayMs;
    std::function<void()> action;
};

// Runs step `index` after its delay (or `delayMs` when given), then the rest.
void RunSteps(std::shared_ptr<std::vector<Step>> steps, std::size_t index, int delayMs = -1) {
    if (index >= steps->size()) {
        return;
    }
    QTimer::singleShot(delayMs >= 0 ? delayMs : (*steps)[index].delayMs, qApp, [steps, index] {
        // A file dialogue still open (it may be slow to show and be
        // answered) holds the walk: the next step waits for it.
        if (qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            RunSteps(steps, index, 100);
            return;
        }
        (*steps)[index].action();
        RunSteps(steps, index + 1);
    });
}

} // namespace

// Every text the status line shows, with the milliseconds since the start,
// one per line in `path`: what the walk saw, for whoever checks it.
void LogStatusTexts(const QString& path) {
    auto* file = new QFile(path, qApp);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        return;
    }
    QElapsedTimer clock;
    clock.start();
    auto* poll = new QTimer(file);
    auto last = std::make_shared<QString>();
    QObject::connect(poll, &QTimer::timeout, file, [file, clock, last] {
        QWidget* w = Window("PANEL");
        auto* status = w ? w->findChild<QLabel*>(QStringLiteral("PANEL_STATUS")) : nullptr;
        if (status && status->text() != *last) {
            *last = status->text();
            file->write(QStringLiteral("%1 %2\n").arg(clock.elapsed()).arg(*last).toUtf8());
            file->flush();
        }
    });
    poll->start(5);
}

void StartScreenshotTour(const QString& directory) {
    QDir().mkpath(directory);
    const QDir dir(directory);
    LogStatusTexts(dir.filePath(QStringLiteral("status.log")));
    auto steps = std::make_shared<std::vector<Step>>(std::vector<Step>{
        // The parameter set from the sensor and back.
        {1000, [] { Click("PANEL", "PANEL_BTNGet"); }},
        {1500, [] { Press("PANEL", "PANEL_BTNSend"); }},
        // The set into a parameter file, then REC on: both save dialogues
        // are answered with what they propose (the folder and the name an
        // operator gets without choosing), so that the walk shows where a
        // user's files go.
        {1000, [] { Click("PANEL", "PANEL_RBTFile"); }},
        {500,
         [] {
             AcceptNextFileDialog();
             Press("PANEL", "PANEL_BTNSend");
         }},
        {1000, [] { Click("PANEL", "PANEL_RBTRam"); }},
        {500,
         [] {
             AcceptNextFileDialog();
             Click("PANEL", "PANEL_TOGGBTN_Rec");
         }},
        {1500, [] { Click("PANEL", "PANEL_BTNRun"); }},
        {4000, [dir] { Save("PANEL", dir.filePath(QStringLiteral("main-run.png"))); }},
        {100, [] { Press("PANEL", "PANEL_BTNStop"); }},
        {1000, [] { Click("PANEL", "PANEL_BTNVideo"); }},
        {3000, [dir] { Save("PANEL", dir.filePath(QStringLiteral("main-video.png"))); }},
        {100, [] { Press("PANEL", "PANEL_BTNStop"); }},
        // A panel value the sensor does not have yet, for the compare view.
        {1000, [] { SetSpin("PANEL", "PANEL_NUMPower", 600); }},
        {100, [] { Click("PANEL", "PANEL_BTNCompare"); }},
        {800, [] { Click("COMPARE", "COMPARE_BTNReadSensor"); }},
        {1500, [dir] { Save("COMPARE", dir.filePath(QStringLiteral("compare.png"))); }},
        {100,
         [] {
             if (QWidget* w = Window("COMPARE")) {
                 w->close();
             }
             SetSpin("PANEL", "PANEL_NUMPower", 500);
         }},
        // Publishing to the broker the walk is given (screenshots.sh starts
        // one), during a run, and off again.
        {1000, [] { Click("PANEL", "PANEL_BTNMqtt"); }},
        {300,
         [] {
             const QString url = qEnvironmentVariable("KORVEN_TOUR_MQTT_URL",
                                                      QStringLiteral("mqtt://127.0.0.1:1883"));
             SetText("MQTT", "MQTT_STRUrl", url);
             SetText("MQTT", "MQTT_STRUser", QStringLiteral("line3"));
             SetText("MQTT", "MQTT_STRPassword", QStringLiteral("secret"));
             SetText("MQTT", "MQTT_STRStation", QStringLiteral("line3"));
             Click("MQTT", "MQTT_TOGGBTN_MqttOn");
         }},
        {500, [] { Click("PANEL", "PANEL_BTNRun"); }},
        {3000, [dir] { Save("MQTT", dir.filePath(QStringLiteral("mqtt.png"))); }},
        {100,
         [] {
             Press("PANEL", "PANEL_BTNStop");
             Click("MQTT", "MQTT_TOGGBTN_MqttOn");
             if (QWidget* w = Window("MQTT")) {
                 w->close();
             }
         }},
        {1000, [] { Click("PANEL", "PANEL_TOGGBTN_ParaII"); }},
        {800, [] { Click("POPUP", "POPUP_ActivateCalibration"); }},
        {1500, [] { Click("POPUP", "POPUP_CheckStep1"); }},
        {2500, [dir] { Save("POPUP", dir.filePath(QStringLiteral("calibration.png"))); }},
        {100, [] { Click("POPUP", "POPUP_DiscardCalibration"); }},
        {1000,
         [] {
             if (QWidget* w = Window("PANEL")) {
                 w->close(); // reaches the program as the panel's close event
             }
         }},
        // Should the program not end by itself, end it.
        {10000, [] { QApplication::exit(3); }},
    });
    // Wait for the main panel: the connection sequence runs before it shows.
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, steps] {
        QWidget* w = Window("PANEL");
        if (w && w->isVisible()) {
            poll->stop();
            poll->deleteLater();
            RunSteps(steps, 0);
        }
    });
    poll->start(100);
}

} // namespace korven::rt::qt
