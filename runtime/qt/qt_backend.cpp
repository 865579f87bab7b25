#include "runtime/engine.h"
#include "runtime/qt/qt_events.h"
#include "runtime/qt/qt_internal.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QMouseEvent>
#include <QStringDecoder>

#include <cmath>
#include <utility>

namespace korven::rt::qt {

QString FromEngine(const std::string& s) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
    if (!utf8.hasError()) {
        return text;
    }
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string ToEngine(const QString& s) {
    return s.toUtf8().toStdString();
}

QtBackend::QtBackend(QObject* parent)
    : QObject(parent), serial_(std::make_unique<SerialPorts>(this)) {
    // Panels are hidden and shown by the program; hiding the last one must
    // not end the event loop.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(serial_.get(), &SerialPorts::portsChanged, this, &QtBackend::refreshPortLists);
    // A pulled adapter ends a running loop at once and says so, and a
    // returning one is connected again, both through the program's own
    // port choice: as if the operator chose the port shown once more.
    connect(serial_.get(), &SerialPorts::portLost, this, [this](int number) {
        choosePortAgain(number);
        // Inside a running command (a loop) the command may still write its
        // own time-out text after the port choice has run: choose once more
        // when it has returned, so that the status ends saying the port is gone.
        if (dispatchDepth_ > 0) {
            portChoiceAfterCommand_ = number;
        }
    });
    connect(serial_.get(), &SerialPorts::portBack, this, &QtBackend::choosePortAgain);
    // Results of other threads (the MQTT publisher's texts) reach the
    // panels also while the event loop is idle.
    ::SetDeferredCallWaker([] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { ::RunDeferredCalls(); }, Qt::QueuedConnection);
    });
}

QtBackend::~QtBackend() {
    ::SetDeferredCallWaker(nullptr);
    for (auto& [handle, panel] : panels_) {
        rememberPlace(*panel);
        panel->controls.clear();
        delete panel->window.data();
    }
    panels_.clear();
}

QtBackend::Panel* QtBackend::findPanel(int handle) const {
    auto it = panels_.find(handle);
    return it == panels_.end() ? nullptr : it->second.get();
}

QtBackend::Control* QtBackend::findControl(int panel, int control) const {
    Panel* p = findPanel(panel);
    if (!p) {
        return nullptr;
    }
    auto it = p->controls.find(control);
    if (it == p->controls.end() || !it->second->widget) {
        return nullptr;
    }
    return it->second.get();
}

QWidget* QtBackend::panelWidget(int panel) const {
    Panel* p = findPanel(panel);
    return p ? p->window.data() : nullptr;
}

QWidget* QtBackend::controlWidget(int panel, int control) const {
    Control* c = findControl(panel, control);
    return c ? c->widget.data() : nullptr;
}

// ---- utility ------------------------------------------------------------------

int QtBackend::initRuntime() {
    return QApplication::instance() != nullptr ? 1 : 0;
}

double QtBackend::timer() {
    return SteadySeconds();
}

void QtBackend::delay(double seconds) {
    SleepSeconds(seconds);
}

std::string QtBackend::projectDir() {
    return ProgramDataDir();
}

bool QtBackend::eventFilter(QObject* watched, QEvent* event) {
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w) {
        return false;
    }
    if (event->type() == QEvent::Close && w->isWindow()) {
        const QVariant handle = w->property(kPanelProp);
        if (handle.isValid() && findPanel(handle.toInt())) {
            // The close box only reports; the program decides what closes.
            event->ignore();
            postPanelEvent(handle.toInt(), EVENT_CLOSE);
            return true;
        }
        return false;
    }
    if (event->type() == QEvent::MouseButtonPress) {
        auto* me = static_cast<QMouseEvent*>(event);
        const QVariant control = w->property(kControlProp);
        if (me->button() == Qt::LeftButton && control.isValid() && w->isEnabled()) {
            postCtrlEvent(w->property(kPanelProp).toInt(), control.toInt(), EVENT_LEFT_CLICK);
        }
    }
    return false;
}

void QtBackend::postCtrlEvent(int panel, int control, int event) {
    ++pendingEvents_;
    QMetaObject::invokeMethod(
        this,
        [this, panel, control, event] {
            --pendingEvents_;
            deliverCtrlEvent(panel, control, event);
        },
        Qt::QueuedConnection);
}

void QtBackend::deliverCtrlEvent(int panel, int control, int event) {
    Control* c = findControl(panel, control);
    if (!c || !c->fn) {
        return;
    }
    CtrlCallbackPtr fn = c->fn;
    void* data = c->data;
    ++dispatchDepth_;
    fn(panel, control, event, data, 0, 0);
    --dispatchDepth_;
    if (dispatchDepth_ == 0 && portChoiceAfterCommand_ != 0) {
        choosePortAgain(std::exchange(portChoiceAfterCommand_, 0));
    }
}

void QtBackend::postPanelEvent(int panel, int event) {
    ++pendingEvents_;
    QMetaObject::invokeMethod(
        this,
        [this, panel, event] {
            --pendingEvents_;
            Panel* p = findPanel(panel);
            if (!p || !p->fn) {
                return;
            }
            PanelCallbackPtr fn = p->fn;
            void* data = p->data;
            ++dispatchDepth_;
            fn(panel, event, data, 0, 0);
            --dispatchDepth_;
        },
        Qt::QueuedConnection);
}

// ---- events -------------------------------------------------------------------

int QtBackend::runUserInterface() {
    if (quitRequested_) {
        quitRequested_ = false;
        return quitCode_;
    }
    QEventLoop loop;
    QEventLoop* outer = loop_;
    loop_ = &loop;
    loop.exec();
    loop_ = outer;
    quitRequested_ = false;
    return quitCode_;
}

int QtBackend::quitUserInterface(int code) {
    quitCode_ = code;
    quitRequested_ = true;
    if (loop_) {
        loop_->exit(code);
    }
    return 0;
}

int QtBackend::processSystemEvents() {
    ProcessEventsAndPorts(*serial_);
    return 0;
}

} // namespace korven::rt::qt
