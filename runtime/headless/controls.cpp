// Headless back end: control values and attributes, and the user actions tests perform.
#include "runtime/headless/internal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korven::rt::headless {

using namespace detail;

namespace {

// Error codes of the user-interface calls.
constexpr int kUiBadControl = -43;

constexpr int kDefaultPointsPerScreen = 100;

bool NonZero(const Value& v) {
    switch (v.kind) {
    case Value::Kind::Int:
        return v.i != 0;
    case Value::Kind::Double:
        return v.d != 0.0;
    case Value::Kind::Text:
        break;
    }
    return false;
}

bool IsBinary(CtrlKind k) {
    return k == CtrlKind::Toggle || k == CtrlKind::Radio || k == CtrlKind::Check;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    if (text.empty()) {
        return lines;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            out += '\n';
        }
        out += lines[i];
    }
    return out;
}

// A value brought into the control's own type and range.
Value Coerce(const ControlState& c, const Value& v) {
    if (IsBinary(c.kind)) {
        return Value::ofInt(NonZero(v) ? 1 : 0);
    }
    switch (c.valueType) {
    case ValueType::String:
        return Value::ofText(v.asText());
    case ValueType::U16:
    case ValueType::Int:
    case ValueType::U32: {
        std::int64_t x = v.asInt();
        if (c.hasRange) {
            // Compare as doubles: the range may be fractional or huge.
            if (static_cast<double>(x) < c.minimum) {
                x = static_cast<std::int64_t>(std::ceil(c.minimum));
            }
            if (static_cast<double>(x) > c.maximum) {
                x = static_cast<std::int64_t>(std::floor(c.maximum));
            }
        }
        if (c.valueType == ValueType::U16) {
            x &= 0xFFFF;
        } else if (c.valueType == ValueType::U32) {
            x &= 0xFFFFFFFF;
        } else {
            x = std::clamp<std::int64_t>(x, std::numeric_limits<int>::min(),
                                         std::numeric_limits<int>::max());
        }
        return Value::ofInt(x);
    }
    case ValueType::Double:
    case ValueType::Float: {
        double d = v.asDouble();
        if (c.hasRange && !std::isnan(d)) {
            if (d < c.minimum) {
                d = c.minimum;
            }
            if (d > c.maximum) {
                d = c.maximum;
            }
        }
        if (c.valueType == ValueType::Float) {
            double lo = 0.0, hi = 0.0;
            TypeLimits(ValueType::Float, lo, hi);
            if (!std::isnan(d)) {
                d = std::clamp(d, lo, hi);
            }
            d = static_cast<double>(static_cast<float>(d));
        }
        return Value::ofDouble(d);
    }
    case ValueType::None:
        break;
    }
    return v;
}

} // namespace

namespace detail {

void StoreValue(ControlState& c, const Value& v) {
    c.value = Coerce(c, v);
    if (c.kind == CtrlKind::TextBox) {
        c.lines = SplitLines(c.value.asText());
    }
}

ControlState* Find(HeadlessBackend::Impl& impl, int handle, int control, int& rc) {
    auto p = impl.panels.find(handle);
    if (p == impl.panels.end()) {
        rc = kUiBadPanel;
        return nullptr;
    }
    auto c = p->second.controls.find(control);
    if (c == p->second.controls.end()) {
        rc = kUiBadControl;
        return nullptr;
    }
    rc = 0;
    return &c->second;
}

} // namespace detail

// ---- Controls -------------------------------------------------------------------

int HeadlessBackend::setCtrlVal(int handle, int control, const Value& value) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    StoreValue(*c, value);
    return 0;
}

int HeadlessBackend::getCtrlVal(int handle, int control, Value& value) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    value = c->kind == CtrlKind::TextBox ? Value::ofText(JoinLines(c->lines)) : c->value;
    return 0;
}

int HeadlessBackend::setCtrlAttribute(int handle, int control, int attribute, const Value& value) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    c->attributes[attribute] = value;
    switch (attribute) {
    case ATTR_DIMMED:
        c->dimmed = NonZero(value);
        break;
    case ATTR_VISIBLE:
        c->visible = NonZero(value);
        break;
    case ATTR_LABEL_TEXT:
        c->label = value.asText();
        break;
    case ATTR_MAX_VALUE:
    case ATTR_MIN_VALUE: {
        if (!c->hasRange) {
            TypeLimits(c->valueType, c->minimum, c->maximum);
            c->hasRange = true;
        }
        (attribute == ATTR_MAX_VALUE ? c->maximum : c->minimum) = value.asDouble();
        StoreValue(*c, c->value);
        break;
    }
    case ATTR_ON_TEXT:
        c->onText = value.asText();
        break;
    case ATTR_OFF_TEXT:
        c->offText = value.asText();
        break;
    case ATTR_LEFT:
        c->geometry.x = static_cast<int>(std::clamp<std::int64_t>(value.asInt(), -100000, 100000));
        break;
    case ATTR_TOP:
        c->geometry.y = static_cast<int>(std::clamp<std::int64_t>(value.asInt(), -100000, 100000));
        break;
    default:
        break; // colours, font, point size, graph settings: kept in `attributes`
    }
    return 0;
}

int HeadlessBackend::getCtrlAttribute(int handle, int control, int attribute, Value& value) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    double lo = 0.0, hi = 0.0;
    TypeLimits(c->valueType, lo, hi);
    switch (attribute) {
    case ATTR_DIMMED:
        value = Value::ofInt(c->dimmed ? 1 : 0);
        return 0;
    case ATTR_VISIBLE:
        value = Value::ofInt(c->visible ? 1 : 0);
        return 0;
    case ATTR_LABEL_TEXT:
        value = Value::ofText(c->label);
        return 0;
    case ATTR_MAX_VALUE:
        value = Value::ofDouble(c->hasRange ? c->maximum : hi);
        return 0;
    case ATTR_MIN_VALUE:
        value = Value::ofDouble(c->hasRange ? c->minimum : lo);
        return 0;
    case ATTR_ON_TEXT:
        value = Value::ofText(c->onText);
        return 0;
    case ATTR_OFF_TEXT:
        value = Value::ofText(c->offText);
        return 0;
    case ATTR_LEFT:
        value = Value::ofInt(c->geometry.x);
        return 0;
    case ATTR_TOP:
        value = Value::ofInt(c->geometry.y);
        return 0;
    default:
        break;
    }
    auto it = c->attributes.find(attribute);
    if (it != c->attributes.end()) {
        value = it->second;
    } else if (attribute == ATTR_NUM_TRACES) {
        value = Value::ofInt(1);
    } else if (attribute == ATTR_POINTS_PER_SCREEN) {
        value = Value::ofInt(kDefaultPointsPerScreen);
    } else {
        value = Value::ofInt(0);
    }
    return 0;
}

int HeadlessBackend::installCtrlCallback(int handle, int control, CtrlCallbackPtr fn, void* data) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    c->callback = fn;
    c->callbackData = data;
    return 0;
}

int HeadlessBackend::installPanelCallback(int handle, PanelCallbackPtr fn, void* data) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    p->callback = fn;
    p->callbackData = data;
    return 0;
}

int HeadlessBackend::newCtrl(int handle, int style, const std::string& label, int top, int left) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    if (style != CTRL_TEXT_MSG) {
        return kUiBadArgument;
    }
    ControlState c;
    c.id = impl_->nextControlId++;
    c.name = "";
    c.kind = CtrlKind::TextMsg;
    c.valueType = ValueType::String;
    c.value = Value::ofText(label);
    c.label = label;
    c.geometry.x = left;
    c.geometry.y = top;
    c.attributes[ATTR_LEFT] = Value::ofInt(left);
    c.attributes[ATTR_TOP] = Value::ofInt(top);
    c.readOnly = true;
    c.createdAtRunTime = true;
    c.createOrder = ++impl_->createCounter;
    const int id = c.id;
    p->controls[id] = std::move(c);
    return id;
}

int HeadlessBackend::replaceTextBoxLine(int handle, int control, int line,
                                        const std::string& text) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    if (c->kind != CtrlKind::TextBox) {
        return kUiBadControlKind;
    }
    if (line < 0 || line > 100000) {
        return kUiBadArgument;
    }
    if (c->lines.size() <= static_cast<std::size_t>(line)) {
        c->lines.resize(static_cast<std::size_t>(line) + 1);
    }
    c->lines[static_cast<std::size_t>(line)] = text;
    c->value = Value::ofText(JoinLines(c->lines));
    return 0;
}

int HeadlessBackend::displayImageFile(int handle, int control, const std::string& fileName) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    if (c->kind != CtrlKind::Picture) {
        return kUiBadControlKind;
    }
    c->imageFile = fileName;
    return 0;
}

// ---- User actions ---------------------------------------------------------------

int HeadlessBackend::fire(int handle, int control, int event, int eventData1, int eventData2) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    if (c->callback == nullptr) {
        return 0;
    }
    // Copy: the callback may change or discard the control.
    const CtrlCallbackPtr fn = c->callback;
    void* data = c->callbackData;
    return fn(handle, control, event, data, eventData1, eventData2);
}

int HeadlessBackend::firePanel(int handle, int event, int eventData1, int eventData2) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    if (p->callback == nullptr) {
        return 0;
    }
    const PanelCallbackPtr fn = p->callback;
    void* data = p->callbackData;
    return fn(handle, event, data, eventData1, eventData2);
}

namespace {
bool Reachable(HeadlessBackend& b, int handle, int control) {
    return b.hasControl(handle, control) && !b.isDimmed(handle, control) &&
           b.isVisible(handle, control);
}

// A click or key press on a two-state control flips it, as the Qt back end's
// buttons do (its radio buttons are not exclusive: the program keeps one of
// them on). Returns whether the control has such a state.
bool FlipForClick(ControlState& c) {
    if (c.kind != CtrlKind::Toggle && c.kind != CtrlKind::Check && c.kind != CtrlKind::Radio) {
        return false;
    }
    StoreValue(c, Value::ofInt(NonZero(c.value) ? 0 : 1));
    return true;
}

// The events after the left click: a two-state control reports its new
// value before the commit.
void FlipAndCommit(HeadlessBackend& b, int handle, int control) {
    if (b.hasControl(handle, control) && FlipForClick(b.ctrl(handle, control))) {
        b.fire(handle, control, EVENT_VAL_CHANGED);
    }
    b.fire(handle, control, EVENT_COMMIT);
}
} // namespace

bool HeadlessBackend::operate(int handle, int control, const Value& value) {
    if (!Reachable(*this, handle, control)) {
        return false;
    }
    StoreValue(ctrl(handle, control), value);
    fire(handle, control, EVENT_VAL_CHANGED);
    fire(handle, control, EVENT_COMMIT);
    return true;
}

bool HeadlessBackend::click(int handle, int control) {
    if (!Reachable(*this, handle, control)) {
        return false;
    }
    fire(handle, control, EVENT_LEFT_CLICK);
    FlipAndCommit(*this, handle, control);
    return true;
}

bool HeadlessBackend::pressKey(int handle, int control) {
    if (!Reachable(*this, handle, control)) {
        return false;
    }
    FlipAndCommit(*this, handle, control);
    return true;
}

} // namespace korven::rt::headless
