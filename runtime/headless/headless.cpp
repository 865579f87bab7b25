// The headless back end: in-memory panels, recorded graphs, a virtual clock
// and serial lines to in-process peers.
#include "runtime/headless/headless.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>

namespace korven::rt::headless {

namespace {

// Error codes of the user-interface calls.
constexpr int kUiFailed = -1;
constexpr int kUiFileNotFound = -12;
constexpr int kUiNoRegistry = -13;
constexpr int kUiResourceNotFound = -14;
constexpr int kUiBadPanel = -42;
constexpr int kUiBadControl = -43;
constexpr int kUiBadControlKind = -44;
constexpr int kUiBadArgument = -45;

constexpr int kMinPort = 1;
constexpr int kMaxPort = 255;
constexpr int kDefaultQueueSize = 512;
constexpr double kDefaultComTimeout = 2.0;
constexpr int kDefaultPointsPerScreen = 100;
constexpr int kFirstRuntimeControlId = 1000;

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

bool IsGraph(CtrlKind k) {
    return k == CtrlKind::Graph || k == CtrlKind::StripChart;
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

void StoreValue(ControlState& c, const Value& v) {
    c.value = Coerce(c, v);
    if (c.kind == CtrlKind::TextBox) {
        c.lines = SplitLines(c.value.asText());
    }
}

} // namespace

// ---- Serial port state ------------------------------------------------------

struct HeadlessBackend::Impl {
    struct Port;

    class Link : public PeerLink {
      public:
        Link(HeadlessBackend& owner, int port) : owner_(owner), port_(port) {}
        double now() const override { return owner_.now_; }
        double byteTime() const override { return owner_.options_.byteTime; }
        void send(double startTime, std::span<const std::uint8_t> bytes) override {
            owner_.injectToHost(port_, startTime, bytes);
        }

      private:
        HeadlessBackend& owner_;
        int port_;
    };

    struct Timed {
        double time;
        std::uint8_t byte;
    };

    struct Port {
        Port(HeadlessBackend& owner, int number) : link(owner, number) {}
        Link link;
        SerialPeer* peer = nullptr;
        int openError = 0;
        bool open = false;
        ComSettings settings;
        double timeout = kDefaultComTimeout;
        int ctsMode = 0;
        // host -> peer: bytes with the time they have fully arrived
        std::deque<Timed> toPeer;
        double outLineFree = 0.0;
        // peer -> host
        std::deque<Timed> toHost;
        double inLineFree = 0.0;
        std::deque<std::uint8_t> inQ;
        // receive notification
        int mask = 0;
        int notifyCount = 1;
        int eventChar = 0;
        ComCallbackPtr fn = nullptr;
        void* data = nullptr;
        bool running = false;
        bool newBytes = false; // bytes arrived since the last LWRS_RECEIVE
        bool charSeen = false; // event character arrived
        bool txEmpty = false;  // output queue ran empty
        int receiveCalls = 0;
        std::vector<NotificationCall> calls;
        std::vector<HostWrite> writes;
        int opens = 0, closes = 0;

        std::size_t inCapacity() const {
            return static_cast<std::size_t>(settings.inputQueueSize > 0 ? settings.inputQueueSize
                                                                        : kDefaultQueueSize);
        }
        std::size_t outCapacity() const {
            return static_cast<std::size_t>(settings.outputQueueSize > 0 ? settings.outputQueueSize
                                                                         : kDefaultQueueSize);
        }
        void clearLine() {
            toPeer.clear();
            toHost.clear();
            inQ.clear();
            newBytes = charSeen = txEmpty = false;
        }
    };

    struct Scheduled {
        double time;
        std::uint64_t seq;
        std::function<void()> action;
    };

    std::map<int, std::unique_ptr<Port>> ports;
    std::map<int, PanelState> panels;
    int nextPanel = 1;
    int nextControlId = kFirstRuntimeControlId;
    int createCounter = 0;
    std::map<std::string, std::shared_ptr<const Layout>> layouts;
    std::vector<Scheduled> schedule;
    std::uint64_t seq = 0;
    std::deque<FileDialogResult> dialogResults;
};

namespace {
using Port = HeadlessBackend::Impl::Port;
}

HeadlessBackend::HeadlessBackend(HeadlessOptions options)
    : impl_(std::make_unique<Impl>()), options_(std::move(options)) {}

HeadlessBackend::~HeadlessBackend() {
    // Never leave a dangling back end installed.
    if (CurrentBackend() == this) {
        SetBackend(nullptr);
    }
}

// ---- Virtual clock and line delivery ----------------------------------------

namespace {

Port* FindPort(HeadlessBackend::Impl& impl, int port) {
    auto it = impl.ports.find(port);
    return it == impl.ports.end() ? nullptr : it->second.get();
}

bool ValidPort(int port) {
    return port >= kMinPort && port <= kMaxPort;
}

// Hands the bytes that have fully crossed the line by time t to their
// receivers: host bytes to the peer (byte by byte, so that a peer sees the
// exact time each frame ends), peer bytes into the input queue.
void DeliverPort(Port& p, double t) {
    while (!p.toPeer.empty() && p.toPeer.front().time <= t) {
        const double at = p.toPeer.front().time;
        std::vector<std::uint8_t> piece;
        while (!p.toPeer.empty() && p.toPeer.front().time == at) {
            piece.push_back(p.toPeer.front().byte);
            p.toPeer.pop_front();
        }
        if (p.toPeer.empty()) {
            p.txEmpty = true;
        }
        if (p.peer != nullptr) {
            p.peer->onReceive(at, piece, p.link);
        }
    }
    while (!p.toHost.empty() && p.toHost.front().time <= t) {
        const std::uint8_t b = p.toHost.front().byte;
        p.toHost.pop_front();
        if (p.inQ.size() >= p.inCapacity()) {
            continue; // input queue full: the byte is lost, as on a real port
        }
        p.inQ.push_back(b);
        p.newBytes = true;
        if (b == static_cast<std::uint8_t>(p.eventChar & 0xFF)) {
            p.charSeen = true;
        }
    }
}

// The events the port's notification would be called with now.
int DueEvents(const Port& p) {
    if (!p.open || p.fn == nullptr || p.mask == 0 || p.running) {
        return 0;
    }
    int events = 0;
    if ((p.mask & LWRS_RECEIVE) && p.newBytes &&
        p.inQ.size() >= static_cast<std::size_t>(std::max(1, p.notifyCount))) {
        events |= LWRS_RECEIVE;
    }
    if ((p.mask & LWRS_RXFLAG) && p.charSeen) {
        events |= LWRS_RXFLAG;
    }
    if ((p.mask & LWRS_TXEMPTY) && p.txEmpty) {
        events |= LWRS_TXEMPTY;
    }
    return events;
}

} // namespace

void HeadlessBackend::advance(double seconds) {
    if (seconds > 0.0) {
        now_ += seconds;
    }
    for (auto& [number, port] : impl_->ports) {
        DeliverPort(*port, now_);
    }
}

double HeadlessBackend::timer() {
    const double t = now_;
    advance(options_.timerTick);
    return t;
}

void HeadlessBackend::delay(double seconds) {
    advance(seconds);
}

std::string HeadlessBackend::projectDir() {
    return options_.projectDir;
}

int HeadlessBackend::initRuntime() {
    return failInit_ ? 0 : 1;
}

// ---- Scheduling and events -------------------------------------------------------

void HeadlessBackend::at(double t, std::function<void()> action) {
    impl_->schedule.push_back({t, impl_->seq++, std::move(action)});
}

int HeadlessBackend::processSystemEvents() {
    ++passes_;
    advance(options_.passStep);

    // Actions that are due, oldest first; each is taken off the queue before
    // it runs, because it may process events itself. Actions scheduled
    // during this pass wait for the next one.
    const std::uint64_t limit = impl_->seq;
    for (;;) {
        auto& s = impl_->schedule;
        auto best = s.end();
        for (auto it = s.begin(); it != s.end(); ++it) {
            if (it->time <= now_ && it->seq < limit &&
                (best == s.end() || it->time < best->time ||
                 (it->time == best->time && it->seq < best->seq))) {
                best = it;
            }
        }
        if (best == s.end()) {
            break;
        }
        std::function<void()> action = std::move(best->action);
        s.erase(best);
        action();
    }

    // Serial notifications, one call per port with the events OR-ed.
    for (auto& [number, port] : impl_->ports) {
        Port& p = *port;
        const int events = DueEvents(p);
        if (events == 0) {
            continue;
        }
        if (events & LWRS_RECEIVE) {
            p.newBytes = false;
        }
        if (events & LWRS_RXFLAG) {
            p.charSeen = false;
        }
        if (events & LWRS_TXEMPTY) {
            p.txEmpty = false;
        }
        p.running = true;
        p.calls.push_back({now_, events});
        if (events & LWRS_RECEIVE) {
            ++p.receiveCalls;
        }
        p.fn(number, events, p.data);
        p.running = false;
    }
    return 0;
}

int HeadlessBackend::runUserInterface() {
    quit_ = false;
    const double start = now_;
    for (;;) {
        if (quit_) {
            return quitCode_;
        }
        if (now_ - start >= loopLimit_) {
            return -1;
        }
        bool lineBusy = false;
        bool notifyDue = false;
        for (auto& [number, port] : impl_->ports) {
            lineBusy = lineBusy || !port->toPeer.empty() || !port->toHost.empty();
            notifyDue = notifyDue || DueEvents(*port) != 0;
        }
        if (!lineBusy && !notifyDue) {
            if (impl_->schedule.empty()) {
                return -1;
            }
            // Idle: nothing can happen before the next scheduled action.
            double next = impl_->schedule.front().time;
            for (const auto& s : impl_->schedule) {
                next = std::min(next, s.time);
            }
            if (next - start > loopLimit_) {
                now_ = std::max(now_, start + loopLimit_);
                return -1;
            }
            if (next - options_.passStep > now_) {
                now_ = next - options_.passStep;
            }
        }
        processSystemEvents();
    }
}

int HeadlessBackend::quitUserInterface(int code) {
    quit_ = true;
    quitCode_ = code;
    return 0;
}

// ---- Panels ---------------------------------------------------------------------

int HeadlessBackend::loadPanel(int parentPanel, const std::string& fileName, int resourceId) {
    auto failing = std::find(failResources_.begin(), failResources_.end(), resourceId);
    if (failing != failResources_.end()) {
        failResources_.erase(failing);
        return kUiFailed;
    }
    if (parentPanel != 0 && panel(parentPanel) == nullptr) {
        return kUiBadPanel;
    }
    const LayoutRegistry* reg = CurrentLayoutRegistry();
    if (reg == nullptr) {
        return kUiNoRegistry;
    }
    std::filesystem::path path(fileName);
    if (!path.is_absolute()) {
        path = std::filesystem::path(options_.projectDir) / path;
    }
    const std::string key = path.lexically_normal().string();
    std::shared_ptr<const Layout> layout;
    auto cached = impl_->layouts.find(key);
    if (cached != impl_->layouts.end()) {
        layout = cached->second;
    } else {
        std::string error;
        std::optional<Layout> read = ReadLayoutFile(key, &error);
        if (!read) {
            std::fprintf(stderr, "LoadPanel: %s\n", error.c_str());
            return kUiFileNotFound;
        }
        layout = std::make_shared<const Layout>(std::move(*read));
        impl_->layouts[key] = layout;
    }
    const LayoutPanel* lp = layout->panel(resourceId);
    if (lp == nullptr) {
        return kUiResourceNotFound;
    }

    PanelState ps;
    ps.handle = impl_->nextPanel++;
    ps.resourceId = resourceId;
    ps.name = lp->name;
    ps.title = lp->title;
    ps.visible = false;
    if (!lp->callbackName.empty() && reg->panelCallback != nullptr) {
        ps.callback = reg->panelCallback(lp->callbackName);
        if (ps.callback == nullptr) {
            std::fprintf(stderr, "LoadPanel: panel %s names unknown callback %s\n",
                         lp->name.c_str(), lp->callbackName.c_str());
        }
    }
    for (const LayoutControl& lc : lp->controls) {
        ControlState c;
        c.id = lc.id;
        c.parentId = lc.parentId;
        c.name = lc.name;
        c.kind = lc.kind;
        c.valueType = lc.valueType;
        c.hasRange = lc.hasRange;
        c.minimum = lc.minimum;
        c.maximum = lc.maximum;
        c.dimmed = lc.dimmed;
        c.visible = lc.visible;
        c.label = lc.label;
        c.onText = lc.onText;
        c.offText = lc.offText;
        c.items = lc.items;
        c.valueOffset = lc.valueOffset;
        c.geometry = lc.geometry;
        c.readOnly = lc.readOnly;
        StoreValue(c, lc.initial);
        if (!lc.callbackName.empty() && reg->ctrlCallback != nullptr) {
            c.callback = reg->ctrlCallback(lc.callbackName);
            if (c.callback == nullptr) {
                std::fprintf(stderr, "LoadPanel: control %s names unknown callback %s\n",
                             lc.name.c_str(), lc.callbackName.c_str());
            }
        }
        ps.controls[c.id] = std::move(c);
    }
    const int handle = ps.handle;
    impl_->panels[handle] = std::move(ps);
    return handle;
}

int HeadlessBackend::displayPanel(int handle) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    p->visible = true;
    return 0;
}

int HeadlessBackend::hidePanel(int handle) {
    PanelState* p = panel(handle);
    if (p == nullptr) {
        return kUiBadPanel;
    }
    p->visible = false;
    return 0;
}

int HeadlessBackend::discardPanel(int handle) {
    return impl_->panels.erase(handle) == 1 ? 0 : kUiBadPanel;
}

PanelState* HeadlessBackend::panel(int handle) {
    auto it = impl_->panels.find(handle);
    return it == impl_->panels.end() ? nullptr : &it->second;
}

int HeadlessBackend::panelHandle(int resourceId) const {
    for (const auto& [handle, p] : impl_->panels) {
        if (p.resourceId == resourceId) {
            return handle;
        }
    }
    return -1;
}

bool HeadlessBackend::panelVisible(int handle) const {
    auto it = impl_->panels.find(handle);
    return it != impl_->panels.end() && it->second.visible;
}

bool HeadlessBackend::hasControl(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    return it != impl_->panels.end() && it->second.controls.count(control) == 1;
}

ControlState& HeadlessBackend::ctrl(int handle, int control) {
    PanelState* p = panel(handle);
    if (p != nullptr) {
        auto it = p->controls.find(control);
        if (it != p->controls.end()) {
            return it->second;
        }
    }
    std::fprintf(stderr, "headless: no control %d on panel %d\n", control, handle);
    std::abort();
}

namespace {
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

// Follows the chain of containers; `test` says whether one link blocks.
template <class Test> bool AnyInChain(const PanelState& p, int control, Test test) {
    int id = control;
    for (int depth = 0; depth < 64 && id != 0; ++depth) {
        auto it = p.controls.find(id);
        if (it == p.controls.end()) {
            return false;
        }
        if (test(it->second)) {
            return true;
        }
        id = it->second.parentId;
    }
    return false;
}
} // namespace

bool HeadlessBackend::isDimmed(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end()) {
        return false;
    }
    return AnyInChain(it->second, control, [](const ControlState& c) { return c.dimmed; });
}

bool HeadlessBackend::isVisible(int handle, int control) const {
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end() || it->second.controls.count(control) == 0) {
        return false;
    }
    return !AnyInChain(it->second, control, [](const ControlState& c) { return !c.visible; });
}

std::string HeadlessBackend::text(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asText();
}

std::int64_t HeadlessBackend::intValue(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asInt();
}

double HeadlessBackend::doubleValue(int handle, int control) const {
    auto& self = const_cast<HeadlessBackend&>(*this);
    return self.ctrl(handle, control).value.asDouble();
}

std::vector<const ControlState*> HeadlessBackend::runtimeControls(int handle) const {
    std::vector<const ControlState*> out;
    auto it = impl_->panels.find(handle);
    if (it == impl_->panels.end()) {
        return out;
    }
    for (const auto& [id, c] : it->second.controls) {
        if (c.createdAtRunTime) {
            out.push_back(&c);
        }
    }
    std::sort(out.begin(), out.end(), [](const ControlState* a, const ControlState* b) {
        return a->createOrder < b->createOrder;
    });
    return out;
}

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

// ---- Graphs ---------------------------------------------------------------------

namespace {
GraphState* FindGraph(HeadlessBackend::Impl& impl, int handle, int control, int& rc) {
    ControlState* c = Find(impl, handle, control, rc);
    if (c == nullptr) {
        return nullptr;
    }
    if (!IsGraph(c->kind)) {
        rc = kUiBadControlKind;
        return nullptr;
    }
    return &c->graph;
}
} // namespace

int HeadlessBackend::plotXY(int handle, int control, std::span<const double> x,
                            std::span<const double> y, int plotStyle, int pointStyle, int lineStyle,
                            int pointFrequency, int color) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    if (x.size() != y.size()) {
        return kUiBadArgument;
    }
    PlotItem item;
    item.kind = PlotItem::Kind::XY;
    item.handle = g->nextHandle++;
    item.x.assign(x.begin(), x.end());
    item.y.assign(y.begin(), y.end());
    item.plotStyle = plotStyle;
    item.pointStyle = pointStyle;
    item.lineStyle = lineStyle;
    item.pointFrequency = pointFrequency;
    item.color = color;
    g->plots.push_back(std::move(item));
    return g->plots.back().handle;
}

int HeadlessBackend::plotRectangle(int handle, int control, double x1, double y1, double x2,
                                   double y2, int color, int fillColor) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    PlotItem item;
    item.kind = PlotItem::Kind::Rectangle;
    item.handle = g->nextHandle++;
    item.x1 = x1;
    item.y1 = y1;
    item.x2 = x2;
    item.y2 = y2;
    item.color = color;
    item.fillColor = fillColor;
    g->plots.push_back(std::move(item));
    return g->plots.back().handle;
}

int HeadlessBackend::deleteGraphPlot(int handle, int control, int plotHandle, int refresh) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    ++g->deleteCalls;
    g->lastDeleteRefresh = refresh;
    if (plotHandle == ALL_PLOTS) {
        g->plots.clear();
        return 0;
    }
    auto it = std::find_if(g->plots.begin(), g->plots.end(),
                           [&](const PlotItem& p) { return p.handle == plotHandle; });
    if (it == g->plots.end()) {
        return kUiBadArgument;
    }
    g->plots.erase(it);
    return 0;
}

int HeadlessBackend::setGraphCursor(int handle, int control, int cursor, double x, double y) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    if (cursor < 1 || cursor > 3) {
        return kUiBadArgument;
    }
    CursorState& cs = g->cursors[cursor - 1];
    cs.placed = true;
    cs.x = x;
    cs.y = y;
    return 0;
}

int HeadlessBackend::setAxisScalingMode(int handle, int control, int axis, int mode, double min,
                                        double max) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    if ((axis != VAL_XAXIS && axis != VAL_LEFT_YAXIS) ||
        (mode != VAL_MANUAL && mode != VAL_AUTOSCALE)) {
        return kUiBadArgument;
    }
    AxisState& a = axis == VAL_XAXIS ? g->xAxis : g->yAxis;
    a.mode = mode;
    a.min = min;
    a.max = max;
    ++a.setCount;
    return 0;
}

int HeadlessBackend::setTraceAttribute(int handle, int control, int trace, int attribute,
                                       int value) {
    int rc = 0;
    GraphState* g = FindGraph(*impl_, handle, control, rc);
    if (g == nullptr) {
        return rc;
    }
    if (trace < 1) {
        return kUiBadArgument;
    }
    if (attribute == ATTR_TRACE_COLOR) {
        g->traceColors[trace] = value;
    }
    return 0;
}

int HeadlessBackend::plotStripChart(int handle, int control, std::span<const double> values) {
    int rc = 0;
    ControlState* c = Find(*impl_, handle, control, rc);
    if (c == nullptr) {
        return rc;
    }
    if (!IsGraph(c->kind)) {
        return kUiBadControlKind;
    }
    Value v;
    getCtrlAttribute(handle, control, ATTR_NUM_TRACES, v);
    const auto traces = static_cast<std::size_t>(std::clamp<std::int64_t>(v.asInt(), 1, 64));
    getCtrlAttribute(handle, control, ATTR_POINTS_PER_SCREEN, v);
    const auto pps = static_cast<std::size_t>(std::clamp<std::int64_t>(v.asInt(), 1, 100000));
    GraphState& g = c->graph;
    ++g.stripCalls;
    g.lastStripData.assign(values.begin(), values.end());
    if (g.traces.size() != traces) {
        g.traces.resize(traces);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        g.traces[i % traces].push_back(values[i]);
    }
    for (auto& t : g.traces) {
        while (t.size() > pps) {
            t.pop_front();
        }
    }
    return 0;
}

// ---- Serial ---------------------------------------------------------------------

namespace {
Port& EnsurePort(HeadlessBackend& b, HeadlessBackend::Impl& impl, int number) {
    auto& slot = impl.ports[number];
    if (!slot) {
        slot = std::make_unique<Port>(b, number);
    }
    return *slot;
}

// The open port with this number, or the error code for the call.
Port* OpenPort(HeadlessBackend::Impl& impl, int number, int& rc) {
    if (!ValidPort(number)) {
        rc = kComInvalidPortNumber;
        return nullptr;
    }
    Port* p = FindPort(impl, number);
    if (p == nullptr || !p->open) {
        rc = kComPortNotOpen;
        return nullptr;
    }
    rc = 0;
    return p;
}
} // namespace

void HeadlessBackend::attachPeer(int port, SerialPeer* peer) {
    if (!ValidPort(port)) {
        return;
    }
    EnsurePort(*this, *impl_, port).peer = peer;
}

void HeadlessBackend::setOpenError(int port, int code) {
    if (!ValidPort(port)) {
        return;
    }
    EnsurePort(*this, *impl_, port).openError = code;
}

bool HeadlessBackend::portOpen(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr && p->open;
}

const std::vector<HostWrite>& HeadlessBackend::writes(int port) const {
    static const std::vector<HostWrite> kNone;
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->writes : kNone;
}

void HeadlessBackend::clearWrites(int port) {
    if (Port* p = FindPort(*impl_, port)) {
        p->writes.clear();
    }
}

int HeadlessBackend::inputQueueLength(int port) {
    Port* p = FindPort(*impl_, port);
    if (p == nullptr) {
        return 0;
    }
    advance(0.0);
    return static_cast<int>(p->inQ.size());
}

void HeadlessBackend::injectToHost(int port, double startTime,
                                   std::span<const std::uint8_t> bytes) {
    Port* p = FindPort(*impl_, port);
    if (p == nullptr || !p->open) {
        return; // nobody is listening on a closed port
    }
    const double base = std::max(startTime, p->inLineFree);
    const double bt = options_.byteTime;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        p->toHost.push_back({base + static_cast<double>(k + 1) * bt, bytes[k]});
    }
    p->inLineFree = base + static_cast<double>(bytes.size()) * bt;
}

bool HeadlessBackend::notificationInstalled(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr && p->open && p->mask != 0 && p->fn != nullptr;
}

int HeadlessBackend::notificationMask(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->mask : 0;
}

int HeadlessBackend::notificationCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->notifyCount : 0;
}

int HeadlessBackend::notificationCalls(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->receiveCalls : 0;
}

const std::vector<NotificationCall>& HeadlessBackend::notifications(int port) const {
    static const std::vector<NotificationCall> kNone;
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->calls : kNone;
}

double HeadlessBackend::comTimeout(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->timeout : kDefaultComTimeout;
}

ComSettings HeadlessBackend::comSettings(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->settings : ComSettings{};
}

int HeadlessBackend::openCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->opens : 0;
}

int HeadlessBackend::closeCount(int port) const {
    const Port* p = FindPort(*impl_, port);
    return p != nullptr ? p->closes : 0;
}

int HeadlessBackend::openCom(int port, const ComSettings& settings) {
    if (!ValidPort(port)) {
        return kComInvalidPortNumber;
    }
    Port& p = EnsurePort(*this, *impl_, port);
    if (p.openError != 0) {
        return p.openError;
    }
    if (p.peer == nullptr) {
        return kComNoSerialPort;
    }
    if (settings.baudRate <= 0 || settings.parity < 0 || settings.parity > 4 ||
        settings.dataBits < 5 || settings.dataBits > 8 || settings.stopBits < 1 ||
        settings.stopBits > 2 || settings.inputQueueSize < 0 || settings.outputQueueSize < 0) {
        return kComInvalidParameter;
    }
    // Opening again re-opens: the old queues and notification go.
    p.clearLine();
    p.mask = 0;
    p.fn = nullptr;
    p.data = nullptr;
    p.open = true;
    p.settings = settings;
    p.timeout = kDefaultComTimeout;
    p.ctsMode = 0;
    p.outLineFree = p.inLineFree = now_;
    ++p.opens;
    p.peer->onHostOpen(now_);
    return 0;
}

int HeadlessBackend::closeCom(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    p->clearLine();
    p->mask = 0;
    p->fn = nullptr;
    p->data = nullptr;
    p->open = false;
    ++p->closes;
    if (p->peer != nullptr) {
        p->peer->onHostClose(now_);
    }
    return 0;
}

int HeadlessBackend::setComTime(int port, double seconds) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
        return kComInvalidParameter;
    }
    p->timeout = seconds;
    return 0;
}

int HeadlessBackend::setCTSMode(int port, int mode) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    p->ctsMode = mode;
    return 0;
}

int HeadlessBackend::installComCallback(int port, int eventMask, int notifyCount, int eventChar,
                                        ComCallbackPtr fn, void* data) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    if (eventMask == 0 || fn == nullptr) {
        p->mask = 0;
        p->fn = nullptr;
        p->data = nullptr;
    } else {
        p->mask = eventMask;
        p->fn = fn;
        p->data = data;
    }
    p->notifyCount = std::max(1, notifyCount);
    p->eventChar = eventChar;
    // Only what happens from now on is reported.
    p->charSeen = false;
    p->txEmpty = false;
    return 0;
}

int HeadlessBackend::flushInQ(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    p->inQ.clear();
    p->newBytes = false;
    p->charSeen = false;
    return 0;
}

int HeadlessBackend::flushOutQ(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    p->toPeer.clear();
    p->outLineFree = now_;
    return 0;
}

int HeadlessBackend::comWrt(int port, std::span<const std::uint8_t> bytes) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    const std::size_t room =
        p->outCapacity() > p->toPeer.size() ? p->outCapacity() - p->toPeer.size() : 0;
    const std::size_t n = std::min(room, bytes.size());
    if (n == 0 && !bytes.empty()) {
        return kComTimeout;
    }
    HostWrite w;
    w.time = now_;
    w.bytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    p->writes.push_back(std::move(w));
    const double bt = options_.byteTime;
    double t = std::max(now_, p->outLineFree);
    for (std::size_t k = 0; k < n; ++k) {
        t += bt;
        p->toPeer.push_back({t, bytes[k]});
    }
    p->outLineFree = t;
    if (n > 0) {
        p->txEmpty = false;
    }
    advance(0.0); // an instant line delivers at once
    return static_cast<int>(n);
}

int HeadlessBackend::comRd(int port, std::span<std::uint8_t> buffer) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    const std::size_t want = buffer.size();
    const double deadline = now_ + p->timeout;
    // Wait (without events) for the bytes still on the line, jumping from
    // one arrival to the next, until enough are here or the time is up.
    while (p->inQ.size() < want && p->open) {
        double next = std::numeric_limits<double>::infinity();
        if (!p->toPeer.empty()) {
            next = std::min(next, p->toPeer.front().time);
        }
        if (!p->toHost.empty()) {
            next = std::min(next, p->toHost.front().time);
        }
        if (next > deadline) {
            if (deadline > now_) {
                advance(deadline - now_);
            }
            break;
        }
        if (next > now_) {
            advance(next - now_);
        } else {
            advance(0.0);
        }
    }
    const std::size_t n = std::min(want, p->inQ.size());
    for (std::size_t k = 0; k < n; ++k) {
        buffer[k] = p->inQ.front();
        p->inQ.pop_front();
    }
    return static_cast<int>(n);
}

int HeadlessBackend::getInQLen(int port) {
    int rc = 0;
    Port* p = OpenPort(*impl_, port, rc);
    if (p == nullptr) {
        return rc;
    }
    advance(0.0);
    return static_cast<int>(p->inQ.size());
}

// ---- File dialogs ---------------------------------------------------------------

void HeadlessBackend::queueFileDialog(FileDialogResult result) {
    impl_->dialogResults.push_back(std::move(result));
}

FileDialogResult HeadlessBackend::fileSelectPopup(const FileDialogRequest& request) {
    dialogs_.push_back(request);
    if (impl_->dialogResults.empty()) {
        return FileDialogResult{VAL_NO_FILE_SELECTED, {}};
    }
    FileDialogResult r = std::move(impl_->dialogResults.front());
    impl_->dialogResults.pop_front();
    return r;
}

// ---- ScopedHeadless -------------------------------------------------------------

ScopedHeadless::ScopedHeadless(HeadlessOptions options) : bed_(std::move(options)) {
    previous_ = SetBackend(&bed_);
}

ScopedHeadless::~ScopedHeadless() {
    SetBackend(previous_);
}

} // namespace korven::rt::headless
