#include "runtime/layout.h"
#include "runtime/qt/qt_form.h"
#include "runtime/qt/qt_internal.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>

#include <utility>

namespace korven::rt::qt {

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
    const std::optional<Layout> layout = ReadLayoutFile(path.toStdString());
    const LayoutPanel* lp = layout ? layout->panel(resourceId) : nullptr;
    if (!lp || !lp->form) {
        return kError;
    }
    std::unique_ptr<QWidget> built = BuildForm(*lp->form);
    if (!built) {
        return kError;
    }
    auto* window = new PanelWindow(std::move(built), *lp, layout->tree);
    QWidget* form = window->form();
    window->installEventFilter(this);

    auto panel = std::make_unique<Panel>();
    panel->handle = nextPanelHandle_++;
    panel->resourceId = resourceId;
    panel->name = window->objectName();
    panel->window = window;
    panel->form = form;
    window->setProperty(kPanelProp, panel->handle);
    panel->fn = registry->panelCallback(form->property("callback").toString().toStdString());
    if (mainPanel_ == 0) {
        mainPanel_ = panel->handle; // the first panel is the program's main window
    }

    for (const LayoutControl& lc : lp->controls) {
        auto* w = form->findChild<QWidget*>(QString::fromStdString(lc.name));
        if (!w) {
            continue;
        }
        auto c = std::make_unique<Control>();
        c->id = lc.id;
        c->panel = panel->handle;
        c->name = w->objectName();
        c->widget = w;
        c->kind = lc.kind;
        c->type = lc.valueType;
        c->valueOffset = lc.valueOffset;
        c->onText = QString::fromStdString(lc.onText);
        c->offText = QString::fromStdString(lc.offText);
        c->label = w->property("label").toString();
        c->fn = registry->ctrlCallback(lc.callbackName);
        if (auto* d = qobject_cast<QDoubleSpinBox*>(w)) {
            c->exact = d->value();
        }
        if (auto* plot = qobject_cast<QCustomPlot*>(w)) {
            c->graph = std::make_unique<Graph>(plot, c->kind == CtrlKind::StripChart);
        }
        panel->controls[lc.id] = std::move(c);
    }
    // Captions: labels whose buddy is a control.
    for (QLabel* label : form->findChildren<QLabel*>()) {
        if (QWidget* buddy = label->buddy()) {
            for (auto& [id, c] : panel->controls) {
                if (c->widget == buddy) {
                    c->caption = label;
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
    // A button may hand a graph back to the program's scaling when pressed
    // (the operator asks the program for a view, so their own one ends).
    if (const QString graph = w->property("resetsView").toString();
        !graph.isEmpty() && qobject_cast<QPushButton*>(w)) {
        connect(static_cast<QPushButton*>(w), &QPushButton::clicked, this, [this, ph, graph] {
            if (Panel* p = findPanel(ph)) {
                for (auto& [cid, other] : p->controls) {
                    if (other->graph && other->name == graph) {
                        other->graph->resetView();
                    }
                }
            }
        });
    }
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
        // An indicator changes with every answer of a loop. Filled by itself
        // it is opaque, so that the group box and panel beneath it are not
        // painted again each time (with its title shaped anew).
        if (auto* box = qobject_cast<QAbstractSpinBox*>(w); box && box->isReadOnly()) {
            box->setAutoFillBackground(true);
        }
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
        // The port list's last item adds a network port: choosing it asks
        // for the address and leaves the port shown until one is added.
        connect(static_cast<QComboBox*>(w), &QComboBox::currentIndexChanged, this,
                [this, ph, id, w](int index) {
                    auto* combo = qobject_cast<QComboBox*>(w);
                    if (combo && AddsNetworkPort(combo, index)) {
                        return;
                    }
                    if (combo) {
                        combo->setProperty("shownIndex", index);
                        combo->setToolTip(combo->currentData(Qt::ToolTipRole).toString());
                    }
                    postCtrlEvent(ph, id, EVENT_VAL_CHANGED);
                });
        connect(static_cast<QComboBox*>(w), &QComboBox::activated, this,
                [this, ph, id, w](int index) {
                    auto* combo = qobject_cast<QComboBox*>(w);
                    if (!combo || !AddsNetworkPort(combo, index)) {
                        postCtrlEvent(ph, id, EVENT_COMMIT);
                        return;
                    }
                    const QSignalBlocker block(combo);
                    combo->setCurrentIndex(combo->property("shownIndex").toInt());
                    QMetaObject::invokeMethod(
                        this, [this, ph, id] { askNetworkPort(ph, id); }, Qt::QueuedConnection);
                });
        break;
    case CtrlKind::TextBox:
        connect(static_cast<QPlainTextEdit*>(w), &QPlainTextEdit::textChanged, this,
                [this, ph, id] { postCtrlEvent(ph, id, EVENT_VAL_CHANGED); });
        break;
    case CtrlKind::TextMsg:
        // A text entry: each edit changes the value, leaving it commits.
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            connect(edit, &QLineEdit::textEdited, this,
                    [this, ph, id] { postCtrlEvent(ph, id, EVENT_VAL_CHANGED); });
            connect(edit, &QLineEdit::editingFinished, this,
                    [this, ph, id] { postCtrlEvent(ph, id, EVENT_COMMIT); });
        }
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

// The main window opens where the operator left it on this set of screens,
// else fitted onto the screen it opens on; every other panel opens centred
// on the main window and entirely on the main window's screen.
void QtBackend::placePanel(Panel& p) {
    PanelWindow* w = p.window;
    if (p.handle == mainPanel_) {
        if (p.placed) {
            return;
        }
        const QByteArray saved =
            QByteArray::fromBase64(QByteArray::fromStdString(setting(windowKey(p))));
        if (!saved.isEmpty() && w->restoreGeometry(saved)) {
            p.placed = true;
            return;
        }
        const QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            w->fitOn(screen->availableGeometry());
        }
    } else if (!w->isVisible()) {
        const Panel* main = findPanel(mainPanel_);
        QWidget* over =
            main && main->window && main->window->isVisible() ? main->window.data() : nullptr;
        const QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            w->fitOn(screen->availableGeometry(), over ? over->frameGeometry() : QRect());
        }
    }
    p.placed = true;
}

std::string QtBackend::windowKey(const Panel& p) const {
    return QStringLiteral("windows/%1/%2").arg(ScreenSetupKey(), p.name).toStdString();
}

void QtBackend::rememberPlace(const Panel& p) {
    if (p.handle == mainPanel_ && p.window && p.placed) {
        setSetting(windowKey(p), p.window->saveGeometry().toBase64().toStdString());
    }
}

int QtBackend::displayPanel(int panel) {
    Panel* p = findPanel(panel);
    if (!p || !p->window) {
        return kError;
    }
    placePanel(*p);
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
    rememberPlace(*p);
    p->window->hide();
    return 0;
}

int QtBackend::discardPanel(int panel) {
    auto it = panels_.find(panel);
    if (it == panels_.end()) {
        return kError;
    }
    rememberPlace(*it->second);
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

} // namespace korven::rt::qt
