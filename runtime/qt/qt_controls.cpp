#include "runtime/qt/qt_internal.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFontInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QSyntaxHighlighter>
#include <QTextCursor>

#include <algorithm>
#include <cmath>
#include <limits>

namespace korven::rt::qt {

namespace {

QColor Rgb(std::int64_t color) {
    const auto c = static_cast<int>(color & 0xFFFFFF);
    return QColor((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
}

int ToRgb(const QColor& c) {
    return (c.red() << 16) | (c.green() << 8) | c.blue();
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

// Colours the lines of a text box that hold its dynamic property
// "problemMark" (a message history's errors and refusals).
class ProblemLines : public QSyntaxHighlighter {
  public:
    ProblemLines(QTextDocument* document, QString mark)
        : QSyntaxHighlighter(document), mark_(std::move(mark)) {
        format_.setForeground(QColor(0xC0, 0x00, 0x00));
        format_.setFontWeight(QFont::Bold);
    }

  protected:
    void highlightBlock(const QString& text) override {
        if (text.contains(mark_)) {
            setFormat(0, static_cast<int>(text.size()), format_);
        }
    }

  private:
    QString mark_;
    QTextCharFormat format_;
};

// Puts a new text into a text box by replacing only what changed between
// the old and the new text, so that the operator's selection and scroll
// position elsewhere in it stay; a box scrolled to its end follows new lines.
void SetBoxText(QPlainTextEdit* box, const QString& text) {
    const QString old = box->toPlainText();
    if (old == text) {
        return;
    }
    if (const QString mark = box->property("problemMark").toString();
        !mark.isEmpty() && !box->document()->findChild<ProblemLines*>()) {
        new ProblemLines(box->document(), mark);
    }
    // A read-only box changes only by the program: no undo steps pile up.
    if (box->isReadOnly()) {
        box->document()->setUndoRedoEnabled(false);
    }
    QScrollBar* bar = box->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    qsizetype head = 0;
    const qsizetype shorter = std::min(old.size(), text.size());
    while (head < shorter && old[head] == text[head]) {
        ++head;
    }
    qsizetype tail = 0;
    while (tail < shorter - head && old[old.size() - 1 - tail] == text[text.size() - 1 - tail]) {
        ++tail;
    }
    QTextCursor edit(box->document());
    edit.setPosition(static_cast<int>(head));
    edit.setPosition(static_cast<int>(old.size() - tail), QTextCursor::KeepAnchor);
    edit.insertText(text.mid(head, text.size() - head - tail));
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
}

} // namespace

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
            v = std::clamp(v, d->minimum(), d->maximum());
            if (c->type == ValueType::Float) {
                v = static_cast<double>(static_cast<float>(v));
            } else if (!IsFloating(c->type)) {
                v = std::trunc(v);
            }
            // A value set again unchanged (every answer of a loop) would
            // still repaint the box.
            if (c->exact == v && d->specialValueText().isEmpty()) {
                return 0;
            }
            d->setSpecialValueText(QString());
            c->exact = v;
            d->setValue(v);
        } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
            const auto v = static_cast<int>(
                std::clamp<std::int64_t>(value.asInt(), s->minimum(), s->maximum()));
            if (s->value() != v) {
                s->setValue(v);
            }
        }
        return 0;
    case CtrlKind::Ring: {
        auto* combo = static_cast<QComboBox*>(w);
        const std::int64_t index = value.asInt() - c->valueOffset;
        if (index < 0 || index >= combo->count() ||
            AddsNetworkPort(combo, static_cast<int>(index))) {
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
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            edit->setText(FromEngine(value.asText()));
            return 0;
        }
        static_cast<QLabel*>(w)->setText(FromEngine(value.asText()));
        if (c->runtime) {
            fitLabel(w);
        }
        return 0;
    case CtrlKind::TextBox:
        SetBoxText(static_cast<QPlainTextEdit*>(w), FromEngine(value.asText()));
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
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            value = Value::ofText(ToEngine(edit->text()));
            return 0;
        }
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
        const QPoint origin = w->parentWidget() && p && p->form
                                  ? w->parentWidget()->mapTo(p->form, QPoint(0, 0))
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
    case ATTR_FRAME_COLOR:
    case ATTR_TEXT_COLOR:
    case ATTR_TEXT_BGCOLOR: {
        const QPalette::ColorRole role = attribute == ATTR_FRAME_COLOR  ? QPalette::Window
                                         : attribute == ATTR_TEXT_COLOR ? TextRole(w)
                                                                        : BackgroundRole(w);
        QPalette pal = w->palette();
        pal.setColor(role, Rgb(value.asInt()));
        w->setPalette(pal);
        // A frame, and a label's background, show only when filled.
        if (attribute == ATTR_FRAME_COLOR ||
            (attribute == ATTR_TEXT_BGCOLOR && qobject_cast<QLabel*>(w))) {
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
        const QPoint pos = p && p->form ? w->mapTo(p->form, QPoint(0, 0)) : w->pos();
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
    if (!p || !p->form || style != CTRL_TEXT_MSG) {
        return kError;
    }
    auto* w = new QLabel(p->form);
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

} // namespace korven::rt::qt
