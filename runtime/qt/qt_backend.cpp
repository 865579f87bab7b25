#include "runtime/qt/qt_backend.h"

#include "runtime/layout.h"
#include "runtime/qt/qt_graph.h"

#include <qcustomplot.h>

#include <QAbstractEventDispatcher>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <QUiLoader>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>

namespace korven::rt::qt {

namespace {

constexpr int kError = -1;
constexpr char kPanelProp[] = "korvenPanel";
constexpr char kControlProp[] = "korvenControl";

// The layout file's custom graph class becomes a QCustomPlot.
class Loader : public QUiLoader {
  public:
    using QUiLoader::QUiLoader;
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        if (className == QLatin1String("QCustomPlot")) {
            auto* plot = new QCustomPlot(parent);
            plot->setObjectName(name);
            return plot;
        }
        return QUiLoader::createWidget(className, parent, name);
    }
};

// Texts cross the engine boundary as 8-bit strings: UTF-8 when they are
// valid UTF-8, otherwise the single-byte code page of the original program
// (a byte from the sensor then still shows as one character).
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

QColor Rgb(std::int64_t color) {
    const auto c = static_cast<int>(color & 0xFFFFFF);
    return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

int ToRgb(const QColor& c) {
    return (c.red() << 16) | (c.green() << 8) | c.blue();
}

ValueType ParseType(const QVariant& v, ValueType fallback) {
    const QString s = v.toString().trimmed().toLower();
    if (s == QLatin1String("u16")) {
        return ValueType::U16;
    }
    if (s == QLatin1String("int")) {
        return ValueType::Int;
    }
    if (s == QLatin1String("u32")) {
        return ValueType::U32;
    }
    if (s == QLatin1String("double")) {
        return ValueType::Double;
    }
    if (s == QLatin1String("float")) {
        return ValueType::Float;
    }
    if (s == QLatin1String("string")) {
        return ValueType::String;
    }
    return fallback;
}

// Kind and default value type from the widget class.
CtrlKind KindOf(QWidget* w, ValueType& type) {
    if (auto* b = qobject_cast<QPushButton*>(w)) {
        type = b->isCheckable() ? ValueType::Int : ValueType::None;
        return b->isCheckable() ? CtrlKind::Toggle : CtrlKind::Command;
    }
    if (qobject_cast<QRadioButton*>(w)) {
        type = ValueType::Int;
        return CtrlKind::Radio;
    }
    if (qobject_cast<QCheckBox*>(w)) {
        type = ValueType::Int;
        return CtrlKind::Check;
    }
    if (qobject_cast<QDoubleSpinBox*>(w)) {
        type = ValueType::Double;
        return CtrlKind::Numeric;
    }
    if (qobject_cast<QSpinBox*>(w)) {
        type = ValueType::Int;
        return CtrlKind::Numeric;
    }
    if (qobject_cast<QComboBox*>(w)) {
        type = ValueType::Int;
        return CtrlKind::Ring;
    }
    if (qobject_cast<QLabel*>(w)) {
        const bool picture = w->property("picture").toBool();
        type = picture ? ValueType::None : ValueType::String;
        return picture ? CtrlKind::Picture : CtrlKind::TextMsg;
    }
    if (qobject_cast<QPlainTextEdit*>(w)) {
        type = ValueType::String;
        return CtrlKind::TextBox;
    }
    if (qobject_cast<QCustomPlot*>(w)) {
        type = ValueType::None;
        return w->property("stripChart").toBool() ? CtrlKind::StripChart : CtrlKind::Graph;
    }
    type = ValueType::None;
    return CtrlKind::Container;
}

bool IsFloating(ValueType t) {
    return t == ValueType::Double || t == ValueType::Float;
}

// The widget's foreground role for its text.
QPalette::ColorRole TextRole(QWidget* w) {
    if (qobject_cast<QAbstractButton*>(w)) {
        return QPalette::ButtonText;
    }
    if (qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QPlainTextEdit*>(w) ||
        qobject_cast<QComboBox*>(w)) {
        return QPalette::Text;
    }
    return QPalette::WindowText;
}

QPalette::ColorRole BackgroundRole(QWidget* w) {
    if (qobject_cast<QAbstractSpinBox*>(w) || qobject_cast<QPlainTextEdit*>(w)) {
        return QPalette::Base;
    }
    if (qobject_cast<QAbstractButton*>(w)) {
        return QPalette::Button;
    }
    return QPalette::Window;
}

} // namespace

struct QtBackend::Control {
    int id = 0;
    int panel = 0;
    QString name;
    QPointer<QWidget> widget;
    CtrlKind kind = CtrlKind::Container;
    ValueType type = ValueType::None;
    int valueOffset = 0;
    QString onText, offText, label;
    QPointer<QLabel> caption;
    CtrlCallbackPtr fn = nullptr;
    void* data = nullptr;
    double exact = 0.0; // a floating-point numeric's value exactly as set
    std::unique_ptr<Graph> graph;
    std::map<int, Value> extra; // attribute values without a widget of their own
    bool runtime = false;
};

struct QtBackend::Panel {
    int handle = 0;
    int resourceId = 0;
    QString name;
    QPointer<QWidget> window;
    PanelCallbackPtr fn = nullptr;
    void* data = nullptr;
    std::map<int, std::unique_ptr<Control>> controls;
};

namespace {
const auto kStart = std::chrono::steady_clock::now();
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
}

QtBackend::~QtBackend() {
    for (auto& [handle, panel] : panels_) {
        panel->controls.clear();
        delete panel->window.data();
    }
    panels_.clear();
}

void QtBackend::mapPort(int number, const QString& device, const QString& description,
                        bool remember) {
    serial_->mapPort(number, device, description, remember);
}

void QtBackend::watchPorts(const QStringList& patterns) {
    serial_->watchPaths(patterns);
}

void QtBackend::rememberPortsIn(const QString& settingsFile) {
    serial_->rememberIn(settingsFile);
}

void QtBackend::rescanPorts() {
    serial_->rescan();
}

void QtBackend::refreshPortLists() {
    for (auto& [handle, panel] : panels_) {
        for (auto& [id, c] : panel->controls) {
            if (c->kind == CtrlKind::Ring && c->widget &&
                c->widget->property("portList").toBool()) {
                fillPortList(*c);
            }
        }
    }
}

void QtBackend::choosePortAgain(int number) {
    for (auto& [handle, panel] : panels_) {
        for (auto& [id, c] : panel->controls) {
            auto* combo = qobject_cast<QComboBox*>(c->widget.data());
            if (c->kind == CtrlKind::Ring && combo && combo->property("portList").toBool() &&
                combo->currentIndex() + c->valueOffset == number) {
                postCtrlEvent(handle, id, EVENT_COMMIT);
            }
        }
    }
}

std::vector<PortEntry> QtBackend::ports() const {
    return serial_->ports();
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

Graph* QtBackend::graph(int panel, int control) const {
    Control* c = findControl(panel, control);
    return c ? c->graph.get() : nullptr;
}

// ---- utility ------------------------------------------------------------------

int QtBackend::initRuntime() {
    return QApplication::instance() != nullptr ? 1 : 0;
}

double QtBackend::timer() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
}

void QtBackend::delay(double seconds) {
    if (seconds > 0.0 && std::isfinite(seconds)) {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 3600.0)));
    }
}

std::string QtBackend::projectDir() {
    // The layout file lies beside the program in the build tree and in a
    // plain install, and in the shared data directory of an installed package.
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

// ---- panels -------------------------------------------------------------------

int QtBackend::loadPanel(int /*parentPanel*/, const std::string& fileName, int resourceId) {
    const LayoutRegistry* registry = CurrentLayoutRegistry();
    if (!registry) {
        return kError;
    }
    QString path = QString::fromStdString(fileName);
    if (QFileInfo(path).isRelative()) {
        path = QDir(QString::fromStdString(projectDir())).filePath(path);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return kError;
    }
    Loader loader;
    loader.setWorkingDirectory(QFileInfo(path).absoluteDir());
    std::unique_ptr<QWidget> top(loader.load(&file));
    if (!top) {
        return kError;
    }
    QWidget* window = nullptr;
    for (QObject* child : top->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && registry->panelResource(w->objectName().toStdString()) == resourceId) {
            window = w;
            break;
        }
    }
    if (!window) {
        return kError;
    }
    const QSize size = window->size();
    window->setParent(nullptr, Qt::Window);
    top.reset();
    window->setFixedSize(size);
    window->installEventFilter(this);

    auto panel = std::make_unique<Panel>();
    panel->handle = nextPanelHandle_++;
    panel->resourceId = resourceId;
    panel->name = window->objectName();
    panel->window = window;
    window->setProperty(kPanelProp, panel->handle);
    panel->fn = registry->panelCallback(window->property("callback").toString().toStdString());

    const auto widgets = window->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        const int id = registry->controlId(w->objectName().toStdString());
        if (id < 0) {
            continue;
        }
        auto c = std::make_unique<Control>();
        c->id = id;
        c->panel = panel->handle;
        c->name = w->objectName();
        c->widget = w;
        ValueType type = ValueType::None;
        c->kind = KindOf(w, type);
        c->type = ParseType(w->property("dataType"), type);
        c->valueOffset = w->property("valueOffset").toInt();
        c->onText = w->property("onText").toString();
        c->offText = w->property("offText").toString();
        c->label = w->property("label").toString();
        c->fn = registry->ctrlCallback(w->property("callback").toString().toStdString());
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            c->exact = d->value();
        }
        if (c->kind == CtrlKind::Graph || c->kind == CtrlKind::StripChart) {
            c->graph = std::make_unique<Graph>(static_cast<QCustomPlot*>(w),
                                               c->kind == CtrlKind::StripChart);
        }
        panel->controls[id] = std::move(c);
    }
    // Captions: labels whose buddy is a control.
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (QWidget* buddy = label->buddy()) {
            for (auto& [id, c] : panel->controls) {
                if (c->widget == buddy) {
                    c->caption = label;
                }
            }
        }
    }
    // Text boxes take their start text from the layout reader: the form
    // loader drops texts made of line breaks only.
    if (auto layout = ReadLayoutFile(path.toStdString())) {
        if (const LayoutPanel* lp = layout->panel(resourceId)) {
            for (const LayoutControl& lc : lp->controls) {
                auto it = panel->controls.find(lc.id);
                if (it != panel->controls.end() && it->second->kind == CtrlKind::TextBox) {
                    auto* edit = static_cast<QPlainTextEdit*>(it->second->widget.data());
                    const QSignalBlocker block(edit);
                    edit->setPlainText(FromEngine(lc.initial.asText()));
                }
            }
        }
    }
    const int handle = panel->handle;
    Panel& ref = *panel;
    panels_[handle] = std::move(panel);
    for (auto& [id, c] : ref.controls) {
        bindControl(ref, *c);
    }
    return handle;
}

void QtBackend::bindControl(Panel& panel, Control& c) {
    QWidget* w = c.widget;
    const int ph = panel.handle;
    const int id = c.id;
    w->setProperty(kPanelProp, ph);
    w->setProperty(kControlProp, id);
    auto changed = [this, ph, id] {
        postCtrlEvent(ph, id, EVENT_VAL_CHANGED);
        postCtrlEvent(ph, id, EVENT_COMMIT);
    };
    switch (c.kind) {
    case CtrlKind::Command:
        connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this,
                [this, ph, id] { postCtrlEvent(ph, id, EVENT_COMMIT); });
        break;
    case CtrlKind::Toggle:
        applyToggleText(c);
        connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this, [this, ph, id, changed] {
            if (Control* ctl = findControl(ph, id)) {
                applyToggleText(*ctl);
            }
            changed();
        });
        break;
    case CtrlKind::Radio:
        static_cast<QRadioButton*>(w)->setAutoExclusive(false);
        connect(static_cast<QRadioButton*>(w), &QRadioButton::clicked, this, changed);
        break;
    case CtrlKind::Check:
        connect(static_cast<QCheckBox*>(w), &QCheckBox::clicked, this, changed);
        break;
    case CtrlKind::Numeric:
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            d->setKeyboardTracking(false);
            connect(d, &QDoubleSpinBox::valueChanged, this, [this, ph, id, changed](double v) {
                if (Control* ctl = findControl(ph, id)) {
                    ctl->exact = ctl->type == ValueType::Float
                                     ? static_cast<double>(static_cast<float>(v))
                                     : v;
                }
                changed();
            });
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            s->setKeyboardTracking(false);
            connect(s, &QSpinBox::valueChanged, this, changed);
        }
        break;
    case CtrlKind::Ring:
        if (w->property("portList").toBool()) {
            fillPortList(c);
        }
        // A new item is a changed value; choosing an item, also the one
        // already shown, is a commit, so that the operator can pick the
        // same port again to reconnect.
        connect(static_cast<QComboBox*>(w), &QComboBox::currentIndexChanged, this,
                [this, ph, id, w] {
                    if (auto* combo = qobject_cast<QComboBox*>(w)) {
                        combo->setToolTip(combo->currentData(Qt::ToolTipRole).toString());
                    }
                    postCtrlEvent(ph, id, EVENT_VAL_CHANGED);
                });
        connect(static_cast<QComboBox*>(w), &QComboBox::activated, this,
                [this, ph, id] { postCtrlEvent(ph, id, EVENT_COMMIT); });
        break;
    case CtrlKind::TextBox:
        connect(static_cast<QPlainTextEdit*>(w), &QPlainTextEdit::textChanged, this,
                [this, ph, id] { postCtrlEvent(ph, id, EVENT_VAL_CHANGED); });
        break;
    default:
        break;
    }
    watchMouse(w, ph, id);
}

void QtBackend::watchMouse(QWidget* widget, int panel, int control) {
    widget->setProperty(kPanelProp, panel);
    widget->setProperty(kControlProp, control);
    widget->installEventFilter(this);
    // Inner parts (a spin box's editor, a combo box's button) report for
    // their control, unless they are controls themselves.
    for (QWidget* child : widget->findChildren<QWidget*>()) {
        if (!child->property(kControlProp).isValid()) {
            child->setProperty(kPanelProp, panel);
            child->setProperty(kControlProp, control);
            child->installEventFilter(this);
        }
    }
}

void QtBackend::fillPortList(Control& c) {
    auto* combo = static_cast<QComboBox*>(c.widget.data());
    const QSignalBlocker block(combo);
    const int current = combo->currentIndex();
    const int minimum = combo->count();
    combo->clear();
    const auto list = serial_->ports();
    const int n = std::max(minimum, static_cast<int>(list.size()));
    for (int i = 0; i < n; ++i) {
        const int number = i + c.valueOffset;
        QString text = QStringLiteral("COM%1").arg(number);
        QString hint;
        if (i < static_cast<int>(list.size()) &&
            !list[static_cast<std::size_t>(i)].device.isEmpty()) {
            const PortEntry& e = list[static_cast<std::size_t>(i)];
            // The mark goes first: the closed drop-down shows only the start.
            if (!e.present) {
                text += QStringLiteral(" [unplugged]");
            } else if (!e.permitted) {
                text += QStringLiteral(" [no access: group %1]")
                            .arg(e.group.isEmpty() ? QStringLiteral("dialout") : e.group);
                hint = serial_->permissionHint(number);
            }
            text += QStringLiteral(": ") + e.device;
            if (!e.description.isEmpty()) {
                text += QStringLiteral(" (") + e.description + QLatin1Char(')');
            }
        } else {
            text += QStringLiteral(": -");
        }
        combo->addItem(text);
        combo->setItemData(i, hint, Qt::ToolTipRole);
    }
    combo->setCurrentIndex(std::clamp(current, 0, combo->count() - 1));
    combo->setToolTip(combo->currentData(Qt::ToolTipRole).toString());
    // The open list is as wide as its longest entry.
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) + 24);
}

void QtBackend::applyToggleText(Control& c) {
    auto* b = qobject_cast<QPushButton*>(c.widget.data());
    if (!b || c.kind != CtrlKind::Toggle) {
        return;
    }
    const QString& text = b->isChecked() ? c.onText : c.offText;
    if (!c.onText.isEmpty() || !c.offText.isEmpty()) {
        b->setText(text);
    }
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

int QtBackend::displayPanel(int panel) {
    Panel* p = findPanel(panel);
    if (!p || !p->window) {
        return kError;
    }
    p->window->show();
    p->window->raise();
    p->window->activateWindow();
    return 0;
}

int QtBackend::hidePanel(int panel) {
    Panel* p = findPanel(panel);
    if (!p || !p->window) {
        return kError;
    }
    p->window->hide();
    return 0;
}

int QtBackend::discardPanel(int panel) {
    auto it = panels_.find(panel);
    if (it == panels_.end()) {
        return kError;
    }
    std::unique_ptr<Panel> p = std::move(it->second);
    panels_.erase(it);
    p->controls.clear();
    if (QWidget* w = p->window) {
        w->removeEventFilter(this);
        w->hide();
        if (dispatchDepth_ > 0) {
            w->deleteLater(); // a callback of this panel may still be on the stack
        } else {
            delete w;
        }
    }
    return 0;
}

// ---- values -------------------------------------------------------------------

int QtBackend::setCtrlVal(int panel, int control, const Value& value) {
    Control* c = findControl(panel, control);
    if (!c) {
        return kError;
    }
    QWidget* w = c->widget;
    const QSignalBlocker block(w);
    switch (c->kind) {
    case CtrlKind::Numeric:
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            double v = value.asDouble();
            if (!std::isfinite(v)) {
                // A spin box holds no such number: show it in words at the
                // bottom of the range, so that the old number does not stay.
                c->exact = v;
                d->setSpecialValueText(std::isnan(v) ? QStringLiteral("NaN")
                                       : v > 0       ? QStringLiteral("Inf")
                                                     : QStringLiteral("-Inf"));
                d->setValue(d->minimum());
                return 0;
            }
            d->setSpecialValueText(QString());
            v = std::clamp(v, d->minimum(), d->maximum());
            if (c->type == ValueType::Float) {
                v = static_cast<double>(static_cast<float>(v));
            } else if (!IsFloating(c->type)) {
                v = std::trunc(v);
            }
            c->exact = v;
            d->setValue(v);
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            const std::int64_t v =
                std::clamp<std::int64_t>(value.asInt(), s->minimum(), s->maximum());
            s->setValue(static_cast<int>(v));
        }
        return 0;
    case CtrlKind::Ring: {
        auto* combo = static_cast<QComboBox*>(w);
        const std::int64_t index = value.asInt() - c->valueOffset;
        if (index < 0 || index >= combo->count()) {
            return kError; // not one of the list's values
        }
        combo->setCurrentIndex(static_cast<int>(index));
        return 0;
    }
    case CtrlKind::Toggle:
    case CtrlKind::Radio:
    case CtrlKind::Check:
        static_cast<QAbstractButton*>(w)->setChecked(value.asInt() != 0);
        applyToggleText(*c);
        return 0;
    case CtrlKind::TextMsg:
        static_cast<QLabel*>(w)->setText(FromEngine(value.asText()));
        if (c->runtime) {
            fitLabel(w);
        }
        return 0;
    case CtrlKind::TextBox:
        static_cast<QPlainTextEdit*>(w)->setPlainText(FromEngine(value.asText()));
        return 0;
    default:
        return kError;
    }
}

int QtBackend::getCtrlVal(int panel, int control, Value& value) {
    Control* c = findControl(panel, control);
    if (!c) {
        return kError;
    }
    QWidget* w = c->widget;
    switch (c->kind) {
    case CtrlKind::Numeric:
        if (qobject_cast<QDoubleSpinBox*>(w)) {
            value = IsFloating(c->type) || c->type == ValueType::None
                        ? Value::ofDouble(c->type == ValueType::Float
                                              ? static_cast<double>(static_cast<float>(c->exact))
                                              : c->exact)
                        : Value::ofInt(static_cast<std::int64_t>(c->exact));
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            value = IsFloating(c->type) ? Value::ofDouble(s->value()) : Value::ofInt(s->value());
        }
        return 0;
    case CtrlKind::Ring: {
        const int index = static_cast<QComboBox*>(w)->currentIndex();
        if (index < 0) {
            return kError;
        }
        value = Value::ofInt(index + c->valueOffset);
        return 0;
    }
    case CtrlKind::Toggle:
    case CtrlKind::Radio:
    case CtrlKind::Check:
        value = Value::ofInt(static_cast<QAbstractButton*>(w)->isChecked() ? 1 : 0);
        return 0;
    case CtrlKind::TextMsg:
        value = Value::ofText(ToEngine(static_cast<QLabel*>(w)->text()));
        return 0;
    case CtrlKind::TextBox:
        value = Value::ofText(ToEngine(static_cast<QPlainTextEdit*>(w)->toPlainText()));
        return 0;
    default:
        return kError;
    }
}

// ---- attributes ----------------------------------------------------------------

void QtBackend::fitLabel(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->adjustSize();
    }
}

int QtBackend::setCtrlAttribute(int panel, int control, int attribute, const Value& value) {
    Control* c = findControl(panel, control);
    if (!c) {
        return kError;
    }
    QWidget* w = c->widget;
    Panel* p = findPanel(panel);
    const QSignalBlocker block(w);
    switch (attribute) {
    case ATTR_DIMMED:
        w->setEnabled(value.asInt() == 0);
        if (c->caption) {
            c->caption->setEnabled(value.asInt() == 0);
        }
        return 0;
    case ATTR_VISIBLE:
        w->setVisible(value.asInt() != 0);
        if (c->caption) {
            c->caption->setVisible(value.asInt() != 0);
        }
        return 0;
    case ATTR_LEFT:
    case ATTR_TOP: {
        // Positions are relative to the panel, whatever container holds the
        // control.
        const QPoint origin = w->parentWidget() && p && p->window
                                  ? w->parentWidget()->mapTo(p->window, QPoint(0, 0))
                                  : QPoint(0, 0);
        const int v = static_cast<int>(std::clamp<std::int64_t>(value.asInt(), -32768, 32767));
        QPoint pos = w->pos();
        if (attribute == ATTR_LEFT) {
            pos.setX(v - origin.x());
        } else {
            pos.setY(v - origin.y());
        }
        w->move(pos);
        return 0;
    }
    case ATTR_FRAME_COLOR: {
        QPalette pal = w->palette();
        pal.setColor(QPalette::Window, Rgb(value.asInt()));
        w->setPalette(pal);
        w->setAutoFillBackground(true);
        c->extra[attribute] = Value::ofInt(value.asInt() & 0xFFFFFF);
        return 0;
    }
    case ATTR_TEXT_COLOR: {
        QPalette pal = w->palette();
        pal.setColor(TextRole(w), Rgb(value.asInt()));
        w->setPalette(pal);
        c->extra[attribute] = Value::ofInt(value.asInt() & 0xFFFFFF);
        return 0;
    }
    case ATTR_TEXT_BGCOLOR: {
        QPalette pal = w->palette();
        pal.setColor(BackgroundRole(w), Rgb(value.asInt()));
        w->setPalette(pal);
        if (qobject_cast<QLabel*>(w)) {
            w->setAutoFillBackground(true);
        }
        c->extra[attribute] = Value::ofInt(value.asInt() & 0xFFFFFF);
        return 0;
    }
    case ATTR_TEXT_FONT: {
        const QString name = FromEngine(value.asText());
        QFont font = w->font();
        const int pixels = font.pixelSize();
        if (name.startsWith(QLatin1String("NI"))) {
            // The engine's meta fonts map to the application's font.
            font = QApplication::font();
            if (pixels > 0) {
                font.setPixelSize(pixels);
            }
        } else {
            font.setFamily(name);
        }
        w->setFont(font);
        c->extra[attribute] = Value::ofText(value.asText());
        if (c->runtime) {
            fitLabel(w);
        }
        return 0;
    }
    case ATTR_TEXT_POINT_SIZE: {
        const std::int64_t points = value.asInt();
        if (points < 1 || points > 500) {
            return kError;
        }
        // The engine's text sizes are pixel heights, not typographic points.
        QFont font = w->font();
        font.setPixelSize(static_cast<int>(points));
        w->setFont(font);
        if (c->runtime) {
            fitLabel(w);
        }
        return 0;
    }
    case ATTR_LABEL_TEXT: {
        const QString text = FromEngine(value.asText());
        c->label = text;
        if (c->caption) {
            c->caption->setText(text);
        } else if (auto* b = qobject_cast<QAbstractButton*>(w);
                   b &&
                   (c->kind != CtrlKind::Toggle || (c->onText.isEmpty() && c->offText.isEmpty()))) {
            b->setText(text);
        }
        return 0;
    }
    case ATTR_MAX_VALUE:
    case ATTR_MIN_VALUE: {
        const bool isMax = attribute == ATTR_MAX_VALUE;
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            const double v = value.asDouble();
            if (!std::isfinite(v)) {
                return kError;
            }
            isMax ? d->setMaximum(v) : d->setMinimum(v);
            c->exact = std::clamp(c->exact, d->minimum(), d->maximum());
            return 0;
        }
        if (auto* s = qobject_cast<QSpinBox*>(w)) {
            const auto v = static_cast<int>(std::clamp<std::int64_t>(
                value.asInt(), std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
            isMax ? s->setMaximum(v) : s->setMinimum(v);
            return 0;
        }
        return kError;
    }
    case ATTR_ON_TEXT:
    case ATTR_OFF_TEXT:
        if (c->kind != CtrlKind::Toggle) {
            return kError;
        }
        (attribute == ATTR_ON_TEXT ? c->onText : c->offText) = FromEngine(value.asText());
        applyToggleText(*c);
        return 0;
    case ATTR_NUM_TRACES:
        return c->graph && c->graph->isStripChart()
                   ? c->graph->setNumTraces(
                         static_cast<int>(std::clamp<std::int64_t>(value.asInt(), -1, 1 << 20)))
                   : kError;
    case ATTR_POINTS_PER_SCREEN:
        return c->graph && c->graph->isStripChart()
                   ? c->graph->setPointsPerScreen(
                         static_cast<int>(std::clamp<std::int64_t>(value.asInt(), -1, 1 << 24)))
                   : kError;
    default:
        // Kept so that it reads back; it has no visible effect here.
        c->extra[attribute] = value;
        return 0;
    }
}

int QtBackend::getCtrlAttribute(int panel, int control, int attribute, Value& value) {
    Control* c = findControl(panel, control);
    if (!c) {
        return kError;
    }
    QWidget* w = c->widget;
    Panel* p = findPanel(panel);
    switch (attribute) {
    case ATTR_DIMMED:
        value = Value::ofInt(w->testAttribute(Qt::WA_ForceDisabled) ? 1 : 0);
        return 0;
    case ATTR_VISIBLE:
        value = Value::ofInt(w->isHidden() ? 0 : 1);
        return 0;
    case ATTR_LEFT:
    case ATTR_TOP: {
        const QPoint pos = p && p->window ? w->mapTo(p->window, QPoint(0, 0)) : w->pos();
        value = Value::ofInt(attribute == ATTR_LEFT ? pos.x() : pos.y());
        return 0;
    }
    case ATTR_TEXT_COLOR:
        value = Value::ofInt(ToRgb(w->palette().color(TextRole(w))));
        return 0;
    case ATTR_TEXT_BGCOLOR:
        value = Value::ofInt(ToRgb(w->palette().color(BackgroundRole(w))));
        return 0;
    case ATTR_FRAME_COLOR:
        value = Value::ofInt(ToRgb(w->palette().color(QPalette::Window)));
        return 0;
    case ATTR_TEXT_POINT_SIZE: {
        const QFont font = w->font();
        value = Value::ofInt(font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize());
        return 0;
    }
    case ATTR_TEXT_FONT: {
        auto it = c->extra.find(attribute);
        value = it != c->extra.end() ? it->second : Value::ofText(ToEngine(w->font().family()));
        return 0;
    }
    case ATTR_LABEL_TEXT:
        if (c->caption) {
            value = Value::ofText(ToEngine(c->caption->text()));
        } else if (auto* b = qobject_cast<QAbstractButton*>(w); b && c->label.isEmpty()) {
            value = Value::ofText(ToEngine(b->text()));
        } else {
            value = Value::ofText(ToEngine(c->label));
        }
        return 0;
    case ATTR_MAX_VALUE:
    case ATTR_MIN_VALUE: {
        const bool isMax = attribute == ATTR_MAX_VALUE;
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            value = Value::ofDouble(isMax ? d->maximum() : d->minimum());
            return 0;
        }
        if (auto* s = qobject_cast<QSpinBox*>(w)) {
            value = Value::ofInt(isMax ? s->maximum() : s->minimum());
            return 0;
        }
        return kError;
    }
    case ATTR_ON_TEXT:
    case ATTR_OFF_TEXT:
        if (c->kind != CtrlKind::Toggle) {
            return kError;
        }
        value = Value::ofText(ToEngine(attribute == ATTR_ON_TEXT ? c->onText : c->offText));
        return 0;
    case ATTR_NUM_TRACES:
        if (!c->graph || !c->graph->isStripChart()) {
            return kError;
        }
        value = Value::ofInt(c->graph->numTraces());
        return 0;
    case ATTR_POINTS_PER_SCREEN:
        if (!c->graph || !c->graph->isStripChart()) {
            return kError;
        }
        value = Value::ofInt(c->graph->pointsPerScreen());
        return 0;
    default: {
        auto it = c->extra.find(attribute);
        if (it == c->extra.end()) {
            return kError;
        }
        value = it->second;
        return 0;
    }
    }
}

int QtBackend::installCtrlCallback(int panel, int control, CtrlCallbackPtr fn, void* data) {
    Control* c = findControl(panel, control);
    if (!c) {
        return kError;
    }
    c->fn = fn;
    c->data = data;
    return 0;
}

int QtBackend::installPanelCallback(int panel, PanelCallbackPtr fn, void* data) {
    Panel* p = findPanel(panel);
    if (!p) {
        return kError;
    }
    p->fn = fn;
    p->data = data;
    return 0;
}

int QtBackend::newCtrl(int panel, int style, const std::string& label, int top, int left) {
    Panel* p = findPanel(panel);
    if (!p || !p->window || style != CTRL_TEXT_MSG) {
        return kError;
    }
    auto* w = new QLabel(p->window);
    w->move(left, top);
    w->setText(QString());
    w->adjustSize();
    w->show();
    w->raise();
    auto c = std::make_unique<Control>();
    c->id = nextRuntimeControl_++;
    c->panel = panel;
    c->widget = w;
    c->kind = CtrlKind::TextMsg;
    c->type = ValueType::String;
    c->label = FromEngine(label);
    c->runtime = true;
    w->setObjectName(QStringLiteral("runtime%1").arg(c->id));
    const int id = c->id;
    p->controls[id] = std::move(c);
    w->setProperty(kPanelProp, panel);
    w->setProperty(kControlProp, id);
    return id;
}

int QtBackend::replaceTextBoxLine(int panel, int control, int line, const std::string& text) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != CtrlKind::TextBox || line < 0) {
        return kError;
    }
    auto* edit = static_cast<QPlainTextEdit*>(c->widget.data());
    QStringList lines = edit->toPlainText().split(QLatin1Char('\n'));
    // A line of its own: line breaks inside the new text are not taken over.
    QString replacement = FromEngine(text);
    replacement.replace(QLatin1Char('\n'), QLatin1Char(' '))
        .replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (line < lines.size()) {
        lines[line] = replacement;
    } else if (line == lines.size()) {
        lines.append(replacement);
    } else {
        return kError;
    }
    const QSignalBlocker block(edit);
    edit->setPlainText(lines.join(QLatin1Char('\n')));
    return 0;
}

int QtBackend::displayImageFile(int panel, int control, const std::string& fileName) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != CtrlKind::Picture) {
        return kError;
    }
    QString path = FromEngine(fileName);
    if (QFileInfo(path).isRelative()) {
        path = QDir(QString::fromStdString(projectDir())).filePath(path);
    }
    QPixmap pixmap(path);
    if (pixmap.isNull()) {
        return kError;
    }
    auto* label = static_cast<QLabel*>(c->widget.data());
    label->setPixmap(pixmap);
    label->resize(pixmap.size());
    return 0;
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
    QAbstractEventDispatcher* dispatcher =
        QAbstractEventDispatcher::instance(QThread::currentThread());
    bool busy = false;
    if (dispatcher) {
        busy = dispatcher->processEvents(QEventLoop::AllEvents);
    }
    busy = serial_->deliverNotifications() || busy;
    if (!busy && dispatcher) {
        // Nothing was pending: wait briefly for something to happen, so that
        // a polling loop does not spin a core.
        QTimer wake;
        wake.setSingleShot(true);
        wake.setTimerType(Qt::PreciseTimer);
        wake.start(1);
        dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        serial_->deliverNotifications();
    }
    return 0;
}

// ---- graphs --------------------------------------------------------------------

int QtBackend::plotXY(int panel, int control, std::span<const double> x, std::span<const double> y,
                      int plotStyle, int pointStyle, int lineStyle, int /*pointFrequency*/,
                      int color) {
    Graph* g = graph(panel, control);
    if (!g || g->isStripChart()) {
        return kError;
    }
    return g->plotXY(x, y, plotStyle, pointStyle, lineStyle, color);
}

int QtBackend::plotRectangle(int panel, int control, double x1, double y1, double x2, double y2,
                             int color, int fillColor) {
    Graph* g = graph(panel, control);
    if (!g || g->isStripChart()) {
        return kError;
    }
    return g->plotRectangle(x1, y1, x2, y2, color, fillColor);
}

int QtBackend::deleteGraphPlot(int panel, int control, int plotHandle, int refresh) {
    Graph* g = graph(panel, control);
    return g ? g->deletePlot(plotHandle, refresh) : kError;
}

int QtBackend::setGraphCursor(int panel, int control, int cursor, double x, double y) {
    Graph* g = graph(panel, control);
    return g ? g->setCursor(cursor, x, y) : kError;
}

int QtBackend::setAxisScalingMode(int panel, int control, int axis, int mode, double min,
                                  double max) {
    Graph* g = graph(panel, control);
    return g ? g->setAxis(axis, mode, min, max) : kError;
}

int QtBackend::setTraceAttribute(int panel, int control, int trace, int attribute, int value) {
    Graph* g = graph(panel, control);
    if (!g || attribute != ATTR_TRACE_COLOR) {
        return kError;
    }
    return g->setTraceColor(trace, value);
}

int QtBackend::plotStripChart(int panel, int control, std::span<const double> values) {
    Graph* g = graph(panel, control);
    return g ? g->plotStrip(values) : kError;
}

// ---- serial --------------------------------------------------------------------

int QtBackend::openCom(int port, const ComSettings& settings) {
    return serial_->open(port, settings);
}
int QtBackend::closeCom(int port) {
    return serial_->close(port);
}
int QtBackend::setComTime(int port, double seconds) {
    return serial_->setTimeout(port, seconds);
}
int QtBackend::setCTSMode(int port, int mode) {
    return serial_->setCtsMode(port, mode);
}
int QtBackend::installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                  ComCallbackPtr fn, void* data) {
    return serial_->installCallback(port, eventMask, notifyCount, eventChar, fn, data);
}
int QtBackend::flushInQ(int port) {
    return serial_->flushIn(port);
}
int QtBackend::flushOutQ(int port) {
    return serial_->flushOut(port);
}
int QtBackend::comWrt(int port, std::span<const std::uint8_t> bytes) {
    return serial_->write(port, bytes);
}
int QtBackend::comRd(int port, std::span<std::uint8_t> buffer) {
    return serial_->read(port, buffer);
}
int QtBackend::getInQLen(int port) {
    return serial_->inQueueLength(port);
}

// ---- files ---------------------------------------------------------------------

FileDialogResult QtBackend::fileSelectPopup(const FileDialogRequest& request) {
    // The dialogue opens in the folder asked for whenever it can be read;
    // saving elsewhere is the operator's choice in the dialogue.
    QString directory = FromEngine(request.defaultDirectory);
    const QFileInfo dirInfo(directory);
    if (directory.isEmpty() || !dirInfo.isDir() || !dirInfo.isReadable()) {
        directory = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        if (!QFileInfo(directory).isDir()) {
            directory = QDir::homePath();
        }
    }
    QFileDialog dialog(nullptr, FromEngine(request.title), directory);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    const QString filter = FromEngine(request.fileTypeList);
    if (!filter.isEmpty()) {
        // Restricted to the filter's extension, the dialogue offers no other.
        if (request.restrictExtension) {
            dialog.setNameFilter(filter);
        } else {
            dialog.setNameFilters({filter, QStringLiteral("*")});
        }
        // "*.dat" gives new file names the extension.
        if (filter.startsWith(QLatin1String("*.")) && !filter.contains(QLatin1Char(';')) &&
            !filter.contains(QLatin1Char(' '))) {
            dialog.setDefaultSuffix(filter.mid(2));
        }
    }
    const QString proposed = FromEngine(request.defaultFileSpec);
    if (!proposed.isEmpty() && !proposed.contains(QLatin1Char('*')) &&
        !proposed.contains(QLatin1Char('?'))) {
        dialog.selectFile(proposed);
    }
    if (!request.allowMakeDirectory) {
        dialog.setOption(QFileDialog::ReadOnly, true);
    }
    QString accept;
    switch (request.buttonLabel) {
    case VAL_SAVE_BUTTON:
        accept = QStringLiteral("Save");
        break;
    case VAL_SELECT_BUTTON:
        accept = QStringLiteral("Select");
        break;
    case VAL_LOAD_BUTTON:
        accept = QStringLiteral("Load");
        break;
    default:
        accept = QStringLiteral("OK");
        break;
    }
    dialog.setLabelText(QFileDialog::Accept, accept);

    ++dispatchDepth_;
    const int rc = dialog.exec();
    --dispatchDepth_;
    FileDialogResult result;
    if (rc != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        result.status = VAL_NO_FILE_SELECTED;
        return result;
    }
    const QString chosen = QDir::toNativeSeparators(dialog.selectedFiles().first());
    // A name typed with another extension is not taken when the extension
    // is restricted.
    if (request.restrictExtension && !filter.isEmpty() &&
        !QDir::match(filter, QFileInfo(chosen).fileName())) {
        result.status = kError;
        return result;
    }
    result.path = ToEngine(chosen);
    result.status = QFileInfo::exists(chosen) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
    return result;
}

} // namespace korven::rt::qt
