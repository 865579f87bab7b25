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

// The drawing rate a graph of the panel's designed size keeps: 50 times a
// second at most, 100 000 device pixels each time.
constexpr qint64 kReplotIntervalMs = 20;
constexpr qint64 kPixelsPerMs = 5'000;
// A change this close to the end of the interval is drawn at once: answers
// come in steps of their own jitter, the designed strip chart's interval
// (39 ms) is just under a 25-a-second loop's 40 ms.
constexpr qint64 kReplotEarlyMs = 5;
// How long after the interval a change that waits is drawn without a later
// one: longer than an answer's period (40 ms), whose own change would carry it.
constexpr qint64 kReplotSettleMs = 50;

} // namespace

qint64 ReplotIntervalMs(QSize size, double devicePixelRatio) {
    const double ratio =
        std::isfinite(devicePixelRatio) && devicePixelRatio > 0.0 ? devicePixelRatio : 1.0;
    const double pixels = std::max(0, size.width()) * ratio * std::max(0, size.height()) * ratio;
    return std::max(kReplotIntervalMs,
                    static_cast<qint64>(std::min(pixels / kPixelsPerMs, 1000.0)));
}

Graph::Graph(QCustomPlot* plot, bool stripChart) : plot_(plot), strip_(stripChart) {
    plot->setBackground(Qt::white);
    // The plot fills its whole area itself: the panel beneath it need not be
    // painted first each time it changes.
    plot->setAttribute(Qt::WA_OpaquePaintEvent);
    // Nothing is drawn on the overlay (no selection rectangle): as a buffer
    // of its own it would only be blended, empty, onto every paint.
    plot->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);
    // No legend is shown: plots need no legend items, which would be made
    // and sized again for every plot the program draws.
    plot->setAutoAddPlottableToLegend(false);
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
    setProgramRange(plot->xAxis, NumberProperty(plot, "xMin", 0.0),
                    NumberProperty(plot, "xMax", 10.0));
    setProgramRange(plot->yAxis, NumberProperty(plot, "yMin", 0.0),
                    NumberProperty(plot, "yMax", 10.0));
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
        setProgramRange(plot->xAxis, 0, pointsPerScreen_ - 1);
        rebuildStripGraphs();
    }

    // Wheel zoom and drag; a range the program did not set is the operator's.
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    plot->axisRect()->setRangeDrag(Qt::Horizontal | Qt::Vertical);
    plot->axisRect()->setRangeZoom(Qt::Horizontal | Qt::Vertical);
    for (QCPAxis* axis : {plot->xAxis, plot->yAxis}) {
        connections_.push_back(QObject::connect(
            axis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), plot, [this] {
                if (!applying_ && !operatorView_) {
                    operatorView_ = true;
                    showState();
                }
            }));
    }
    connections_.push_back(QObject::connect(plot, &QCustomPlot::mouseDoubleClick, plot,
                                            [this](QMouseEvent*) { resetView(); }));
    // What the operator changed says so on the graph, top right.
    state_ = new QCPItemText(plot);
    state_->setLayer(QStringLiteral("cursors"));
    state_->setClipToAxisRect(false);
    state_->position->setType(QCPItemPosition::ptAxisRectRatio);
    state_->position->setCoords(1.0, 0.0);
    state_->setPositionAlignment(Qt::AlignRight | Qt::AlignTop);
    state_->setPadding(QMargins(6, 2, 6, 2));
    state_->setBrush(QBrush(QColor(255, 244, 200)));
    state_->setPen(QPen(QColor(160, 120, 0)));
    state_->setColor(QColor(90, 60, 0));
    state_->setSelectable(false);
    state_->setVisible(false);
    plot->setContextMenuPolicy(Qt::CustomContextMenu);
    connections_.push_back(QObject::connect(plot, &QWidget::customContextMenuRequested, plot,
                                            [this](const QPoint& pos) { showMenu(pos); }));
}

Graph::~Graph() {
    *self_ = nullptr;
    for (const auto& c : connections_) {
        QObject::disconnect(c);
    }
} // the plot owns its plottables and items

void Graph::setProgramRange(QCPAxis* axis, double min, double max) {
    (axis == plot_->xAxis ? programX_ : programY_) = QCPRange(min, max);
    if (!operatorView_) {
        applying_ = true;
        axis->setRange(min, max);
        applying_ = false;
    }
}

void Graph::resetView() {
    if (!plot_) {
        return;
    }
    operatorView_ = false;
    applying_ = true;
    plot_->xAxis->setRange(programX_);
    plot_->yAxis->setRange(programY_);
    applying_ = false;
    showState();
    requestReplot();
}

void Graph::setPaused(bool paused) {
    replot_->paused = paused;
    showState();
    if (paused && plot_) {
        plot_->replot(); // once, to show that it is paused
    } else {
        requestReplot();
    }
}

QString Graph::stateText() const {
    QStringList parts;
    if (replot_->paused) {
        parts << QStringLiteral("PAUSED");
    }
    if (operatorView_) {
        parts << QStringLiteral("ZOOMED - double-click for the program's scale");
    }
    return parts.join(QStringLiteral("  |  "));
}

void Graph::showState() {
    if (state_) {
        const QString text = stateText();
        state_->setText(text);
        state_->setVisible(!text.isEmpty());
    }
}

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
    if (!plot_ || replot_->paused) {
        return;
    }
    if ((autoX_ || autoY_) && !operatorView_) {
        applying_ = true;
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
        applying_ = false;
    }
    ScheduleDrawing(replot_, plot_);
}

// At most one drawing per interval and graph: changes in between fold into
// one drawing, so a fast exchange never waits for paint. A drawing runs in
// the next event pass, with the window update that shows the rest of the
// same answer (numbers, status): one flush to the screen for both.
void Graph::ScheduleDrawing(const std::shared_ptr<ReplotState>& state,
                            const QPointer<QCustomPlot>& plot) {
    if (!plot || state->queued) {
        return;
    }
    const qint64 interval = ReplotIntervalMs(plot->size(), plot->devicePixelRatioF());
    const qint64 since = state->last.isValid() ? state->last.elapsed() : interval;
    if (since + kReplotEarlyMs >= interval) {
        state->queued = true;
        QTimer::singleShot(0, plot, [state, plot] {
            state->queued = false;
            state->waiting = false;
            if (!plot || state->paused) {
                return;
            }
            state->last.start();
            // The buffers are drawn now; the widget is painted with the rest
            // of the window in its next update.
            plot->replot(QCustomPlot::rpQueuedRefresh);
        });
        return;
    }
    // Too soon after the last drawing: the change is drawn with the first
    // change after the interval, which comes with the next answer of a loop.
    // A drawing timed on its own would be a window update of its own. Should
    // no change follow, the timer draws what waits one answer later.
    state->waiting = true;
    if (!state->fallback) {
        state->fallback = true;
        QTimer::singleShot(static_cast<int>(interval - since + kReplotSettleMs), plot,
                           [state, plot] {
                               state->fallback = false;
                               // Set for an earlier change, it may come before
                               // the interval since the last drawing is over.
                               if (state->waiting) {
                                   ScheduleDrawing(state, plot);
                               }
                           });
    }
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
    QCPItemRect* rect = nullptr;
    if (spareRects_.empty()) {
        rect = new QCPItemRect(plot_);
        rect->setSelectable(false);
        rect->setClipToAxisRect(true);
    } else {
        rect = spareRects_.back();
        spareRects_.pop_back();
        // Drawn above what was plotted before it, as a new one would be.
        rect->setLayer(rect->layer());
        rect->setVisible(true);
    }
    rect->topLeft->setCoords(std::min(x1, x2), std::max(y1, y2));
    rect->bottomRight->setCoords(std::max(x1, x2), std::min(y1, y2));
    rect->setPen(QPen(Rgb(color)));
    rect->setBrush(QBrush(Rgb(fillColor)));
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
        if (auto* rect = qobject_cast<QCPItemRect*>(item.item)) {
            rect->setVisible(false);
            spareRects_.push_back(rect);
        } else if (item.item) {
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
        setProgramRange(a, min, max);
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
        setProgramRange(plot_->xAxis, 0, points - 1);
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
