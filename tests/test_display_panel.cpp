// Moving the parameter set between globals and panels: the range repair,
// the fixed-point calibration words and the marks drawn on the way back.
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korven {
namespace {

class PanelExchange : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        ccdtype = 2;
        ccdsubpixel = 1024;
        ccdmaxpixelX8 = 8192;
        ccdpixE = 1024;
    }

    double Shown(int panel, int control) { return bed().doubleValue(panel, control); }
    // Puts a value into a pop-up control as if the operator had typed it,
    // without the control's own range.
    void Type(int control, double value) {
        bed().ctrl(pPopup, control).value = rt::Value::ofDouble(value);
    }
};

TEST_F(PanelExchange, RepairTableBoundaries) {
    struct Row {
        const char* name;
        u16* global;
        u16 in;
        u16 out;
    };
    const Row rows[] = {
        {"power", &power, 1000, 1000},
        {"power", &power, 1001, 500},
        {"rs232Mode", &rs232Mode, 1, 1},
        {"rs232Mode", &rs232Mode, 2, 0},
        {"vThd", &vThd, 10, 50},
        {"vThd", &vThd, 50, 50},
        {"vThd", &vThd, 950, 950},
        {"vThd", &vThd, 1000, 950},
        {"anaMode", &anaMode, 7, 7},
        {"anaMode", &anaMode, 8, 0},
        {"polarity", &polarity, 2, 1},
        {"eMode", &eMode, 3, 3},
        {"eMode", &eMode, 4, 4},
        {"eMode", &eMode, 9, 4},
        {"tTol", &tTol, 0, 1},
        {"tTol", &tTol, 8192, 8192},
        {"tTol", &tTol, 8193, 8192},
        {"deltaTol", &deltaTol, 0, 1},
        {"deltaTol", &deltaTol, 1025, 1024},
        {"eBeg", &eBeg, 0, 0},
        {"eBeg", &eBeg, 1024, 1024},
        {"eBeg", &eBeg, 1025, 1},
        {"eEnd", &eEnd, 0, 1},
        {"eEnd", &eEnd, 1025, 1024},
        {"eHardware", &eHardware, 4, 3},
        {"average", &average, 1024, 1024},
        {"average", &average, 1025, 1024},
        {"slope", &slope, 65534, 65534},
        {"slope", &slope, 65535, 1024},
        {"intersect", &intersect, 60000, 60000},
        {"intersect", &intersect, 60001, 30000},
    };
    for (const Row& row : rows) {
        StoreDefaults();
        *row.global = row.in;
        SetPanelValues();
        EXPECT_EQ(*row.global, row.out) << row.name << " " << row.in;
    }
}

TEST_F(PanelExchange, RepairedValuesReachEveryDisplay) {
    vThd = 10;
    tTol = 0;
    eMode = 9;
    SetPanelValues();
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMVideoThreshold), 50);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NEDITTolerance), 1);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 1);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 4);
    for (u16 level : thdArray) {
        ASSERT_EQ(level, 50);
    }
    // The threshold line is redrawn at the repaired value.
    const auto& video = bed().graph(pHandle, PANEL_GRAPH_VIDEO);
    ASSERT_EQ(video.plots.size(), 2u);
    EXPECT_EQ(video.plots[1].y[0], 50.0);
}

TEST_F(PanelExchange, CalibrationWordsShownInUnits) {
    slope = 65535; // an erased word
    intersect = 60001;
    SetPanelValues();
    EXPECT_EQ(Shown(pPopup, POPUP_NUMSlope), 1.0);
    EXPECT_EQ(Shown(pPopup, POPUP_NUMOffset), 0.0);

    ccdtype = 104;
    slope = 65535;
    intersect = 60000;
    SetPanelValues();
    EXPECT_EQ(Shown(pPopup, POPUP_NUMSlope), 2.0);
    EXPECT_EQ(Shown(pPopup, POPUP_NUMOffset), 30000.0);

    intersect = 0;
    SetPanelValues();
    EXPECT_EQ(Shown(pPopup, POPUP_NUMOffset), -30000.0);
}

TEST_F(PanelExchange, PanelCalibrationValuesToFixedPoint) {
    const struct {
        u16 type;
        double slopeIn, offsetIn;
        u16 slopeOut, intersectOut;
    } rows[] = {
        {104, 1.25, 0.0, 640, 30000},     {2, 1.25, 0.0, 1280, 30000},
        {2, 1.23456, -12.7, 1264, 29987}, {2, 1.0, 12.7, 1024, 30012},
        {2, 0.0, -30001.0, 0, 65535},     {2, 70.0, 40000.0, 6144, 4464},
    };
    for (const auto& row : rows) {
        ccdtype = row.type;
        Type(POPUP_NUMSlope, row.slopeIn);
        Type(POPUP_NUMOffset, row.offsetIn);
        GetPanelValues();
        EXPECT_EQ(slope, row.slopeOut) << row.slopeIn << " type " << row.type;
        EXPECT_EQ(intersect, row.intersectOut) << row.offsetIn;
    }

    // Not a number, or too large to convert: the words stay as they were.
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), 1e30};
    for (const double value : bad) {
        slope = 777;
        intersect = 31000;
        Type(POPUP_NUMSlope, value);
        Type(POPUP_NUMOffset, -value);
        GetPanelValues();
        EXPECT_EQ(slope, 777) << value;
        EXPECT_EQ(intersect, 31000) << value;
    }
}

TEST_F(PanelExchange, PanelRoundTripKeepsTheParameterSet) {
    power = 812;
    rs232Mode = 1;
    vThd = 333;
    anaMode = 5;
    polarity = 0;
    eMode = 2;
    eBeg = 17;
    eEnd = 999;
    tVal = 432;
    tTol = 25;
    opMode = 1;
    eHardware = 2;
    slope = 1100;
    intersect = 29876;
    average = 64;
    deltaTol = 12;
    SetPanelValues();
    CopyVarsToPP();
    u16 before[PNUM];
    std::copy(std::begin(pp), std::end(pp), before);

    power = rs232Mode = vThd = anaMode = polarity = eMode = eBeg = eEnd = 0;
    tVal = tTol = opMode = eHardware = slope = intersect = average = deltaTol = 0;
    GetPanelValues();
    CopyVarsToPP();
    for (int k = 0; k < PNUM; ++k) {
        EXPECT_EQ(pp[k], before[k]) << "word " << k;
    }
}

TEST_F(PanelExchange, EdgeGraphMarksAfterWriteBack) {
    tVal = 5;
    tTol = 10;
    eBeg = 40;
    eEnd = 900;
    SetPanelValues();
    auto& edges = bed().graph(pHandle, PANEL_GRAPH_EDGES);
    EXPECT_EQ(edges.xAxis.min, 1.0);
    EXPECT_EQ(edges.xAxis.max, 1024.0);
    EXPECT_EQ(edges.cursors[1].x, 40.0);
    EXPECT_EQ(edges.cursors[2].x, 900.0);
    EXPECT_EQ(edges.cursors[2].y, 0.75);
    ASSERT_EQ(edges.plots.size(), 2u);
    const auto& grey = edges.plots[0];
    EXPECT_EQ(grey.color, 0xA0A0A0);
    EXPECT_EQ(grey.fillColor, 0xA0A0A0);
    EXPECT_EQ(grey.x2, 8192.0);
    EXPECT_EQ(grey.y2, 1.0);
    const auto& band = edges.plots[1];
    EXPECT_EQ(band.color, 0x00FF00);
    EXPECT_EQ(band.x1, -5.0); // drawn as computed, left of the axis
    EXPECT_EQ(band.x2, 15.0);
    EXPECT_EQ(band.y2, 0.25);
}

} // namespace
} // namespace korven
