// A graph control drawn with QCustomPlot: XY plots, filled rectangles,
// three cursors, manual or automatic axes, and the strip-chart mode with a
// number of traces scrolling from the right.
#pragma once

#include <qcustomplot.h>

#include <QElapsedTimer>
#include <QPointer>

#include <deque>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace korven::rt::qt {

class Graph {
  public:
    Graph(QCustomPlot* plot, bool stripChart);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    QCustomPlot* plot() const { return plot_; }
    bool isStripChart() const { return strip_; }

    // Each returns a plot handle (> 0), or a negative value on bad input.
    int plotXY(std::span<const double> x, std::span<const double> y, int plotStyle, int pointStyle,
               int lineStyle, int color);
    int plotRectangle(double x1, double y1, double x2, double y2, int color, int fillColor);
    // handle -1 removes every plot (the cursors stay). refresh 0 leaves the
    // screen as it is until the next drawing.
    int deletePlot(int handle, int refresh);
    int setCursor(int cursor, double x, double y); // cursor 1..3
    int setAxis(int axis, int mode, double min, double max);

    // Strip chart.
    int setTraceColor(int trace, int color); // trace 1..n
    int setNumTraces(int traces);
    int numTraces() const { return numTraces_; }
    int setPointsPerScreen(int points);
    int pointsPerScreen() const { return pointsPerScreen_; }
    // Values are multiplexed: value k belongs to trace k % traces.
    int plotStrip(std::span<const double> values);

    // Inspection (tests).
    int plotCount() const { return static_cast<int>(items_.size()); }
    int rectangleCount() const;
    int curveCount() const;
    bool cursorShown(int cursor) const;
    double cursorX(int cursor) const;
    double cursorY(int cursor) const;
    const std::vector<std::deque<double>>& traces() const { return traces_; }
    int traceColor(int trace) const;
    double axisMin(int axis) const;
    double axisMax(int axis) const;
    // Replots queued but not yet drawn are coalesced into one.
    void requestReplot();

  private:
    struct Item {
        QCPAbstractPlottable* plottable = nullptr;
        QCPAbstractItem* item = nullptr;
    };
    struct Cursor {
        QCPItemStraightLine* line = nullptr;
        bool placed = false;
        double x = 0.0, y = 0.0;
    };

    QCPAxis* axisFor(int axis) const;
    void rebuildStripGraphs();
    void drawStrip();

    QPointer<QCustomPlot> plot_;
    bool strip_ = false;
    std::map<int, Item> items_;
    int nextHandle_ = 1;
    Cursor cursors_[3];
    bool autoX_ = false, autoY_ = false;
    // strip chart
    int numTraces_ = 1;
    int pointsPerScreen_ = 101;
    std::vector<std::deque<double>> traces_;
    std::map<int, int> traceColors_;
    // Shared with a queued drawing, which may outlive this object.
    struct ReplotState {
        bool pending = false;
        QElapsedTimer last;
    };
    static constexpr qint64 kReplotIntervalMs = 20;
    std::shared_ptr<ReplotState> replot_ = std::make_shared<ReplotState>();
};

} // namespace korven::rt::qt
