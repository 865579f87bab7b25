// The edge graph, the indicators and the video curve drawn for
// representative measurement answers.
#include "display/gui.h"
#include "support/bed.h"

#include <gtest/gtest.h>

#include <vector>

namespace korven {
namespace {

using rt::headless::PlotItem;

struct Band {
    double x1, x2;
    double y1, y2;
    bool operator==(const Band&) const = default;
};

void PrintTo(const Band& b, std::ostream* os) {
    *os << "[" << b.x1 << ".." << b.x2 << " x " << b.y1 << ".." << b.y2 << "]";
}

class EdgeDisplay : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        ccdsubpixel = 1024;
        pixB = 1;
        pixE = 1024;
        eBeg = 11;
        eEnd = 1001;
    }

    rt::headless::GraphState& Edges() { return bed().graph(pHandle, PANEL_GRAPH_EDGES); }

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
    std::vector<Band> Red() { return Bands(0xFF0000); }
    std::vector<Band> Green() { return Bands(0x00FF00); }

    double Cursor(int n) {
        const auto& c = Edges().cursors[n - 1];
        EXPECT_TRUE(c.placed) << "cursor " << n;
        EXPECT_EQ(c.y, 0.75) << "cursor " << n;
        return c.x;
    }

    void Answer(u16 left, u16 right, u16 edges, u16 start = 0, u16 end = 0) {
        Ledge = left;
        Redge = right;
        edcnt = edges;
        mvstart = start;
        mvend = end;
    }
};

TEST_F(EdgeDisplay, MeasuredPositionFollowsEvaluationModeAndWindow) {
    Answer(300, 701, 2);
    const struct {
        u16 mode;
        double expected;
    } modes[] = {{0, 300}, {1, 701}, {2, 500}, {3, 500}, {4, 500}};
    for (const auto& m : modes) {
        eMode = m.mode;
        PlotVIDEOBarGraph();
        EXPECT_EQ(Cursor(1), m.expected) << "eMode " << m.mode;
    }
    EXPECT_EQ(Cursor(2), 11);
    EXPECT_EQ(Cursor(3), 1001);
    EXPECT_EQ(Edges().xAxis.mode, VAL_MANUAL);
    EXPECT_EQ(Edges().xAxis.min, 1.0);
    EXPECT_EQ(Edges().xAxis.max, 1024.0);

    // Middle of both edges with one edge missing: the lowest allowed pixel.
    eMode = 3;
    Answer(0, 701, 1);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Cursor(1), 1);
    pixB = 40;
    PlotVIDEOBarGraph();
    EXPECT_EQ(Cursor(1), 40);

    // Outside the allowed window: shown at its ends, and never beyond the line.
    eMode = 0;
    Answer(20, 900, 2);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Cursor(1), 40);
    eMode = 1;
    pixE = 800;
    PlotVIDEOBarGraph();
    EXPECT_EQ(Cursor(1), 800);
    pixE = 8192;
    Answer(20, 2000, 2);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Cursor(1), 1024);
}

TEST_F(EdgeDisplay, RedBandsCoverTheShadowedStretches) {
    eMode = 1;
    Answer(300, 0, 1, 10, 20);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Red(), (std::vector<Band>{{300, 1024, 0.25, 1.0}}));

    Answer(300, 0, 1, 20, 10);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Red(), (std::vector<Band>{{1, 300, 0.25, 1.0}}));

    Answer(300, 0, 1, 15, 15);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Red(), (std::vector<Band>{{1, 300, 0.25, 1.0}}));

    // Two edges: both outer stretches, the gap between them unpainted. Every
    // call starts from an empty graph.
    Answer(300, 700, 2);
    PlotVIDEOBarGraph();
    EXPECT_EQ(Red(), (std::vector<Band>{{1, 300, 0.25, 1.0}, {700, 1024, 0.25, 1.0}}));
    EXPECT_EQ(Edges().plots.size(), 3u); // two red, one green
    EXPECT_EQ(Edges().lastDeleteRefresh, VAL_NO_DRAW);
}

TEST_F(EdgeDisplay, GreenBandsAroundTheExpectedEdges) {
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
        EXPECT_EQ(Green(), expected) << "mode " << c.mode << ", tVal " << c.tVal;
        // Drawn after the two red bands, which are there in every case.
        ASSERT_EQ(Edges().plots.size(), 2 + expected.size());
        EXPECT_EQ(Red().size(), 2u);
    }
}

TEST_F(EdgeDisplay, IndicatorsAndLiveCalibrationValue) {
    Answer(300, 700, 2);
    Mvalue = 412;
    umValue = -7;
    tTol = 55;
    anaMax = 900;
    anaMin = 1023;
    PlotVIDEOBarGraph();
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMLedge), 300);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMRedge), 700);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMMValue), 412);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMMValueB), 412);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMUmValue), -7);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 55);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMax), 900);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMin), 1);
    EXPECT_EQ(anaMin, 1);

    // The raw value goes only to the calibration step that is switched on.
    SetCtrlVal(pPopup, POPUP_CheckStep2, 1);
    PlotVIDEOBarGraph();
    EXPECT_EQ(bed().intValue(pPopup, POPUP_NUMPixel1), 0);
    EXPECT_EQ(bed().intValue(pPopup, POPUP_NUMPixel2), 412);
    SetCtrlVal(pPopup, POPUP_CheckStep2, 0);
    SetCtrlVal(pPopup, POPUP_CheckStep1, 1);
    Mvalue = 413;
    PlotVIDEOBarGraph();
    EXPECT_EQ(bed().intValue(pPopup, POPUP_NUMPixel1), 413);
    EXPECT_EQ(bed().intValue(pPopup, POPUP_NUMPixel2), 412);
}

TEST_F(EdgeDisplay, VideoCurveAndThresholdLine) {
    YAXISMAX = 256;
    for (int i = 0; i < 256; ++i) {
        adcbuf[i] = static_cast<u16>(i);
        xArray8[i] = 4.0 * i;
        thdArray[i] = 128;
    }
    PlotVIDEOCurve(adcbuf, xArray8);
    PlotVIDEOCurve(adcbuf, xArray8); // redrawn, not added

    auto& video = bed().graph(pHandle, PANEL_GRAPH_VIDEO);
    EXPECT_EQ(video.yAxis.mode, VAL_MANUAL);
    EXPECT_EQ(video.yAxis.min, 0.0);
    EXPECT_EQ(video.yAxis.max, 256.0);
    EXPECT_EQ(video.lastDeleteRefresh, VAL_DELAYED_DRAW);
    ASSERT_EQ(video.plots.size(), 2u);
    const PlotItem& curve = video.plots[0];
    const PlotItem& threshold = video.plots[1];
    EXPECT_EQ(curve.color, 0xFF0000);
    EXPECT_EQ(threshold.color, 0x008000);
    for (const PlotItem* p : {&curve, &threshold}) {
        ASSERT_EQ(p->x.size(), 256u);
        ASSERT_EQ(p->y.size(), 256u);
        EXPECT_EQ(p->plotStyle, VAL_FAT_LINE);
        EXPECT_EQ(p->x[255], 1020.0);
    }
    EXPECT_EQ(curve.y[200], 200.0);
    EXPECT_EQ(threshold.y[17], 128.0);
}

} // namespace
} // namespace korven
