// A graph control drawn with QCustomPlot: XY plots, filled rectangles,
// three cursors, manual or automatic axes, and the strip-chart mode with a
// number of traces scrolling from the right. The operator may zoom with the
// wheel and drag (the program's scaling then waits until a double-click
// brings it back), pause the drawing, and save picture and data from the
// context menu.
#pragma once

#include <qcustomplot.h>

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <deque>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace korven::rt::qt {

// The shortest time between two drawings of a graph of this size, in
// milliseconds: 20 ms up to 100 000 device pixels, then as much longer as the
// graph is larger, so that a graph filling a large screen costs little more
// to draw each second than at the panel's designed size (there the strip
// chart still draws every answer; maximised on 1920 x 1080 about 7 times a
// second).
qint64 ReplotIntervalMs(QSize size, double devicePixelRatio);

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

    // ---- operator handling ----
    // True after the operator zoomed or dragged: the program's axis
    // settings are kept but not shown until resetView().
    bool operatorView() const { return operatorView_; }
    // Back to the program's own scaling (double-click).
    void resetView();
    // A paused graph keeps taking data but does not redraw.
    void setPaused(bool paused);
    bool paused() const { return replot_->paused; }
    // What the graph says about the operator's changes ("PAUSED", "ZOOMED
    // ..."), shown at its top right; empty when there are none.
    QString stateText() const;
    // The picture as PDF (name ending in .pdf) or PNG; false when it
    // cannot be written.
    bool savePicture(const QString& path) const;
    // The data as CSV: the strip chart's traces by answer, or every curve's
    // points, the bands' corners and the cursors by position. On failure
    // the system's reason goes into *reason when given.
    bool saveData(const QString& path, QString* reason = nullptr) const;

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
    // Sets an axis range from the program: remembered as the program's
    // scaling, shown unless the operator has a view of their own.
    void setProgramRange(QCPAxis* axis, double min, double max);
    void showMenu(const QPoint& pos);
    void chooseFile(const QString& suffix, bool data);
    void rebuildStripGraphs();
    void showState();
    void drawStrip();

    QPointer<QCustomPlot> plot_;
    bool strip_ = false;
    std::map<int, Item> items_;
    // Rectangles taken off the graph, hidden, for the next ones: a loop
    // draws its bands anew with every answer.
    std::vector<QCPItemRect*> spareRects_;
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
        bool queued = false;   // a drawing is queued for the next event pass
        bool waiting = false;  // changes wait for the end of the interval
        bool fallback = false; // a timer draws them should no change follow
        bool paused = false;   // the operator paused the drawing
        QElapsedTimer last;
    };
    std::shared_ptr<ReplotState> replot_ = std::make_shared<ReplotState>();
    static void ScheduleDrawing(const std::shared_ptr<ReplotState>& state,
                                const QPointer<QCustomPlot>& plot);
    // operator handling
    QCPRange programX_, programY_;
    bool operatorView_ = false;
    QCPItemText* state_ = nullptr; // owned by the plot
    bool applying_ = false;        // the program is setting a range
    std::vector<QMetaObject::Connection> connections_;
    // Cleared on destruction; menus and dialogs still open check it.
    std::shared_ptr<Graph*> self_ = std::make_shared<Graph*>(this);
};

} // namespace korven::rt::qt
