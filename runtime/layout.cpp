// Reader of the panel layout file (a Qt Designer form) and the slot that
// holds the program's layout registry.
#include "runtime/layout.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>

namespace korven::rt {

namespace {
const LayoutRegistry* gRegistry = nullptr;
} // namespace

void SetLayoutRegistry(const LayoutRegistry* registry) {
    gRegistry = registry;
}
const LayoutRegistry* CurrentLayoutRegistry() {
    return gRegistry;
}

std::string FormNode::attr(const std::string& key) const {
    auto it = attrs.find(key);
    return it == attrs.end() ? std::string() : it->second;
}

const FormNode* FormNode::child(const std::string& name) const {
    for (const auto& c : children) {
        if (c->tag == name) {
            return c.get();
        }
    }
    return nullptr;
}

const LayoutPanel* Layout::panel(int resourceId) const {
    for (const auto& p : panels) {
        if (p.resourceId == resourceId) {
            return &p;
        }
    }
    return nullptr;
}

namespace {

using Node = FormNode;

std::unique_ptr<Node> ReadTree(QXmlStreamReader& xml, std::string* error) {
    std::unique_ptr<Node> root;
    std::vector<Node*> stack;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            auto node = std::make_unique<Node>();
            node->tag = xml.name().toString().toStdString();
            for (const auto& a : xml.attributes()) {
                node->attrs[a.name().toString().toStdString()] = a.value().toString().toStdString();
            }
            Node* raw = node.get();
            if (stack.empty()) {
                if (root) {
                    xml.raiseError(QStringLiteral("more than one root element"));
                    break;
                }
                root = std::move(node);
            } else {
                stack.back()->children.push_back(std::move(node));
            }
            stack.push_back(raw);
        } else if (token == QXmlStreamReader::EndElement) {
            if (!stack.empty()) {
                stack.pop_back();
            }
        } else if (token == QXmlStreamReader::Characters) {
            if (!stack.empty()) {
                stack.back()->text += xml.text().toString().toStdString();
            }
        }
    }
    if (xml.hasError()) {
        if (error) {
            *error = "XML error at line " + std::to_string(xml.lineNumber()) + ": " +
                     xml.errorString().toStdString();
        }
        return nullptr;
    }
    if (!root) {
        if (error) {
            *error = "empty document";
        }
        return nullptr;
    }
    return root;
}

// A property value as written by Designer: <string>, <number>, <double>,
// <bool>, <enum>, <cstring> or <rect>.
struct Prop {
    const Node* node = nullptr; // the value element

    bool present() const { return node != nullptr; }
    std::string text() const { return node ? node->text : std::string(); }
    bool toBool(bool fallback) const {
        if (!node) {
            return fallback;
        }
        const std::string& t = node->text;
        if (t == "true" || t == "1") {
            return true;
        }
        if (t == "false" || t == "0") {
            return false;
        }
        return fallback;
    }
    bool toDouble(double& out) const {
        if (!node) {
            return false;
        }
        bool ok = false;
        const double v = QString::fromStdString(node->text).trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(v)) {
            return false;
        }
        out = v;
        return true;
    }
    bool toInt(int& out) const {
        double v = 0.0;
        if (!toDouble(v) || v < std::numeric_limits<int>::min() ||
            v > std::numeric_limits<int>::max()) {
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }
    Rect toRect() const {
        Rect r;
        if (!node) {
            return r;
        }
        auto field = [&](const char* name) {
            const Node* n = node->child(name);
            return n ? QString::fromStdString(n->text).trimmed().toInt() : 0;
        };
        r.x = field("x");
        r.y = field("y");
        r.width = field("width");
        r.height = field("height");
        return r;
    }
};

Prop FindProp(const Node& widget, const std::string& name) {
    for (const auto& c : widget.children) {
        if (c->tag == "property" && c->attr("name") == name) {
            Prop p;
            p.node = c->children.empty() ? nullptr : c->children.front().get();
            return p;
        }
    }
    return {};
}

bool ParseValueType(const std::string& s, ValueType& out) {
    static const std::map<std::string, ValueType> kTypes = {
        {"u16", ValueType::U16},       {"int", ValueType::Int},     {"u32", ValueType::U32},
        {"double", ValueType::Double}, {"float", ValueType::Float}, {"string", ValueType::String},
    };
    auto it = kTypes.find(s);
    if (it == kTypes.end()) {
        return false;
    }
    out = it->second;
    return true;
}

bool IsNumericType(ValueType t) {
    return t == ValueType::U16 || t == ValueType::Int || t == ValueType::U32 ||
           t == ValueType::Double || t == ValueType::Float;
}

class FormReader {
  public:
    FormReader(const LayoutRegistry& reg, std::string* error) : reg_(reg), error_(error) {}

    bool readPanel(const Node& widget, LayoutPanel& panel) {
        panel.name = widget.attr("name");
        panel.resourceId = reg_.panelResource(panel.name);
        panel.title = FindProp(widget, "windowTitle").text();
        panel.geometry = FindProp(widget, "geometry").toRect();
        panel.callbackName = FindProp(widget, "callback").text();
        return walkChildren(widget, panel, 0, 0, 0, true);
    }

  private:
    bool fail(const std::string& why) {
        if (error_) {
            *error_ = why;
        }
        return false;
    }

    // Visits widgets below `parent` (also those placed in layouts), with
    // the offset of `parent` relative to the panel.
    // `parentGrows` tells whether `parent` can gain size (the panel can).
    bool walkChildren(const Node& parent, LayoutPanel& panel, int parentId, int dx, int dy,
                      bool parentGrows) {
        for (const auto& c : parent.children) {
            if (c->tag == "widget") {
                if (!visitWidget(*c, panel, parentId, dx, dy, parentGrows)) {
                    return false;
                }
            } else if (c->tag == "layout" || c->tag == "item") {
                if (!walkChildren(*c, panel, parentId, dx, dy, parentGrows)) {
                    return false;
                }
            }
        }
        return true;
    }

    bool visitWidget(const Node& w, LayoutPanel& panel, int parentId, int dx, int dy,
                     bool parentGrows) {
        const std::string name = w.attr("name");
        bool grows = false;
        const Prop stretch = FindProp(w, "stretch");
        if (stretch.present()) {
            const std::optional<Stretch> s = ParseStretch(stretch.text());
            if (!s) {
                return fail("widget " + name + ": stretch \"" + stretch.text() +
                            "\" is not \"x=F y=F w=F h=F\" with F from 0 to 1");
            }
            if (!parentGrows) {
                return fail("widget " + name + " stretches inside a parent that does not grow");
            }
            grows = s->grows();
            panel.resizable = panel.resizable || grows;
        }
        Rect g = FindProp(w, "geometry").toRect();
        g.x += dx;
        g.y += dy;
        int childParent = parentId;
        const int id = name.empty() ? -1 : reg_.controlId(name);
        if (id >= 0) {
            for (const auto& existing : panel.controls) {
                if (existing.id == id) {
                    return fail("control " + name + " appears twice");
                }
            }
            LayoutControl c;
            if (!readControl(w, c)) {
                return false;
            }
            c.name = name;
            c.id = id;
            c.parentId = parentId;
            c.geometry = g;
            if (c.kind == CtrlKind::Container) {
                childParent = id;
            }
            panel.controls.push_back(std::move(c));
        }
        return walkChildren(w, panel, childParent, g.x, g.y, grows);
    }

    bool readControl(const Node& w, LayoutControl& c) {
        c.qtClass = w.attr("class");
        const std::string& cls = c.qtClass;
        const std::string text = FindProp(w, "text").text();
        bool isButton = false;
        if (cls == "QPushButton" || cls == "QToolButton") {
            isButton = true;
            if (FindProp(w, "checkable").toBool(false)) {
                c.kind = CtrlKind::Toggle;
                c.valueType = ValueType::Int;
                c.initial = Value::ofInt(FindProp(w, "checked").toBool(false) ? 1 : 0);
                c.onText = FindProp(w, "onText").text();
                c.offText = FindProp(w, "offText").text();
            } else {
                c.kind = CtrlKind::Command;
            }
        } else if (cls == "QRadioButton" || cls == "QCheckBox") {
            isButton = true;
            c.kind = cls == "QRadioButton" ? CtrlKind::Radio : CtrlKind::Check;
            c.valueType = ValueType::Int;
            c.initial = Value::ofInt(FindProp(w, "checked").toBool(false) ? 1 : 0);
        } else if (cls == "QSpinBox" || cls == "QDoubleSpinBox") {
            c.kind = CtrlKind::Numeric;
            const bool isDouble = cls == "QDoubleSpinBox";
            c.valueType = isDouble ? ValueType::Double : ValueType::Int;
            c.decimals = isDouble ? 2 : 0;
            FindProp(w, "decimals").toInt(c.decimals);
            c.readOnly = FindProp(w, "readOnly").toBool(false);
        } else if (cls == "QComboBox") {
            c.kind = CtrlKind::Ring;
            c.valueType = ValueType::Int;
            for (const auto& item : w.children) {
                if (item->tag == "item") {
                    c.items.push_back(FindProp(*item, "text").text());
                }
            }
            FindProp(w, "valueOffset").toInt(c.valueOffset);
        } else if (cls == "QLabel") {
            c.kind = FindProp(w, "picture").toBool(false) ? CtrlKind::Picture : CtrlKind::TextMsg;
            c.valueType = c.kind == CtrlKind::Picture ? ValueType::None : ValueType::String;
            c.readOnly = true;
        } else if (cls == "QLineEdit") {
            // A one-line text entry (a password too: echoMode), or a text
            // message when read-only.
            c.kind = CtrlKind::TextMsg;
            c.valueType = ValueType::String;
            c.readOnly = FindProp(w, "readOnly").toBool(false);
        } else if (cls == "QPlainTextEdit" || cls == "QTextEdit") {
            c.kind = CtrlKind::TextBox;
            c.valueType = ValueType::String;
            c.readOnly = FindProp(w, "readOnly").toBool(false);
        } else if (cls == "QCustomPlot") {
            c.kind =
                FindProp(w, "stripChart").toBool(false) ? CtrlKind::StripChart : CtrlKind::Graph;
        } else {
            // QFrame, QGroupBox, QWidget and anything else: a container.
            c.kind = CtrlKind::Container;
        }

        const Prop dataType = FindProp(w, "dataType");
        if (dataType.present()) {
            if (!ParseValueType(dataType.text(), c.valueType)) {
                return fail("control " + w.attr("name") + ": unknown dataType \"" +
                            dataType.text() + "\"");
            }
        }

        // Range of numeric controls: an explicit minimum or maximum makes a
        // range; a missing side is the limit of the value type.
        if (IsNumericType(c.valueType)) {
            double lo = 0.0, hi = 0.0;
            TypeLimits(c.valueType, lo, hi);
            double v = 0.0;
            if (FindProp(w, "minimum").toDouble(v)) {
                c.hasRange = true;
                lo = v;
            }
            if (FindProp(w, "maximum").toDouble(v)) {
                c.hasRange = true;
                hi = v;
            }
            if (c.hasRange) {
                if (lo > hi) {
                    return fail("control " + w.attr("name") + ": minimum above maximum");
                }
                c.minimum = lo;
                c.maximum = hi;
            }
        }

        // Initial value in the control's own type.
        switch (c.kind) {
        case CtrlKind::Toggle:
        case CtrlKind::Radio:
        case CtrlKind::Check:
            break; // set above
        case CtrlKind::Ring: {
            int index = 0;
            FindProp(w, "currentIndex").toInt(index);
            c.initial = Value::ofInt(static_cast<std::int64_t>(index) + c.valueOffset);
            break;
        }
        case CtrlKind::TextMsg:
            c.initial = Value::ofText(text);
            break;
        case CtrlKind::TextBox: {
            Prop p = FindProp(w, "plainText");
            if (!p.present()) {
                p = FindProp(w, "html");
            }
            c.initial = Value::ofText(p.text());
            break;
        }
        default: {
            double v = 0.0;
            if (FindProp(w, "value").toDouble(v)) {
                c.initial = Value::ofDouble(v);
            } else if (c.hasRange && c.minimum > 0.0) {
                c.initial = Value::ofDouble(c.minimum);
            } else {
                c.initial = Value::ofInt(0);
            }
            break;
        }
        }
        // Bring the initial value into the declared type.
        switch (c.valueType) {
        case ValueType::U16:
        case ValueType::Int:
        case ValueType::U32:
            c.initial = Value::ofInt(c.initial.asInt());
            break;
        case ValueType::Double:
        case ValueType::Float:
            c.initial = Value::ofDouble(c.initial.asDouble());
            break;
        case ValueType::String:
            c.initial = Value::ofText(c.initial.asText());
            break;
        case ValueType::None:
            break;
        }

        c.dimmed = !FindProp(w, "enabled").toBool(true);
        c.visible = FindProp(w, "visible").toBool(true);
        const Prop label = FindProp(w, "label");
        if (label.present()) {
            c.label = label.text();
        } else if (isButton) {
            c.label = text;
        } else if (cls == "QGroupBox") {
            c.label = FindProp(w, "title").text();
        }
        c.callbackName = FindProp(w, "callback").text();
        return true;
    }

    const LayoutRegistry& reg_;
    std::string* error_;
};

struct Gain {
    int width = 0, height = 0;
};

void ArrangeChildren(const Node& parent, Gain gain, int originX, int originY,
                     std::vector<Placement>& out) {
    for (const auto& c : parent.children) {
        if (c->tag == "layout" || c->tag == "item") {
            ArrangeChildren(*c, gain, originX, originY, out);
            continue;
        }
        if (c->tag != "widget") {
            continue;
        }
        Placement p;
        p.widget = c.get();
        p.name = c->attr("name");
        p.inParent = FindProp(*c, "geometry").toRect();
        Gain own;
        const Prop stretch = FindProp(*c, "stretch");
        if (const std::optional<Stretch> s =
                stretch.present() ? ParseStretch(stretch.text()) : std::nullopt) {
            p.stretches = true;
            // Edges are rounded, not sizes, so that neighbours that share
            // a gain keep the gap between them.
            const auto at = [](int designed, double share, int g) {
                return designed + static_cast<int>(std::lround(share * g));
            };
            const Rect d = p.inParent;
            p.inParent.x = at(d.x, s->x, gain.width);
            p.inParent.y = at(d.y, s->y, gain.height);
            p.inParent.width = at(d.x + d.width, s->x + s->w, gain.width) - p.inParent.x;
            p.inParent.height = at(d.y + d.height, s->y + s->h, gain.height) - p.inParent.y;
            own.width = p.inParent.width - d.width;
            own.height = p.inParent.height - d.height;
        }
        p.inPanel = p.inParent;
        p.inPanel.x += originX;
        p.inPanel.y += originY;
        const int x = p.inPanel.x, y = p.inPanel.y;
        out.push_back(std::move(p));
        ArrangeChildren(*c, own, x, y, out);
    }
}

} // namespace

std::optional<Stretch> ParseStretch(std::string_view text) {
    Stretch s;
    const QStringList parts = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
                                  .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        if (eq != 1) {
            return std::nullopt;
        }
        bool ok = false;
        const double v = part.mid(2).toDouble(&ok);
        if (!ok || !(v >= 0.0 && v <= 1.0)) {
            return std::nullopt;
        }
        switch (part.front().toLatin1()) {
        case 'x':
            s.x = v;
            break;
        case 'y':
            s.y = v;
            break;
        case 'w':
            s.w = v;
            break;
        case 'h':
            s.h = v;
            break;
        default:
            return std::nullopt;
        }
    }
    return s;
}

std::vector<Placement> ArrangeForm(const FormNode& panel, int width, int height) {
    const Rect designed = FindProp(panel, "geometry").toRect();
    std::vector<Placement> out;
    ArrangeChildren(
        panel, Gain{std::max(0, width - designed.width), std::max(0, height - designed.height)}, 0,
        0, out);
    return out;
}

std::optional<Layout> ParseLayout(std::string_view xmlText, std::string* error) {
    const LayoutRegistry* reg = CurrentLayoutRegistry();
    if (reg == nullptr || reg->panelResource == nullptr || reg->controlId == nullptr) {
        if (error) {
            *error = "no layout registry installed";
        }
        return std::nullopt;
    }
    QXmlStreamReader xml(QByteArray(xmlText.data(), static_cast<qsizetype>(xmlText.size())));
    std::unique_ptr<Node> root = ReadTree(xml, error);
    if (!root) {
        return std::nullopt;
    }
    if (root->tag != "ui") {
        if (error) {
            *error = "not a layout form (root element <" + root->tag + ">)";
        }
        return std::nullopt;
    }
    const Node* top = root->child("widget");
    if (top == nullptr) {
        if (error) {
            *error = "the form has no top-level widget";
        }
        return std::nullopt;
    }
    Layout layout;
    FormReader reader(*reg, error);
    const std::shared_ptr<const Node> tree = std::move(root);
    for (const auto& c : top->children) {
        if (c->tag != "widget") {
            continue;
        }
        const std::string name = c->attr("name");
        if (name.empty() || reg->panelResource(name) < 0) {
            continue;
        }
        if (layout.panel(reg->panelResource(name)) != nullptr) {
            if (error) {
                *error = "panel " + name + " appears twice";
            }
            return std::nullopt;
        }
        LayoutPanel panel;
        if (!reader.readPanel(*c, panel)) {
            return std::nullopt;
        }
        panel.form = c.get();
        layout.panels.push_back(std::move(panel));
    }
    if (layout.panels.empty()) {
        if (error) {
            *error = "the form holds no known panel";
        }
        return std::nullopt;
    }
    layout.tree = tree;
    return layout;
}

std::optional<Layout> ReadLayoutFile(const std::string& path, std::string* error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = "cannot open " + path + ": " + file.errorString().toStdString();
        }
        return std::nullopt;
    }
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error) {
            *error = "cannot read " + path + ": " + file.errorString().toStdString();
        }
        return std::nullopt;
    }
    return ParseLayout(std::string_view(data.constData(), static_cast<std::size_t>(data.size())),
                       error);
}

// The range a value of the type can hold.
void TypeLimits(ValueType t, double& lo, double& hi) {
    switch (t) {
    case ValueType::U16:
        lo = 0.0;
        hi = 65535.0;
        return;
    case ValueType::U32:
        lo = 0.0;
        hi = 4294967295.0;
        return;
    case ValueType::Int:
        lo = std::numeric_limits<int>::min();
        hi = std::numeric_limits<int>::max();
        return;
    case ValueType::Float:
        lo = -static_cast<double>(std::numeric_limits<float>::max());
        hi = static_cast<double>(std::numeric_limits<float>::max());
        return;
    default:
        lo = -std::numeric_limits<double>::max();
        hi = std::numeric_limits<double>::max();
        return;
    }
}

} // namespace korven::rt
