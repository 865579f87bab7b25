// What the main panel shows: the edge graph with its cursors and bands, the
// indicators, the video curve, the strip chart of the last 100 answers, and
// the parameter set moved between globals and panels (range repair, the
// fixed-point calibration words, the marks drawn on the way back).
//
// The calibration pop-up: its exchanges, the workflow's states and
// transitions, the conversion of the fit into device words (and the refusal
// of fits the words cannot hold), the analogue reset and the tolerance
// mirror; and the numerics beneath it: the least-squares line fit and the
// array helpers (results, rejected arguments that leave the outputs
// untouched, shifting in place).
#include "app/KORVENDarir23.h"
#include "calibration/popup.h"
#include "display/gui.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using rt::headless::PeerLink;
using rt::headless::PlotItem;
using test::LinePeer;

// A rectangle as x1, x2, y1, y2.
using Band = std::array<double, 4>;
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::tuple<int, double, double> Axis(const rt::headless::AxisState& a) {
    return {a.mode, a.min, a.max};
}

class Display : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        ccdtype = 2;
        ccdsubpixel = 1024;
        ccdpixE = 1024;
        eBeg = 11;
        eEnd = 1001;
        tVal = 500;
        tTol = 50;
        Mvalue = 510;
    }

    rt::headless::GraphState& Graph(int control) { return bed().graph(pHandle, control); }
    rt::headless::GraphState& Edges() { return Graph(PANEL_GRAPH_EDGES); }
    rt::headless::GraphState& Raw() { return Graph(PANEL_GRAPH_RAW); }

    // Rectangles of one colour (frame and fill) in drawing order.
    std::vector<Band> Bands(int colour) {
        std::vector<Band> out;
        for (const PlotItem& item : Edges().plots) {
            if (item.kind == PlotItem::Kind::Rectangle && item.color == colour) {
                EXPECT_EQ(item.fillColor, colour);
                out.push_back({item.x1, item.x2, item.y1, item.y2});
            }
        }
        return out;
    }

    double Cursor(int n) {
        const auto& c = Edges().cursors[n - 1];
        EXPECT_EQ(std::pair(c.placed, c.y), std::pair(true, 0.75)) << "cursor " << n;
        return c.x;
    }

    void Answer(u16 left, u16 right, u16 edges, u16 start = 0, u16 end = 0) {
        Ledge = left;
        Redge = right;
        edcnt = edges;
        mvstart = start;
        mvend = end;
    }

    // Strip-chart values of the newest answer as handed to the chart.
    std::vector<double> Newest() {
        const auto& data = Raw().lastStripData;
        return data.size() == 500u ? std::vector<double>(data.begin() + 495, data.end()) : data;
    }
};

// ---- the edge graph -------------------------------------------------------

TEST_F(Display, MeasuredPositionFollowsEvaluationModeAndWindow) {
    // Middle of both edges with one edge missing: the lowest allowed pixel.
    // Outside the allowed window: shown at its ends, and never beyond the line.
    const struct {
        u16 mode, left, right, edges, pixB, pixE;
        double expected;
    } cases[] = {
        {0, 300, 701, 2, 1, 1024, 300}, {1, 300, 701, 2, 1, 1024, 701},
        {2, 300, 701, 2, 1, 1024, 500}, {3, 300, 701, 2, 1, 1024, 500},
        {4, 300, 701, 2, 1, 1024, 500}, {3, 0, 701, 1, 1, 1024, 1},
        {3, 0, 701, 1, 40, 1024, 40},   {0, 20, 900, 2, 40, 1024, 40},
        {1, 20, 900, 2, 40, 800, 800},  {1, 20, 2000, 2, 40, 8192, 1024},
    };
    for (const auto& c : cases) {
        eMode = c.mode;
        pixB = c.pixB;
        pixE = c.pixE;
        Answer(c.left, c.right, c.edges);
        PlotVIDEOBarGraph();
        EXPECT_EQ(Cursor(1), c.expected) << "eMode " << c.mode << ", " << c.left << ".." << c.right;
    }
    EXPECT_EQ(Cursor(2), 11);
    EXPECT_EQ(Cursor(3), 1001);
    EXPECT_EQ(Axis(Edges().xAxis), std::make_tuple(VAL_MANUAL, 1.0, 1024.0));
}

TEST_F(Display, RedBandsCoverTheShadowedStretches) {
    // One edge: the stretch on the side the shadow moved from. Two edges:
    // both outer stretches, the gap between them unpainted. Every call
    // starts from an empty graph.
    const struct {
        u16 right, edges, start, end;
        std::vector<Band> red;
    } cases[] = {
        {0, 1, 10, 20, {{300, 1024, 0.25, 1.0}}},
        {0, 1, 20, 10, {{1, 300, 0.25, 1.0}}},
        {0, 1, 15, 15, {{1, 300, 0.25, 1.0}}},
        {700, 2, 0, 0, {{1, 300, 0.25, 1.0}, {700, 1024, 0.25, 1.0}}},
    };
    eMode = 1;
    for (const auto& c : cases) {
        Answer(300, c.right, c.edges, c.start, c.end);
        PlotVIDEOBarGraph();
        EXPECT_EQ(Bands(0xFF0000), c.red) << c.start << " " << c.end;
        EXPECT_EQ(Edges().plots.size(), c.red.size() + 1); // and one green
    }
    EXPECT_EQ(Edges().lastDeleteRefresh, VAL_NO_DRAW);
}

TEST_F(Display, GreenBandsAroundTheExpectedEdges) {
    // Width mode (2): two bands tTol wide at the edges of an object tVal wide
    // centred on the measured position; other modes: one band around the
    // set-point. A left end below 0 is drawn from 1, a right end beyond the
    // last sub-pixel (1023) to 1024; in width mode only the first band is
    // held so. No edge found: no green band in width mode.
    const struct {
        u16 mode, left, right, tVal, tTol;
        std::vector<std::pair<double, double>> green;
    } cases[] = {
        {2, 300, 700, 201, 21, {{390, 410}, {590, 610}}},
        {2, 960, 1040, 0, 60, {{970, 1024}, {970, 1030}}},
        {2, 300, 700, 980, 20, {{0, 20}, {980, 1000}}},
        {2, 300, 700, 982, 20, {{1, 19}, {981, 1001}}},
        {2, 980, 1020, 0, 46, {{977, 1023}, {977, 1023}}},
        {2, 980, 1020, 0, 48, {{976, 1024}, {976, 1024}}},
        {2, 0, 0, 201, 21, {}},
        {0, 300, 700, 10, 30, {{1, 40}}},
        {0, 300, 700, 30, 30, {{0, 60}}},
        {1, 300, 700, 993, 30, {{963, 1023}}},
        {3, 300, 700, 994, 30, {{964, 1024}}},
        {4, 300, 700, 1000, 30, {{970, 1024}}},
    };
    for (const auto& c : cases) {
        eMode = c.mode;
        tVal = c.tVal;
        tTol = c.tTol;
        Answer(c.left, c.right, c.left == 0 ? 0 : 2);
        PlotVIDEOBarGraph();
        std::vector<Band> expected;
        for (const auto& [x1, x2] : c.green) {
            expected.push_back({x1, x2, 0.0, 0.35});
        }
        EXPECT_EQ(Bands(0x00FF00), expected) << "mode " << c.mode << ", tVal " << c.tVal;
        // Drawn after the two red bands, which are there in every case.
        ASSERT_EQ(Edges().plots.size(), 2 + expected.size());
        EXPECT_EQ(Bands(0xFF0000).size(), 2u);
    }
}

TEST_F(Display, IndicatorsAndLiveCalibrationValue) {
    Answer(300, 700, 2);
    Mvalue = 412;
    umValue = -7;
    tTol = 55;
    anaMax = 900;
    anaMin = 1023;
    PlotVIDEOBarGraph();
    // A minimum still at its reset value is shown as 1.
    std::vector<std::int64_t> shown;
    for (const int c : {PANEL_NUMLedge, PANEL_NUMRedge, PANEL_NUMMValue, PANEL_NUMMValueB,
                        PANEL_NUMUmValue, PANEL_NUMTolDisplay, PANEL_NUMAnaMax, PANEL_NUMAnaMin}) {
        shown.push_back(bed().intValue(pHandle, c));
    }
    EXPECT_EQ(shown, (std::vector<std::int64_t>{300, 700, 412, 412, -7, 55, 900, 1}));
    EXPECT_EQ(anaMin, 1);

    // The raw value goes only to the calibration step that is switched on.
    const auto pixels = [this] {
        return std::pair(bed().intValue(pPopup, POPUP_NUMPixel1),
                         bed().intValue(pPopup, POPUP_NUMPixel2));
    };
    SetCtrlVal(pPopup, POPUP_CheckStep2, 1);
    PlotVIDEOBarGraph();
    EXPECT_EQ(pixels(), (std::pair<std::int64_t, std::int64_t>(0, 412)));
    SetCtrlVal(pPopup, POPUP_CheckStep2, 0);
    SetCtrlVal(pPopup, POPUP_CheckStep1, 1);
    Mvalue = 413;
    PlotVIDEOBarGraph();
    EXPECT_EQ(pixels(), (std::pair<std::int64_t, std::int64_t>(413, 412)));
}

// The threshold entry redraws the video curve with its line (the global
// waits for the next read of the panel).
TEST_F(Display, VideoCurveAndThresholdLine) {
    YAXISMAX = 256;
    vThd = 512;
    for (int i = 0; i < 256; ++i) {
        adcbuf[i] = static_cast<u16>(i);
        xArray8[i] = 32.0 * i; // an 8192-sub-pixel line
    }
    for (int redraw = 0; redraw < 2; ++redraw) { // redrawn, not added
        bed().operate(pHandle, PANEL_NUMVideoThreshold, Value::ofInt(128));
    }
    EXPECT_EQ(std::tuple(thdArray[0], thdArray[255], vThd), std::tuple(128, 128, 512));

    auto& video = Graph(PANEL_GRAPH_VIDEO);
    EXPECT_EQ(Axis(video.yAxis), std::make_tuple(VAL_MANUAL, 0.0, 256.0));
    EXPECT_EQ(video.lastDeleteRefresh, VAL_DELAYED_DRAW);
    ASSERT_EQ(video.plots.size(), 2u);
    // The curve in red, the threshold in dark green; both fat lines over
    // all 256 samples at the sub-pixel positions, as the video loop draws.
    const struct {
        int color;
        std::size_t sample;
        double y;
    } plots[] = {{0xFF0000, 200, 200.0}, {0x008000, 17, 128.0}};
    for (int i = 0; i < 2; ++i) {
        const PlotItem& p = video.plots[i];
        ASSERT_EQ(std::pair(p.x.size(), p.y.size()), std::pair(std::size_t{256}, std::size_t{256}));
        EXPECT_EQ(std::tuple(p.color, p.plotStyle, p.x[255], p.y[plots[i].sample]),
                  std::tuple(plots[i].color, VAL_FAT_LINE, 8160.0, plots[i].y));
    }
}

// ---- the strip chart --------------------------------------------------------

TEST_F(Display, StripChartHistoryMovesOneAnswerPerCall) {
    PlotRAWGraphX8();
    Mvalue = 520;
    PlotRAWGraphX8();
    const auto& data = Raw().lastStripData;
    ASSERT_EQ(data.size(), 500u);
    EXPECT_EQ(std::vector<double>(data.begin() + 490, data.begin() + 495),
              (std::vector<double>{550, 450, 500, 510, 510}));
    EXPECT_EQ(Newest(), (std::vector<double>{550, 450, 500, 520, 520}));
    // The first run fills in from the right.
    EXPECT_EQ(std::tuple(data[489], Raw().stripCalls), std::tuple(0.0, 2));
    EXPECT_EQ(Raw().traceColors,
              (std::map<int, int>{
                  {1, 0x008000}, {2, 0x008000}, {3, 0x000000}, {4, 0xFF0000}, {5, 0xFF0000}}));
    ASSERT_EQ(Raw().traces.size(), 5u);
    // A screen shows the answers of the history and no older point.
    const auto& answers = Raw().traces[3];
    EXPECT_EQ(std::tuple(answers.size(), answers.front(), answers.back()),
              std::tuple(100ul, data[3], 520.0));

    // After 100 more answers the first two have left the window.
    for (int i = 0; i < 99; ++i) {
        PlotRAWGraphX8();
    }
    EXPECT_EQ(std::tuple(arrayNORM[0], arrayNORM[3]), std::tuple(550.0, 520.0));
}

// The band traces stay on the line (the upper end of 8162 + 30 falls on the
// last pixel + 1); the analogue trace follows the output mode, a minimum
// still at its reset value shown as 1. The y axis: zoom off, the whole
// range; on, 40 around the set-point below a tolerance of 20, twice the
// tolerance from there, widened past an answer outside; held on the line at
// both ends.
TEST_F(Display, StripChartTracesAndZoomWindow) {
    ccdsubpixel = 8192; // a board-100 line, counted in eighths
    anaMax = 900;
    const struct {
        int zoom;
        u16 tVal, tTol, mValue, anaMode, anaMin;
        std::vector<double> newest;
        double low, high;
    } cases[] = {
        {0, 10, 30, 510, 0, 300, {40, 1, 10, 510, 510}, 0, 8192},
        {0, 8162, 30, 510, 0, 300, {8191, 8132, 8162, 510, 510}, 0, 8192},
        {0, 500, 50, 510, 5, 300, {550, 450, 500, 510, 900}, 0, 8192},
        {0, 500, 50, 510, 6, 300, {550, 450, 500, 510, 300}, 0, 8192},
        {0, 500, 50, 510, 8, 300, {550, 450, 500, 510, 0}, 0, 8192},
        {0, 500, 50, 510, 3, 8191, {550, 450, 500, 510, 1}, 0, 8192},
        {1, 500, 19, 500, 0, 300, {519, 481, 500, 500, 500}, 460, 540},
        {1, 500, 19, 600, 0, 300, {519, 481, 500, 600, 600}, 460, 650},
        {1, 500, 19, 400, 0, 300, {519, 481, 500, 400, 400}, 350, 540},
        {1, 500, 20, 500, 0, 300, {520, 480, 500, 500, 500}, 460, 540},
        {1, 500, 20, 600, 0, 300, {520, 480, 500, 600, 600}, 460, 700},
        {1, 500, 20, 400, 0, 300, {520, 480, 500, 400, 400}, 300, 540},
        {1, 8170, 20, 8170, 0, 300, {8190, 8150, 8170, 8170, 8170}, 8130, 8191},
        {1, 30, 20, 30, 0, 300, {50, 10, 30, 30, 30}, 1, 70},
        {0, 30, 20, 30, 0, 300, {50, 10, 30, 30, 30}, 0, 8192},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        SetCtrlVal(pHandle, PANEL_TOGGBTN_Zoom, c.zoom);
        tVal = c.tVal;
        tTol = c.tTol;
        Mvalue = c.mValue;
        anaMode = c.anaMode;
        anaMin = c.anaMin;
        PlotRAWGraphX8();
        EXPECT_EQ(Newest(), c.newest);
        EXPECT_EQ(Axis(Raw().yAxis), std::make_tuple(VAL_MANUAL, c.low, c.high));
    }
}

// ---- the parameter set between globals and panels ---------------------------

TEST_F(Display, RepairTableBoundaries) {
    const struct {
        u16* global;
        std::vector<std::pair<u16, u16>> inOut;
        u16 subpixels = 1024; // 0: no sensor has told its line length yet
    } rows[] = {
        {&power, {{1000, 1000}, {1001, 500}}},
        {&rs232Mode, {{1, 1}, {2, 0}}},
        {&vThd, {{10, 50}, {50, 50}, {950, 950}, {1000, 950}}},
        {&anaMode, {{7, 7}, {8, 0}}},
        {&polarity, {{2, 1}}},
        {&eMode, {{3, 3}, {4, 4}, {9, 4}}},
        {&tTol, {{0, 1}, {8192, 8192}, {8193, 8192}}},
        {&deltaTol, {{0, 1}, {1025, 1024}}},
        {&eBeg, {{0, 0}, {1024, 1024}, {1025, 1}}},
        {&eEnd, {{0, 1}, {1025, 1024}}},
        {&eHardware, {{4, 3}}},
        {&average, {{1024, 1024}, {1025, 1024}}},
        {&slope, {{65534, 65534}, {65535, 1024}}},
        {&intersect, {{60000, 60000}, {60001, 30000}}},
        // A parameter file read before any sensor keeps its window and delta
        // tolerance.
        {&eBeg, {{5000, 5000}}, 0},
        {&eEnd, {{0, 1}, {65535, 65535}}, 0},
        {&deltaTol, {{0, 1}, {65535, 65535}}, 0},
    };
    for (const auto& row : rows) {
        for (const auto& [in, out] : row.inOut) {
            ccdsubpixel = row.subpixels;
            StoreDefaults();
            *row.global = in;
            SetPanelValues();
            EXPECT_EQ(*row.global, out) << "row " << &row - rows << ", " << in;
            EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_NEDITEdgeLeft),
                                 bed().intValue(pHandle, PANEL_NEDITEdgeRight),
                                 bed().intValue(pHandle, PANEL_NUMDeltaTol)),
                      std::tuple(eBeg, eEnd, deltaTol));
        }
    }
}

// Values typed into the pop-up become the fixed-point words; a value that is
// not a number or too large to convert leaves the words as they were.
TEST_F(Display, PanelCalibrationValuesToFixedPoint) {
    const struct {
        u16 type;
        double slopeIn, offsetIn;
        u16 slopeOut, intersectOut;
    } rows[] = {
        {104, 1.25, 0.0, 640, 30000},     {2, 1.25, 0.0, 1280, 30000},
        {2, 1.23456, -12.7, 1264, 29987}, {2, 1.0, 12.7, 1024, 30012},
        {2, 0.0, -30001.0, 0, 65535},     {2, 70.0, 40000.0, 6144, 4464},
        {2, kNan, -kNan, 777, 31000},     {2, kInf, -kInf, 777, 31000},
        {2, 1e30, -1e30, 777, 31000},
    };
    for (const auto& row : rows) {
        ccdtype = row.type;
        slope = 777;
        intersect = 31000;
        // As if the operator had typed them, without the controls' own range.
        bed().ctrl(pPopup, POPUP_NUMSlope).value = Value::ofDouble(row.slopeIn);
        bed().ctrl(pPopup, POPUP_NUMOffset).value = Value::ofDouble(row.offsetIn);
        GetPanelValues();
        EXPECT_EQ(std::tuple(slope, intersect), std::tuple(row.slopeOut, row.intersectOut))
            << row.slopeIn << " " << row.offsetIn << " type " << row.type;
    }
}

// Globals to the panels and back; the sensor type with half slope scale
// shows half the slope word per unit and reads it back alike.
TEST_F(Display, PanelRoundTripKeepsTheParameterSet) {
    ccdtype = 104;
    // A value off its default for every word, in packet order.
    const u16 set[PNUM] = {812, 1, 333, 5, 0, 2, 17, 999, 432, 25, 1, 2, 1100, 29876, 64, 12};
    std::copy(std::begin(set), std::end(set), pp);
    CopyPPtoVars();
    SetPanelValues();
    std::fill(std::begin(pp), std::end(pp), u16{0});
    CopyPPtoVars();
    GetPanelValues();
    CopyVarsToPP();
    EXPECT_EQ(std::vector<u16>(std::begin(pp), std::end(pp)),
              std::vector<u16>(std::begin(set), std::end(set)));
}

// Repaired values reach every display, the threshold line is redrawn at the
// repaired value; the edge graph gets the window's cursors, the grey line,
// then the set-point band drawn as computed, left of the axis.
TEST_F(Display, RepairedValuesAndEdgeGraphMarksAfterWriteBack) {
    vThd = 10;
    tVal = 0;
    tTol = 0;
    eMode = 9;
    eBeg = 40;
    eEnd = 900;
    SetPanelValues();
    std::vector<std::int64_t> shown;
    for (const int c :
         {PANEL_NUMVideoThreshold, PANEL_NEDITTolerance, PANEL_NUMTolDisplay, PANEL_DropEvalMode}) {
        shown.push_back(bed().intValue(pHandle, c));
    }
    EXPECT_EQ(shown, (std::vector<std::int64_t>{50, 1, 1, 4}));
    EXPECT_EQ(std::count(std::begin(thdArray), std::end(thdArray), 50), 256);
    const auto& video = Graph(PANEL_GRAPH_VIDEO);
    ASSERT_EQ(video.plots.size(), 2u);
    EXPECT_EQ(video.plots[1].y[0], 50.0);
    EXPECT_EQ(Axis(Edges().xAxis), std::make_tuple(VAL_MANUAL, 1.0, 1024.0));
    const auto& cursors = Edges().cursors;
    EXPECT_EQ(std::tuple(cursors[1].x, cursors[2].x, cursors[2].y), std::tuple(40.0, 900.0, 0.75));
    ASSERT_EQ(Edges().plots.size(), 2u);
    EXPECT_EQ(Edges().plots[0].color, 0xA0A0A0);
    EXPECT_EQ(Bands(0xA0A0A0), (std::vector<Band>{{0, 8192, 0, 1}}));
    EXPECT_EQ(Bands(0x00FF00), (std::vector<Band>{{-1, 1, 0, 0.25}}));
}

// ---- the calibration pop-up -------------------------------------------------

// The pop-up shown, on a line to a scripted sensor that stays silent until
// a test gives it answers.
class Calibration : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        ccdtype = 2;
        DisplayPanel(pPopup);
        SetCtrlVal(pHandle, PANEL_TOGGBTN_ParaII, 1);
        if (scriptedLine_) {
            test::OpenLine(bed(), &sensor_);
        }
    }
    // The sensor holds the calibration line `line_`: it answers every
    // calibration command with it in words 0 and 1; sub-function 2 stores
    // words 1 and 2 first.
    void Answering() {
        sensor_.always(CMD_CALIBRATION, [this](const std::vector<std::uint8_t>& frame, double end,
                                               PeerLink& link) {
            if (LinePeer::wordOf(frame, 0) == 2) {
                line_ = {LinePeer::wordOf(frame, 1), LinePeer::wordOf(frame, 2)};
            }
            link.send(end + 0.002, test::AnswerFrame(12, {line_.first, line_.second}));
        });
    }
    // The operator presses a button; it must be operable.
    void Press(int control) { EXPECT_TRUE(bed().pressKey(pPopup, control)) << control; }
    void Check(int box, int on) { bed().operate(pPopup, box, Value::ofInt(on)); }
    void Undim(int control) { SetCtrlAttribute(pPopup, control, ATTR_DIMMED, 0); }
    bool Dimmed(int control) { return bed().isDimmed(pPopup, control); }
    int Int(int control) { return static_cast<int>(bed().intValue(pPopup, control)); }
    double Double(int control) { return bed().doubleValue(pPopup, control); }
    u16 SentWord(int k) { return LinePeer::wordOf(sensor_.frames().back(), k); }
    // The line shown in the pop-up and the words held, each as a pair.
    std::pair<double, double> Shown() { return {Double(POPUP_NUMSlope), Double(POPUP_NUMOffset)}; }
    static std::pair<int, int> Words() { return {slope, intersect}; }
    // Of the six workflow controls exactly these are operable.
    void ExpectOperable(std::vector<int> operable) {
        for (const int c : {POPUP_ButtonAcceptObject1, POPUP_ButtonAcceptObject2, POPUP_CheckStep1,
                            POPUP_CheckStep2, POPUP_ButtonDoFit, POPUP_ButtonSaveCalValues}) {
            EXPECT_EQ(Dimmed(c), std::count(operable.begin(), operable.end(), c) == 0) << c;
        }
    }
    // Accepts object `n` (1 or 2) at raw value `raw` with size `size`.
    void Accept(int n, u16 raw, int size) {
        Check(n == 1 ? POPUP_CheckStep1 : POPUP_CheckStep2, 1);
        Mvalue = raw;
        SetCtrlVal(pPopup, n == 1 ? POPUP_NEDITObject1 : POPUP_NEDITObject2, size);
        Press(n == 1 ? POPUP_ButtonAcceptObject1 : POPUP_ButtonAcceptObject2);
    }
    void ExpectIdle() {
        ExpectOperable({});
        EXPECT_EQ(std::tuple(Int(POPUP_CheckStep1), Int(POPUP_CheckStep2), flagstep1, flagstep2),
                  std::tuple(0, 0, 0, 0));
    }

    bool scriptedLine_ = true;
    LinePeer sensor_;
    std::pair<u16, u16> line_{1024, 30000};
};

TEST_F(Calibration, WholeWorkflowWithATimedOutSendAndTheObjectsInEitherOrder) {
    // The pop-up opens idle; an activation without a sensor times out and
    // changes nothing.
    ExpectIdle();
    std::string waiting;
    bed().at(bed().now() + 0.5, [&] { waiting = Status(); });
    // Activation starts the run sequence; against a sensor that does not
    // measure it ends by its own time-out.
    Press(POPUP_ActivateCalibration);
    EXPECT_EQ(
        std::tuple(waiting, Status(), SentWord(0), bed().intValue(pHandle, PANEL_DropEvalMode)),
        std::tuple("Reset Max/Min values...", "Timeout-RS-232...", 1, 1L));
    ExpectOperable({});

    line_ = {2048, 30100};
    Answering();
    eMode = 1;

    Press(POPUP_ActivateCalibration);
    // The sensor's current line is shown, the evaluation mode switched.
    EXPECT_EQ(Shown(), std::pair(2.0, 100.0));
    EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_DropEvalMode), oldMode), std::tuple(2L, 1));
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2});
    // The run sequence kept the raw value coming until the silent sensor
    // stopped it.
    EXPECT_EQ(sensor_.commands(), (std::vector<int>{12, 12, 8}));

    // Arming: one step at a time.
    Check(POPUP_CheckStep2, 1);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject2});
    Check(POPUP_CheckStep1, 1);
    EXPECT_EQ(Int(POPUP_CheckStep2), 0);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject1});
    Check(POPUP_CheckStep1, 0);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2});

    // Object 2 first: one object never makes the fit operable.
    Accept(2, 662, 21960);
    EXPECT_EQ(std::tuple(flagstep2, Int(POPUP_CheckStep2)), std::tuple(1, 0));
    ExpectOperable({POPUP_CheckStep1});
    Accept(1, 300, 9000);
    ExpectOperable({POPUP_ButtonDoFit});
    Press(POPUP_ButtonDoFit);
    ExpectOperable({POPUP_ButtonSaveCalValues});

    // A send that times out keeps the objects for another try.
    sensor_.silent();
    Press(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_TRUE(Dimmed(POPUP_ButtonSaveCalValues));
    EXPECT_EQ(std::tuple(flagstep1, flagstep2), std::tuple(1, 1));
    EXPECT_EQ(Words(), std::pair(36660, 28259)); // unconfirmed: 12960 / 362 * 1024, -1740

    // A new activation and one object accepted again make the fit operable.
    Press(POPUP_ActivateCalibration);
    EXPECT_FALSE(Dimmed(POPUP_CheckStep1));
    Accept(1, 241, 7960);
    EXPECT_EQ(std::tuple(pixel[0], umeter[0]), std::tuple(241.0, 7960.0));
    Press(POPUP_ButtonDoFit);
    EXPECT_NEAR(Double(POPUP_NUMFitSlope), 33.2541567695962, 1e-12);
    EXPECT_NEAR(Double(POPUP_NUMFitOffset), -54.2517814726841, 1e-9);
    // Step 2, opened again by the activation, may take its object anew.
    ExpectOperable({POPUP_CheckStep2, POPUP_ButtonSaveCalValues});

    Press(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(LinePeer::commandOf(sensor_.frames().back()), 12);
    EXPECT_EQ((std::vector<int>{SentWord(0), SentWord(1), SentWord(2)}),
              (std::vector<int>{2, 34052, 29945}));
    EXPECT_EQ(Status(), "New Calibration values in activated in RAM!");
    EXPECT_EQ(Shown(), std::pair(33.25390625, -55.0));
    EXPECT_EQ(Words(), std::pair(34052, 29945));
    ExpectIdle();
    EXPECT_EQ(
        std::tuple(bed().panelVisible(pPopup), eMode, bed().intValue(pHandle, PANEL_DropEvalMode)),
        std::tuple(true, 1, 1L));
}

// The close box hides without a frame and keeps the state. Stopping always
// cleans up and hides the pop-up; the evaluation mode and the sensor's line
// come back only when the sensor confirms.
TEST_F(Calibration, CloseBoxKeepsTheStateAndStopCleansUpAlways) {
    Undim(POPUP_CheckStep1);
    flagstep1 = 1;
    bed().firePanel(pPopup, EVENT_CLOSE);
    bed().advance(0.1);
    EXPECT_EQ(std::tuple(bed().panelVisible(pPopup), bed().intValue(pHandle, PANEL_TOGGBTN_ParaII),
                         sensor_.frames().size()),
              std::tuple(false, 0L, 0ul));
    bed().operate(pHandle, PANEL_TOGGBTN_ParaII, Value::ofInt(1));
    EXPECT_EQ(std::tuple(bed().panelVisible(pPopup), Dimmed(POPUP_CheckStep1), flagstep1),
              std::tuple(true, false, 1));

    line_ = {3072, 29000};
    oldMode = 0;
    for (const bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "answering sensor" : "silent sensor");
        if (answers) {
            Answering();
            bed().operate(pHandle, PANEL_TOGGBTN_ParaII, Value::ofInt(1));
            Undim(POPUP_CheckStep1);
        }
        eMode = 2;
        flagstep1 = flagstep2 = 1;

        Press(POPUP_DiscardCalibration);

        EXPECT_EQ(Status(), answers ? "Calibration stopped successfully!" : "Timeout-RS-232...");
        EXPECT_EQ(std::tuple(SentWord(0), eMode, bed().panelVisible(pPopup),
                             bed().intValue(pHandle, PANEL_TOGGBTN_ParaII), stop_flag),
                  std::tuple(0, answers ? 0 : 2, false, 0L, 1));
        ExpectIdle();
    }
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 0);
    EXPECT_EQ(Shown(), std::pair(3.0, -1000.0));
}

TEST_F(Calibration, FitsAreConvertedIntoDeviceWordsOrRefusedWhenTheyCannotHoldThem) {
    Answering();
    // The same raw value twice gives a non-finite fit: shown, never sent
    // (as the non-finite rows below).
    pixel[0] = pixel[1] = 500.0;
    bed().fire(pPopup, POPUP_ButtonDoFit, EVENT_COMMIT); // whatever the button's state
    EXPECT_FALSE(std::isfinite(slopeval));
    // Fits the words cannot hold are refused and leave the words alone (the
    // words 65535 and above 60000 would come back as the defaults). The edges
    // of the range are sent as they are; a sensor type with half scale gets
    // half the slope word, and the confirmed line is shown.
    const char* const badSlope = "Calibration not sent: slope out of range!";
    const char* const badOffset = "Calibration not sent: offset out of range!";
    const struct {
        u16 type;
        double slope, intercept;
        const char* refused; // nullptr: sent with these words
        u16 slopeWord, interceptWord;
    } cases[] = {
        {2, 64.0, 0.0, badSlope, 0, 0},
        {2, -0.5, 0.0, badSlope, 0, 0},
        {2, kNan, kNan, badSlope, 0, 0},
        {2, -kInf, 0.0, badSlope, 0, 0},
        {2, 65535.0 / 1024.0, 0.0, badSlope, 0, 0},
        {2, 1.0, 30001.0, badOffset, 0, 0},
        {2, 1.0, -30001.0, badOffset, 0, 0},
        {2, 65534.0 / 1024.0, 30000.0, nullptr, 65534, 60000},
        {2, 0.0, -30000.0, nullptr, 0, 0},
        {104, 14000.0 / 421.0, -54.2517814726841, nullptr, 17026, 29945},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.slope) + " " + std::to_string(c.intercept));
        ccdtype = c.type;
        slope = 1111;
        intersect = 2222;
        slopeval = c.slope;
        interval = c.intercept;
        const std::size_t frames = sensor_.frames().size();
        Undim(POPUP_ButtonSaveCalValues);
        Press(POPUP_ButtonSaveCalValues);
        bed().advance(0.1);
        if (c.refused != nullptr) {
            EXPECT_EQ(Status(), c.refused);
            EXPECT_EQ(Words(), std::pair(1111, 2222));
            EXPECT_EQ(sensor_.frames().size(), frames);
        } else {
            ASSERT_EQ(sensor_.frames().size(), frames + 1);
            EXPECT_EQ(std::tuple(SentWord(1), SentWord(2)),
                      std::tuple(c.slopeWord, c.interceptWord));
        }
    }
    EXPECT_EQ(Shown(), std::pair(33.25390625, -55.0));
}

struct DuringRun {
    int extraBytes; // behind every run answer (0: a sound sensor)
    bool closeBox;  // the calibration ends by the pop-up's close box, else by its stop
};

class CalibrationDuringRun : public Calibration, public ::testing::WithParamInterface<DuringRun> {
  protected:
    CalibrationDuringRun() { scriptedLine_ = false; }
};

// The calibration ends by the stop or the close box alike: the sensor is
// told, and the operator's evaluation mode is back on the panel, so that the
// next SEND writes it and not the calibration's.
TEST_P(CalibrationDuringRun, CalibrationSentWhileTheRunSequenceMeasuresReachesTheSensor) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    InitRS232(1);
    sensor.faults().extraBytes = GetParam().extraBytes;
    sensor.faults().command = CMD_RUN;
    const u16 operatorsMode = eMode;
    bool activeDuringRun = false;
    std::string afterSend;
    const double t0 = bed().now();
    // The operator works the pop-up while the run sequence measures.
    bed().at(t0 + 0.30, [&] {
        activeDuringRun = sensor.model().calibrationActive();
        Accept(1, 241, 7960);
        Accept(2, 662, 21960);
        Press(POPUP_ButtonDoFit);
    });
    bed().at(t0 + 0.41, [&] { Press(POPUP_ButtonSaveCalValues); });
    bed().at(t0 + 0.52, [&] { afterSend = Status(); });
    bed().at(t0 + 0.80, [&] {
        if (GetParam().closeBox) {
            bed().firePanel(pPopup, EVENT_CLOSE);
        } else {
            Press(POPUP_DiscardCalibration);
        }
    });
    // A run still going then is stopped, so that an end that did not happen
    // fails the checks below instead of running for ever.
    bed().at(t0 + 2.0, [&] { bed().click(pHandle, PANEL_BTNStop); });

    Press(POPUP_ActivateCalibration);

    EXPECT_EQ(afterSend, "New Calibration values in activated in RAM!");
    EXPECT_EQ(Status(), "Calibration stopped successfully!");
    // The sensor and the program hold the new line; every frame reached the
    // sensor whole.
    const auto& ram = sensor.model().ram();
    EXPECT_EQ((std::vector<int>{ram[sim::kSlope], ram[sim::kIntersect], slope, intersect}),
              (std::vector<int>{34052, 29945, 34052, 29945}));
    EXPECT_EQ(std::tuple(activeDuringRun, sensor.model().calibrationActive(),
                         bed().panelVisible(pPopup), bed().intValue(pHandle, PANEL_TOGGBTN_ParaII),
                         stop_flag, sensor.model().bytesDiscarded()),
              std::tuple(true, false, false, 0L, 1, 0));

    // SEND writes the operator's mode (and reads the set back).
    const std::size_t before = sensor.commands().size();
    bed().click(pHandle, PANEL_BTNSend);
    bed().advance(0.5);
    ASSERT_GT(sensor.commands().size(), before);
    EXPECT_EQ(std::tuple(sensor.commands()[before], sensor.model().ram()[sim::kEMode]),
              std::tuple(CMD_WRITE_RAM, operatorsMode));
}

INSTANTIATE_TEST_SUITE_P(ExtraBytesAndEnd, CalibrationDuringRun,
                         ::testing::Values(DuringRun{0, false}, DuringRun{5, false},
                                           DuringRun{0, true}));

// Two controls of the main panel beside the calibration: the analogue
// reset reports any answer and a time-out; the tolerance entry is mirrored
// at once, without a frame and without touching the parameter.
TEST_F(Calibration, AnalogResetAndToleranceMirror) {
    bed().operate(pHandle, PANEL_NEDITTolerance, Value::ofInt(321));
    bed().advance(0.1);
    EXPECT_EQ(
        std::tuple(bed().intValue(pHandle, PANEL_NUMTolDisplay), tTol, sensor_.frames().size()),
        std::tuple(321L, 100, 0ul));

    sensor_.answer({0xFFFF, 0xFFFF});
    pp[5] = 777;
    // Boards with an analogue output have the reset operable.
    SetCtrlAttribute(pHandle, PANEL_ButtonReset, ATTR_DIMMED, 0);
    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Reset of analog-output Max/Min OK!");
    // The packet as it stands; the answer is not used.
    EXPECT_EQ(std::tuple(LinePeer::commandOf(sensor_.frames()[0]), SentWord(5), slope),
              std::tuple(11, 777, 1024));
    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
}

// ---- line fit and array helpers ---------------------------------------------

// Two calibration points: the line through both; three points: the
// least-squares line, off each point. Fewer than two points are rejected and
// leave the outputs untouched.
TEST(LinFit, LeastSquaresLineOrTooFewPoints) {
    const struct {
        std::vector<double> x, y;
        double m, b, err, tolerance;
    } cases[] = {
        {{241, 662}, {7960, 21960}, 14000.0 / 421.0, -22840.0 / 421.0, 0.0, 1e-9},
        {{1, 2, 3}, {2, 4, 7}, 2.5, -2.0 / 3.0, 1.0 / 18.0, 1e-12},
    };
    for (const auto& c : cases) {
        std::vector<double> fitted(c.x.size(), -1.0);
        double m = 0.0, b = 0.0, err = -1.0;
        ASSERT_EQ(LinFit(c.x.data(), c.y.data(), static_cast<int>(c.x.size()), fitted.data(), &m,
                         &b, &err),
                  0);
        EXPECT_NEAR(m, c.m, 1e-12);
        EXPECT_NEAR(b, c.b, c.tolerance);
        EXPECT_NEAR(err, c.err, 1e-12);
        // The fitted values lie on that line.
        for (std::size_t i = 0; i < fitted.size(); ++i) {
            EXPECT_NEAR(fitted[i], c.m * c.x[i] + c.b, c.tolerance) << i;
        }
    }
    // Equal x values give a non-finite line (checked where the pop-up fits).
    const double x[2] = {5.0, 5.0}, y[2] = {1.0, 2.0};
    double fitted[2] = {9.0, 9.0};
    double m = 7.0, b = 8.0, err = 6.0;
    for (const int n : {1, 0, -1, INT_MIN}) {
        EXPECT_EQ(LinFit(x, y, n, fitted, &m, &b, &err), kFitTooFewPoints) << n;
        EXPECT_EQ((std::array<double, 5>{fitted[0], fitted[1], m, b, err}),
                  (std::array<double, 5>{9.0, 9.0, 7.0, 8.0, 6.0}));
    }
}

// Every shift of five values, and the strip chart's history of 500 moved by
// one answer, into a separate array and in place; copying; rejected
// arguments.
TEST(ArrayHelpers, ShiftAndCopyOrRejectWithTheOutputUntouched) {
    std::vector<std::pair<int, int>> cases = {{500, -5}};
    for (int s = -4; s <= 4; ++s) {
        cases.emplace_back(5, s);
    }
    for (const auto& [n, s] : cases) {
        std::vector<double> in(n), expected(n, 0.0), out(n, -1.0);
        for (int i = 0; i < n; ++i) {
            in[i] = i + 1;
            if (i - s >= 0 && i - s < n) {
                expected[i] = i - s + 1;
            }
        }
        ASSERT_EQ(Shift(in.data(), n, s, out.data()), 0);
        EXPECT_EQ(out, expected) << n << " by " << s;
        ASSERT_EQ(Shift(in.data(), n, s, in.data()), 0);
        EXPECT_EQ(in, expected) << n << " by " << s << " in place";
    }

    // Copying, and rejected arguments that leave the output untouched.
    using Five = std::array<double, 5>;
    const Five abcde = {1.0, 2.0, 3.0, 4.0, 5.0};
    const Five sentinel = {9.0, 9.0, 9.0, 9.0, 9.0};
    Five out{};
    ASSERT_EQ(Copy1D(abcde.data(), 5, out.data()), 0);
    EXPECT_EQ(out, abcde);
    for (const int s : {5, -5, 6, INT_MAX, INT_MIN}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), 5, s, out.data()), kShiftTooFar) << s;
        EXPECT_EQ(out, sentinel);
    }
    for (const int n : {0, -1, -3}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), n, 0, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(Copy1D(abcde.data(), n, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(out, sentinel);
    }
}

} // namespace
} // namespace korven
