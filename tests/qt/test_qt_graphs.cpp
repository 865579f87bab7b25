// Graphs of the Qt back end: plots and rectangles by handle, cursors that
// survive clearing, manual axes, and the strip chart's scrolling traces.
#include "runtime/qt/qt_backend.h"
#include "runtime/qt/qt_graph.h"
#include "tests/qt/qt_fixture.h"

#include <qcustomplot.h>

#include <QFile>
#include <QImage>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <memory>
#include <vector>

using korven::rt::Value;
using korven::rt::qt::Graph;
using korven::rt::qt::QtBackend;
using namespace qtfix;

class GraphTests : public TestFormBase {
    Q_OBJECT

  private slots:
    void plotsRectanglesAndCursors() {
        Graph* g = qt_->graph(p1_, kGraph);
        QVERIFY(g && !g->isStripChart());
        QCOMPARE(g->axisMin(VAL_XAXIS), 1.0); // from the layout
        QCOMPARE(g->axisMax(VAL_XAXIS), 1024.0);

        const std::vector<double> x{1, 2, 3, 4}, y{10, 20, 15, 5};
        const int curve =
            qt_->plotXY(p1_, kGraph, x, y, VAL_FAT_LINE, VAL_NO_POINT, VAL_SOLID, 1, VAL_RED);
        QVERIFY(curve > 0);
        QVERIFY(qt_->plotXY(p1_, kGraph, x, std::vector<double>{1, 2}, 0, VAL_NO_POINT, 0, 1, 0) <
                0);
        const int rect = qt_->plotRectangle(p1_, kGraph, 412, 0.0, 612, 0.25, VAL_GREEN, VAL_GREEN);
        QVERIFY(rect > 0 && rect != curve);
        QCOMPARE(g->curveCount(), 1);
        QCOMPARE(g->rectangleCount(), 1);
        auto* item = qobject_cast<QCPItemRect*>(g->plot()->item(g->plot()->itemCount() - 1));
        QVERIFY(item);
        QCOMPARE(item->brush().color(), QColor(0, 255, 0));
        QCOMPARE(item->topLeft->coords(), QPointF(412, 0.25));

        for (int c = 1; c <= 3; ++c) {
            QCOMPARE(qt_->setGraphCursor(p1_, kGraph, c, 100.0 * c, 0.75), 0);
        }
        QVERIFY(qt_->setGraphCursor(p1_, kGraph, 4, 1.0, 1.0) < 0);
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, curve, VAL_DELAYED_DRAW), 0);
        QVERIFY(qt_->deleteGraphPlot(p1_, kGraph, curve, VAL_DELAYED_DRAW) < 0);
        QCOMPARE(g->plotCount(), 1);
        QCOMPARE(qt_->deleteGraphPlot(p1_, kGraph, ALL_PLOTS, VAL_IMMEDIATE_DRAW), 0);
        QCOMPARE(g->plotCount(), 0);
        QCOMPARE(g->plot()->plottableCount(), 0);
        // Clearing the plots leaves the cursors where they were.
        for (int c = 1; c <= 3; ++c) {
            QVERIFY(g->cursorShown(c));
            QCOMPARE(g->cursorX(c), 100.0 * c);
            QCOMPARE(g->cursorY(c), 0.75);
        }

        QCOMPARE(qt_->setAxisScalingMode(p1_, kGraph, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, 1024.0), 0);
        QCOMPARE(g->axisMax(VAL_LEFT_YAXIS), 1024.0);
        QVERIFY(qt_->setAxisScalingMode(p1_, kGraph, VAL_LEFT_YAXIS, VAL_MANUAL, 5.0, 5.0) < 0);
        QVERIFY(qt_->setAxisScalingMode(p1_, kGraph, 7, VAL_MANUAL, 0.0, 1.0) < 0);
        // Graph calls on other controls fail softly.
        QVERIFY(qt_->plotXY(p1_, kSpin, x, y, 0, VAL_NO_POINT, 0, 1, 0) < 0);
        QVERIFY(qt_->plotStripChart(p1_, kGraph, x) < 0);
    }

    void stripChartScrollsTheNewestInAtTheRight() {
        Graph* g = qt_->graph(p1_, kStrip);
        QVERIFY(g && g->isStripChart());
        QCOMPARE(qt_->setCtrlAttribute(p1_, kStrip, ATTR_NUM_TRACES, Value::ofInt(2)), 0);
        QCOMPARE(qt_->setCtrlAttribute(p1_, kStrip, ATTR_POINTS_PER_SCREEN, Value::ofInt(5)), 0);
        QCOMPARE(qt_->setTraceAttribute(p1_, kStrip, 2, ATTR_TRACE_COLOR, VAL_RED), 0);
        QVERIFY(qt_->setTraceAttribute(p1_, kStrip, 2, 999, VAL_RED) < 0);
        Value v;
        QCOMPARE(qt_->getCtrlAttribute(p1_, kStrip, ATTR_POINTS_PER_SCREEN, v), 0);
        QCOMPARE(v.asInt(), 5);

        // Values are multiplexed: trace 1, trace 2, trace 1, ...
        const std::vector<double> first{1, 10, 2, 20, 3, 30};
        QCOMPARE(qt_->plotStripChart(p1_, kStrip, first), 0);
        QCOMPARE(g->traces()[0], (std::deque<double>{1, 2, 3}));
        QCOMPARE(g->traces()[1], (std::deque<double>{10, 20, 30}));
        const std::vector<double> more{4, 40, 5, 50, 6, 60, 7, 70};
        QCOMPARE(qt_->plotStripChart(p1_, kStrip, more), 0);
        QCOMPARE(g->traces()[0], (std::deque<double>{3, 4, 5, 6, 7}));
        // On screen the newest value sits at the right end of the x axis.
        QCPGraph* trace1 = g->plot()->graph(0);
        QCOMPARE(trace1->dataCount(), 5);
        QCOMPARE((trace1->data()->constEnd() - 1)->key, 4.0);
        QCOMPARE((trace1->data()->constEnd() - 1)->value, 7.0);
        QCOMPARE(g->axisMax(VAL_XAXIS), 4.0);
        QCOMPARE(g->plot()->graph(1)->pen().color(), QColor(255, 0, 0));
        QVERIFY(qt_->setCtrlAttribute(p1_, kStrip, ATTR_NUM_TRACES, Value::ofInt(0)) < 0);
    }

    // The operator's zoom holds against the program's scaling until a
    // double-click; a paused graph does not redraw; picture and data export.
    void operatorZoomPauseAndExport() {
        Graph* g = qt_->graph(p1_, kGraph);
        QCustomPlot* plot = g->plot();
        const std::vector<double> x{1, 2, 3}, y{10, 20, 15};
        qt_->plotXY(p1_, kGraph, x, y, VAL_FAT_LINE, VAL_NO_POINT, VAL_SOLID, 1, VAL_RED);
        qt_->plotRectangle(p1_, kGraph, 412, 0.0, 612, 0.25, VAL_GREEN, VAL_GREEN);
        qt_->setGraphCursor(p1_, kGraph, 1, 500.0, 0.75);
        plot->replot();
        const QPointF centre = plot->axisRect()->rect().center();
        QWheelEvent wheel(centre, plot->mapToGlobal(centre), {}, {0, 120}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(plot, &wheel);
        QVERIFY(g->operatorView());
        const double zoomedMax = g->axisMax(VAL_XAXIS);
        QVERIFY(zoomedMax < 1024.0);
        QCOMPARE(qt_->setAxisScalingMode(p1_, kGraph, VAL_XAXIS, VAL_MANUAL, 0.0, 2048.0), 0);
        QCOMPARE(g->axisMax(VAL_XAXIS), zoomedMax);
        QTest::mouseDClick(plot, Qt::LeftButton, {}, centre.toPoint());
        QVERIFY(!g->operatorView());
        QCOMPARE(g->axisMax(VAL_XAXIS), 2048.0);

        // The context menu offers the exports, the pause and the reset.
        emit plot->customContextMenuRequested(centre.toPoint());
        auto* menu = plot->findChild<QMenu*>();
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 6); // three saves, separator, pause, reset
        menu->actions()[4]->trigger();
        QVERIFY(g->paused());
        menu->close();
        int replots = 0;
        connect(plot, &QCustomPlot::afterReplot, this, [&replots] { ++replots; });
        qt_->plotXY(p1_, kGraph, x, y, VAL_THIN_LINE, VAL_NO_POINT, VAL_SOLID, 1, VAL_RED);
        QTest::qWait(60);
        QCOMPARE(replots, 0);
        g->setPaused(false);
        QTest::qWait(60);
        QVERIFY(replots > 0);

        QVERIFY(g->savePicture(dir_.filePath("g.png")));
        QVERIFY(!QImage(dir_.filePath("g.png")).isNull());
        QVERIFY(g->savePicture(dir_.filePath("g.pdf")));
        QFile pdf(dir_.filePath("g.pdf"));
        QVERIFY(pdf.open(QIODevice::ReadOnly) && pdf.read(4) == "%PDF");
        QVERIFY(g->saveData(dir_.filePath("g.csv")));
        QFile csv(dir_.filePath("g.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines[0], QByteArray("plot,position,value"));
        QCOMPARE(lines[1], QByteArray("curve_1,1,10"));
        QVERIFY(lines.contains("band_1,412,0.25") && lines.contains("cursor_1,500,0.75"));
        QVERIFY(!g->saveData(dir_.filePath("missing/g.csv")));

        const std::vector<double> strip{1, 10, 2, 20};
        qt_->setCtrlAttribute(p1_, kStrip, ATTR_NUM_TRACES, Value::ofInt(2));
        qt_->plotStripChart(p1_, kStrip, strip);
        QVERIFY(qt_->graph(p1_, kStrip)->saveData(dir_.filePath("s.csv")));
        QFile s(dir_.filePath("s.csv"));
        QVERIFY(s.open(QIODevice::ReadOnly));
        QCOMPARE(s.readAll(), QByteArray("answer,trace_1,trace_2\n1,1,10\n2,2,20\n"));
    }
};

int RunGraphTests(int argc, char** argv) {
    GraphTests t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_qt_graphs.moc"
