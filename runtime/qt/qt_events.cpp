#include "runtime/qt/qt_events.h"

#include "runtime/qt/qt_serial.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace korven::rt::qt {

namespace {
const auto kStart = std::chrono::steady_clock::now();
// The longest sleep of an event pass with nothing to do.
constexpr int kIdleWaitMs = 10;
} // namespace

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
}

void SleepSeconds(double seconds) {
    if (seconds > 0.0 && std::isfinite(seconds)) {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 3600.0)));
    }
}

void ProcessEventsAndPorts(SerialPorts& ports) {
    QAbstractEventDispatcher* dispatcher =
        QAbstractEventDispatcher::instance(QThread::currentThread());
    bool busy = false;
    if (dispatcher) {
        busy = dispatcher->processEvents(QEventLoop::AllEvents);
    }
    busy = ports.deliverNotifications() || busy;
    if (!busy && dispatcher) {
        // Nothing was pending: sleep until something happens (an event, a
        // timer, the serial ports' next look at their lines). The loops keep
        // their own time, which the wait must not blur: it ends after
        // kIdleWaitMs at most. One timer serves every pass of the thread:
        // making a new one each time costs more than the pass itself.
        // It belongs to the thread's dispatcher and goes with it.
        thread_local QPointer<QTimer> wake;
        if (!wake) {
            wake = new QTimer(dispatcher);
            wake->setSingleShot(true);
            wake->setTimerType(Qt::PreciseTimer);
        }
        wake->start(kIdleWaitMs);
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        wake->stop();
        ports.deliverNotifications();
    }
}

std::string ProgramDataDir() {
    const QDir beside(QCoreApplication::applicationDirPath());
    QString dir = beside.absolutePath();
#ifdef KORVEN_DATA_FROM_BIN
    const QDir data(beside.filePath(QStringLiteral(KORVEN_DATA_FROM_BIN)));
    if (!beside.exists(QStringLiteral("KORVENDarir23.uir")) &&
        data.exists(QStringLiteral("KORVENDarir23.uir"))) {
        dir = data.canonicalPath();
    }
#endif
    return QDir::toNativeSeparators(dir).toStdString();
}

} // namespace korven::rt::qt
