#include "runtime/qt/qt_form.h"

#include "runtime/qt/qt_plot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QToolButton>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <vector>

namespace korven::rt::qt {

namespace {

using Factory = std::function<QWidget*(QWidget*)>;

// A combo box whose closed state elides a text too long for it with "…",
// rather than cutting it off mid-character.
class ElidingComboBox : public QComboBox {
  public:
    using QComboBox::QComboBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                    QStyle::SC_ComboBoxEditField, this);
        option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight,
                                                      std::max(0, field.width() - 4));
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

template <class W> Factory Make() {
    return [](QWidget* parent) { return new W(parent); };
}

const std::map<std::string, Factory>& Factories() {
    static const std::map<std::string, Factory> kFactories = {
        {"QWidget", Make<QWidget>()},
        {"QFrame", Make<QFrame>()},
        {"QGroupBox", Make<QGroupBox>()},
        {"QLabel", Make<QLabel>()},
        {"QPushButton", Make<QPushButton>()},
        {"QToolButton", Make<QToolButton>()},
        {"QRadioButton", Make<QRadioButton>()},
        {"QCheckBox", Make<QCheckBox>()},
        {"QSpinBox", Make<QSpinBox>()},
        {"QDoubleSpinBox", Make<QDoubleSpinBox>()},
        {"QComboBox", Make<ElidingComboBox>()},
        {"QLineEdit", Make<QLineEdit>()},
        {"QPlainTextEdit", Make<QPlainTextEdit>()},
        {"QCustomPlot", Make<Plot>()},
    };
    return kFactories;
}

// Properties that depend on others of the same widget (a spin box's value
// on its range and decimals, a combo box's index on its items, a button's
// check state on its being checkable): set after all the rest.
bool SetLast(const std::string& name) {
    return name == "value" || name == "currentIndex" || name == "checked";
}

// "QFrame::StyledPanel" -> "StyledPanel"; "Qt::AlignLeft|Qt::AlignTop" ->
// "AlignLeft|AlignTop": the meta-object's keys are unqualified.
QByteArray Unqualified(const std::string& keys) {
    QByteArrayList parts;
    for (const QByteArray& part : QByteArray::fromStdString(keys).split('|')) {
        const QByteArray key = part.trimmed();
        const qsizetype at = key.lastIndexOf("::");
        parts.push_back(at < 0 ? key : key.mid(at + 2));
    }
    return parts.join('|');
}

int Field(const FormNode& n, const char* name, int fallback = 0) {
    const FormNode* f = n.child(name);
    bool ok = false;
    const int v = f ? QString::fromStdString(f->text).trimmed().toInt(&ok) : 0;
    return ok ? v : fallback;
}

class Builder {
  public:
    explicit Builder(std::string* error) : error_(error) {}

    QWidget* build(const FormNode& node, QWidget* parent) {
        const std::string cls = node.attr("class");
        const auto factory = Factories().find(cls);
        if (factory == Factories().end()) {
            return fail("unknown widget class \"" + cls + "\"");
        }
        QWidget* w = factory->second(parent);
        if (!parent) {
            root_.reset(w); // children go with their parent
        }
        const std::string name = node.attr("name");
        w->setObjectName(QString::fromStdString(name));
        if (!name.empty() && !named_.emplace(name, w).second) {
            return fail("widget " + name + " appears twice");
        }
        std::vector<const FormNode*> last;
        for (const auto& c : node.children) {
            if (c->tag == "property") {
                if (SetLast(c->attr("name"))) {
                    last.push_back(c.get());
                } else if (!apply(w, *c)) {
                    return nullptr;
                }
            } else if (c->tag == "item") {
                if (auto* combo = qobject_cast<QComboBox*>(w)) {
                    const FormNode* text = nullptr;
                    for (const auto& p : c->children) {
                        if (p->tag == "property" && p->attr("name") == "text" &&
                            !p->children.empty()) {
                            text = p->children.front().get();
                        }
                    }
                    combo->addItem(text ? QString::fromStdString(text->text) : QString());
                }
            } else if (c->tag == "widget") {
                if (!build(*c, w)) {
                    return nullptr;
                }
            }
        }
        for (const FormNode* p : last) {
            if (!apply(w, *p)) {
                return nullptr;
            }
        }
        return w;
    }

    // Labels name their buddy before it may exist: resolved at the end.
    bool resolveBuddies() {
        for (const auto& [label, name] : buddies_) {
            auto it = named_.find(name);
            if (it == named_.end()) {
                fail("label " + label->objectName().toStdString() + ": no buddy named " + name);
                return false;
            }
            label->setBuddy(it->second);
        }
        return true;
    }

    std::unique_ptr<QWidget> root_;

  private:
    std::nullptr_t fail(const std::string& why) {
        if (error_ && error_->empty()) {
            *error_ = why;
        }
        return nullptr;
    }
    bool refuse(const std::string& why) {
        fail(why);
        return false;
    }

    bool apply(QWidget* w, const FormNode& property) {
        const std::string name = property.attr("name");
        if (property.children.empty()) {
            return true;
        }
        const FormNode& v = *property.children.front();
        const QByteArray key = QByteArray::fromStdString(name);
        const QMetaObject* meta = w->metaObject();
        const int index = meta->indexOfProperty(key.constData());
        const QString text = QString::fromStdString(v.text);
        QVariant value;
        if (v.tag == "string") {
            value = text;
        } else if (v.tag == "cstring") {
            if (name == "buddy") {
                if (auto* label = qobject_cast<QLabel*>(w)) {
                    buddies_.emplace_back(label, v.text);
                }
                return true;
            }
            value = QByteArray::fromStdString(v.text);
        } else if (v.tag == "number") {
            bool ok = false;
            const qlonglong n = text.trimmed().toLongLong(&ok);
            if (!ok) {
                return refuse(w->objectName().toStdString() + "." + name + ": not a number");
            }
            value = n >= INT_MIN && n <= INT_MAX ? QVariant(static_cast<int>(n)) : QVariant(n);
        } else if (v.tag == "double") {
            bool ok = false;
            value = text.trimmed().toDouble(&ok);
            if (!ok) {
                return refuse(w->objectName().toStdString() + "." + name + ": not a number");
            }
        } else if (v.tag == "bool") {
            value = text.trimmed() == QLatin1String("true");
        } else if (v.tag == "rect") {
            value = QRect(Field(v, "x"), Field(v, "y"), Field(v, "width"), Field(v, "height"));
        } else if (v.tag == "font") {
            QFont font = w->font();
            if (const FormNode* f = v.child("family")) {
                font.setFamily(QString::fromStdString(f->text));
            }
            if (const int size = Field(v, "pointsize", -1); size > 0) {
                font.setPointSize(size);
            }
            if (const FormNode* b = v.child("bold")) {
                font.setBold(b->text == "true");
            }
            if (const FormNode* i = v.child("italic")) {
                font.setItalic(i->text == "true");
            }
            value = font;
        } else if (v.tag == "enum" || v.tag == "set") {
            if (index < 0 || !meta->property(index).isEnumType()) {
                value = text; // a dynamic property keeps the name
            } else {
                const QMetaEnum e = meta->property(index).enumerator();
                bool ok = false;
                const int n = e.isFlag() ? e.keysToValue(Unqualified(v.text).constData(), &ok)
                                         : e.keyToValue(Unqualified(v.text).constData(), &ok);
                if (!ok) {
                    return refuse(w->objectName().toStdString() + "." + name + ": unknown value " +
                                  v.text);
                }
                return meta->property(index).write(w, n) ||
                       fail(w->objectName().toStdString() + "." + name + ": not accepted");
            }
        } else {
            return refuse(w->objectName().toStdString() + "." + name + ": unknown value type <" +
                          v.tag + ">");
        }
        if (index >= 0 && !meta->property(index).write(w, value)) {
            return refuse(w->objectName().toStdString() + "." + name + ": not accepted");
        }
        if (index < 0) {
            w->setProperty(key.constData(), value);
        }
        return true;
    }

    std::string* error_;
    std::map<std::string, QWidget*> named_;
    std::vector<std::pair<QLabel*, std::string>> buddies_;
};

} // namespace

std::unique_ptr<QWidget> BuildForm(const FormNode& widget, std::string* error) {
    std::string why;
    Builder builder(&why);
    if (!builder.build(widget, nullptr) || !builder.resolveBuddies()) {
        if (error) {
            *error = why;
        }
        return nullptr;
    }
    return std::move(builder.root_);
}

} // namespace korven::rt::qt
