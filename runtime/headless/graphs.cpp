// Headless back end: graphs and strip charts recorded as display lists.
#include "runtime/headless/internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korven::rt::headless {

using namespace detail;

// ---- Graphs ---------------------------------------------------------------------

namespace {
bool IsGraph(CtrlKind k) {
    return k == CtrlKind::Graph || k == CtrlKind::StripChart;
}

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

} // namespace korven::rt::headless
