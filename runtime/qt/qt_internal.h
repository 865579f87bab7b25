// Internal to the Qt back end: the state behind a panel and a control of
// QtBackend and the helpers and constants its source files share.
#pragma once

#include "runtime/layout.h"
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_graph.h"
#include "runtime/qt/qt_panel_window.h"

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <map>
#include <memory>
#include <string>

namespace korven::rt::qt {

constexpr int kError = -1;
constexpr char kPanelProp[] = "korvenPanel";
constexpr char kControlProp[] = "korvenControl";

// The last item of a port list adds a network port; it is no port itself.
bool AddsNetworkPort(const QComboBox* combo, int index);

// Texts cross the engine boundary as 8-bit strings: UTF-8 when they are
// valid UTF-8, otherwise the single-byte code page of the original program
// (a byte from the sensor then still shows as one character).
QString FromEngine(const std::string& s);
std::string ToEngine(const QString& s);

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
    QPointer<PanelWindow> window; // the panel's window
    QPointer<QWidget> form;       // the panel itself, origin of its controls' places
    bool placed = false;          // shown once, so placed on a screen
    PanelCallbackPtr fn = nullptr;
    void* data = nullptr;
    std::map<int, std::unique_ptr<Control>> controls;
};

} // namespace korven::rt::qt
