#include "runtime/qt/qt_internal.h"

namespace korven::rt::qt {

Graph* QtBackend::graph(int panel, int control) const {
    Control* c = findControl(panel, control);
    return c ? c->graph.get() : nullptr;
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

} // namespace korven::rt::qt
