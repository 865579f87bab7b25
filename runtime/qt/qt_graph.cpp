#include "runtime/qt/qt_graph.h"

#include <QTimer>

#include "runtime/engine.h"

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

namespace korven::rt::qt {

namespace {

constexpr int kMaxTraces = 64;
constexpr int kMaxPointsPerScreen = 100000;

QColor Rgb(int color) {
    return QColor((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
}

// Cursor colours: 1 the set-point, 2 and 3 the window limits.
QColor CursorColor(int index) {
    return index == 0 ? QColor(0, 110, 0) : QColor(0, 70, 200);
}

double NumberProperty(const QObject* o, const char* name, double fallback) {
    const QVariant v = o->property(name);
    bool ok = false;
    const double d = v.toDouble(&ok);
    return v.isValid() && ok && std::isfinite(d) ? d : fallback;
}

} // namespace

Graph::Graph(QCustomPlot* plot, bool stripChart) : plot_(plot), strip_(stripChart) {
    plot->setBackground(Qt::white);
    plot->setNoAntialiasingOnDrag(true);
    plot->setAntialiasedElements(QCP::aeNone);
    plot->axisRect()->setAutoMargins(QCP::msAll);
    for (QCPAxis* axis : {plot->xAxis, plot->yAxis}) {
        axis->grid()->setPen(QPen(QColor(220, 220, 220), 0, Qt::DotLine));
        axis->setBasePen(QPen(QColor(90, 90, 90)));
        axis->setTickPen(QPen(QColor(90, 90, 90)));
        axis->setSubTickPen(QPen(QColor(140, 140, 140)));
        axis->setTickLabelColor(QColor(60, 60, 60));
        axis->setLabelColor(QColor(60, 60, 60));
    }
    plot->xAxis->setRange(NumberProperty(plot, "xMin", 0.0), NumberProperty(plot, "xMax", 10.0));
    plot->yAxis->setRange(NumberProperty(plot, "yMin", 0.0), NumberProperty(plot, "yMax", 10.0));
    plot->xAxis->setLabel(plot->property("xLabel").toString());
    plot->yAxis->setLabel(plot->property("yLabel").toString());

    // Cursors sit on their own layer above every plot.
    plot->addLayer(QStringLiteral("cursors"), plot->layer(QStringLiteral("main")),
                   QCustomPlot::limAbove);
    for (int i = 0; i < 3; ++i) {
        auto* line = new QCPItemStraightLine(plot);
        line->setLayer(QStringLiteral("cursors"));
        line->setPen(QPen(CursorColor(i), 2, i == 0 ? Qt::DashLine : Qt::SolidLine));
        line->setVisible(false);
        line->setSelectable(false);
        cursors_[i].line = line;
    }
    if (strip_) {
        traces_.assign(1, {});
        plot->xAxis->setRange(0, pointsPerScreen_ - 1);
        rebuildStripGraphs();
    }
}

Graph::~Graph() = default; // the plot owns its plottables and items

QCPAxis* Graph::axisFor(int axis) const {
    if (!plot_) {
        return nullptr;
    }
    if (axis == VAL_XAXIS) {
        return plot_->xAxis;
    }
    if (axis == VAL_LEFT_YAXIS) {
        return plot_->yAxis;
    }
    return nullptr;
}

void Graph::requestReplot() {
    if (!plot_) {
        return;
    }
    if (autoX_ || autoY_) {
        bool first = true;
        for (int i = 0; i < plot_->plottableCount(); ++i) {
            QCPAbstractPlottable* p = plot_->plottable(i);
            if (autoX_) {
                p->rescaleKeyAxis(!first);
            }
            if (autoY_) {
                p->rescaleValueAxis(!first);
            }
            first = false;
        }
    }
    // At most one drawing every 20 ms per graph: requests in between fold
    // into one drawing at its end, so a fast exchange never waits for paint.
    if (replot_->pending) {
        return;
    }
    const qint64 since = replot_->last.isValid() ? replot_->last.elapsed() : kReplotIntervalMs;
    const int wait = since >= kReplotIntervalMs ? 0 : static_cast<int>(kReplotIntervalMs - since);
    replot_->pending = true;
    QPointer<QCustomPlot> plot = plot_;
    QTimer::singleShot(wait, plot, [state = replot_, plot] {
        state->pending = false;
        if (!plot) {
            return;
        }
        state->last.start();
        plot->replot(QCustomPlot::rpImmediateRefresh);
    });
}

int Graph::plotXY(std::span<const double> x, std::span<const double> y, int plotStyle,
                  int pointStyle, int lineStyle, int color) {
    if (!plot_ || x.size() != y.size()) {
        return -1;
    }
    auto* curve = new QCPCurve(plot_->xAxis, plot_->yAxis);
    QVector<double> keys(x.begin(), x.end());
    QVector<double> values(y.begin(), y.end());
    curve->setData(keys, values);
    QPen pen(Rgb(color));
    pen.setWidth(plotStyle == VAL_FAT_LINE ? 2 : 1);
    pen.setStyle(lineStyle == VAL_SOLID ? Qt::SolidLine : Qt::DashLine);
    curve->setPen(pen);
    curve->setLineStyle(QCPCurve::lsLine);
    if (pointStyle != VAL_NO_POINT) {
        curve->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, Rgb(color), 4));
    }
    curve->setSelectable(QCP::stNone);
    const int handle = nextHandle_++;
    items_[handle] = Item{curve, nullptr};
    requestReplot();
    return handle;
}

int Graph::plotRectangle(double x1, double y1, double x2, double y2, int color, int fillColor) {
    if (!plot_) {
        return -1;
    }
    auto* rect = new QCPItemRect(plot_);
    rect->topLeft->setCoords(std::min(x1, x2), std::max(y1, y2));
    rect->bottomRight->setCoords(std::max(x1, x2), std::min(y1, y2));
    rect->setPen(QPen(Rgb(color)));
    rect->setBrush(QBrush(Rgb(fillColor)));
    rect->setSelectable(false);
    rect->setClipToAxisRect(true);
    const int handle = nextHandle_++;
    items_[handle] = Item{nullptr, rect};
    requestReplot();
    return handle;
}

int Graph::deletePlot(int handle, int refresh) {
    if (!plot_) {
        return -1;
    }
    auto remove = [this](const Item& item) {
        if (item.plottable) {
            plot_->removePlottable(item.plottable);
        }
        if (item.item) {
            plot_->removeItem(item.item);
        }
    };
    if (handle == ALL_PLOTS) {
        for (const auto& [h, item] : items_) {
            remove(item);
        }
        items_.clear();
    } else {
        auto it = items_.find(handle);
        if (it == items_.end()) {
            return -1;
        }
        remove(it->second);
        items_.erase(it);
    }
    if (refresh != VAL_NO_DRAW) {
        requestReplot();
    }
    return 0;
}

int Graph::setCursor(int cursor, double x, double y) {
    if (!plot_ || cursor < 1 || cursor > 3 || !std::isfinite(x) || !std::isfinite(y)) {
        return -1;
    }
    Cursor& c = cursors_[cursor - 1];
    c.placed = true;
    c.x = x;
    c.y = y;
    c.line->point1->setCoords(x, 0.0);
    c.line->point2->setCoords(x, 1.0);
    c.line->setVisible(true);
    requestReplot();
    return 0;
}

int Graph::setAxis(int axis, int mode, double min, double max) {
    QCPAxis* a = axisFor(axis);
    if (!a) {
        return -1;
    }
    bool& autoFlag = axis == VAL_XAXIS ? autoX_ : autoY_;
    if (mode == VAL_MANUAL) {
        if (!std::isfinite(min) || !std::isfinite(max) || !(min < max)) {
            return -1;
        }
        autoFlag = false;
        a->setRange(min, max);
    } else if (mode == VAL_AUTOSCALE) {
        autoFlag = true;
    } else {
        return -1;
    }
    requestReplot();
    return 0;
}

int Graph::setTraceColor(int trace, int color) {
    if (trace < 1 || trace > kMaxTraces) {
        return -1;
    }
    traceColors_[trace] = color;
    if (strip_ && plot_ && trace <= plot_->graphCount()) {
        plot_->graph(trace - 1)->setPen(QPen(Rgb(color), 1));
        requestReplot();
    }
    return 0;
}

int Graph::traceColor(int trace) const {
    auto it = traceColors_.find(trace);
    return it == traceColors_.end() ? 0 : it->second;
}

int Graph::setNumTraces(int traces) {
    if (traces < 1 || traces > kMaxTraces) {
        return -1;
    }
    if (traces != numTraces_) {
        numTraces_ = traces;
        traces_.assign(static_cast<std::size_t>(traces), {});
        rebuildStripGraphs();
        requestReplot();
    }
    return 0;
}

int Graph::setPointsPerScreen(int points) {
    if (points < 3 || points > kMaxPointsPerScreen) {
        return -1;
    }
    pointsPerScreen_ = points;
    for (auto& t : traces_) {
        while (t.size() > static_cast<std::size_t>(points)) {
            t.pop_front();
        }
    }
    if (plot_ && strip_) {
        plot_->xAxis->setRange(0, points - 1);
        drawStrip();
    }
    return 0;
}

void Graph::rebuildStripGraphs() {
    if (!plot_) {
        return;
    }
    plot_->clearGraphs();
    for (int t = 1; t <= numTraces_; ++t) {
        QCPGraph* g = plot_->addGraph();
        g->setPen(QPen(Rgb(traceColor(t)), 1));
        g->setSelectable(QCP::stNone);
    }
}

int Graph::plotStrip(std::span<const double> values) {
    if (!strip_) {
        return -1;
    }
    const std::size_t n = static_cast<std::size_t>(numTraces_);
    const std::size_t keep = static_cast<std::size_t>(pointsPerScreen_);
    for (std::size_t k = 0; k < values.size(); ++k) {
        auto& t = traces_[k % n];
        t.push_back(values[k]);
        if (t.size() > keep) {
            t.pop_front();
        }
    }
    drawStrip();
    return 0;
}

void Graph::drawStrip() {
    if (!plot_) {
        return;
    }
    // The newest value of each trace is at the right edge of the screen.
    for (int t = 0; t < numTraces_ && t < plot_->graphCount(); ++t) {
        const auto& data = traces_[static_cast<std::size_t>(t)];
        QVector<double> keys, vals;
        keys.reserve(static_cast<qsizetype>(data.size()));
        vals.reserve(static_cast<qsizetype>(data.size()));
        const double first =
            static_cast<double>(pointsPerScreen_) - 1.0 - (static_cast<double>(data.size()) - 1.0);
        for (std::size_t i = 0; i < data.size(); ++i) {
            keys.push_back(first + static_cast<double>(i));
            vals.push_back(data[i]);
        }
        plot_->graph(t)->setData(keys, vals, true);
    }
    requestReplot();
}

int Graph::rectangleCount() const {
    return static_cast<int>(std::count_if(items_.begin(), items_.end(),
                                          [](const auto& e) { return e.second.item != nullptr; }));
}

int Graph::curveCount() const {
    return static_cast<int>(std::count_if(
        items_.begin(), items_.end(), [](const auto& e) { return e.second.plottable != nullptr; }));
}

bool Graph::cursorShown(int cursor) const {
    if (cursor < 1 || cursor > 3) {
        return false;
    }
    const Cursor& c = cursors_[cursor - 1];
    return c.placed && c.line && c.line->visible();
}

double Graph::cursorX(int cursor) const {
    return cursor >= 1 && cursor <= 3 ? cursors_[cursor - 1].x : 0.0;
}

double Graph::cursorY(int cursor) const {
    return cursor >= 1 && cursor <= 3 ? cursors_[cursor - 1].y : 0.0;
}

double Graph::axisMin(int axis) const {
    QCPAxis* a = axisFor(axis);
    return a ? a->range().lower : 0.0;
}

double Graph::axisMax(int axis) const {
    QCPAxis* a = axisFor(axis);
    return a ? a->range().upper : 0.0;
}

} // namespace korven::rt::qt
