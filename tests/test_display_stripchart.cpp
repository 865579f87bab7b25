// The strip chart of the last 100 answers: history, band traces, the
// analogue trace, the zoom window and the trace set-up.
#include "display/gui.h"
#include "support/bed.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace korven {
namespace {

class StripChart : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        tVal = 500;
        tTol = 50;
        Mvalue = 510;
        anaMode = 0;
    }

    rt::headless::GraphState& Raw() { return bed().graph(pHandle, PANEL_GRAPH_RAW); }
    // Trace values of the newest answer as handed to the chart.
    std::vector<double> Newest() {
        const auto& data = Raw().lastStripData;
        EXPECT_EQ(data.size(), 500u);
        if (data.size() != 500u) {
            return {};
        }
        return {data.begin() + 495, data.end()};
    }
    void Zoom(int on) { SetCtrlVal(pHandle, PANEL_TOGGBTN_Zoom, on); }
    std::pair<double, double> YRange() { return {Raw().yAxis.min, Raw().yAxis.max}; }
};

TEST_F(StripChart, HistoryMovesOneAnswerPerCall) {
    PlotRAWGraphX8();
    Mvalue = 520;
    PlotRAWGraphX8();
    const auto& data = Raw().lastStripData;
    ASSERT_EQ(data.size(), 500u);
    EXPECT_EQ(std::vector<double>(data.begin() + 490, data.begin() + 495),
              (std::vector<double>{550, 450, 500, 510, 510}));
    EXPECT_EQ(Newest(), (std::vector<double>{550, 450, 500, 520, 520}));
    EXPECT_EQ(data[489], 0.0); // the first run fills in from the right
    EXPECT_EQ(Raw().stripCalls, 2);
    EXPECT_EQ(Raw().traceColors,
              (std::map<int, int>{
                  {1, 0x008000}, {2, 0x008000}, {3, 0x000000}, {4, 0xFF0000}, {5, 0xFF0000}}));
    ASSERT_EQ(Raw().traces.size(), 5u);
    EXPECT_EQ(Raw().traces[3].back(), 520.0);
    // A screen shows the answers of the history and no older point.
    EXPECT_EQ(Raw().traces[3].size(), 100u);
    EXPECT_EQ(Raw().traces[3].front(), data[3]);

    // After 100 more answers the first two have left the window.
    for (int i = 0; i < 99; ++i) {
        PlotRAWGraphX8();
    }
    EXPECT_EQ(arrayNORM[0], 550.0);
    EXPECT_EQ(arrayNORM[3], 520.0);
}

TEST_F(StripChart, BandTracesStayOnTheLine) {
    tVal = 10;
    tTol = 30;
    PlotRAWGraphX8();
    EXPECT_EQ(Newest(), (std::vector<double>{40, 1, 10, 510, 510}));

    ccdmaxpixelX8 = 8192;
    tVal = 8162; // the upper band end falls on the last pixel + 1
    PlotRAWGraphX8();
    EXPECT_EQ(Newest()[0], 8191.0);
    EXPECT_EQ(Newest()[1], 8132.0);
}

TEST_F(StripChart, AnalogueTraceFollowsOutputMode) {
    ccdmaxpixelX8 = 8192;
    anaMax = 900;
    anaMin = 300;
    const struct {
        u16 mode;
        double expected;
    } modes[] = {{0, 510}, {5, 900}, {6, 300}, {8, 0}};
    for (const auto& m : modes) {
        anaMode = m.mode;
        PlotRAWGraphX8();
        EXPECT_EQ(Newest()[4], m.expected) << "anaMode " << m.mode;
    }
    // A minimum still at its reset value is shown as 1.
    anaMode = 3;
    anaMin = 8191;
    PlotRAWGraphX8();
    EXPECT_EQ(Newest()[4], 1.0);
}

TEST_F(StripChart, ZoomWindowAroundTheSetPoint) {
    ccdmaxpixelX8 = 8192;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(0.0, 8192.0)); // zoom off: whole range

    Zoom(1);
    tTol = 19;
    Mvalue = 500;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(460.0, 540.0));
    Mvalue = 600;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(460.0, 650.0));
    Mvalue = 400;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(350.0, 540.0));

    tTol = 20;
    Mvalue = 500;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(460.0, 540.0));
    Mvalue = 600;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(460.0, 700.0));
    Mvalue = 400;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(300.0, 540.0));

    // Held on the line at both ends.
    tVal = 8170;
    Mvalue = 8170;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(8130.0, 8191.0));
    tVal = 30;
    Mvalue = 30;
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(1.0, 70.0));

    Zoom(0);
    PlotRAWGraphX8();
    EXPECT_EQ(YRange(), std::make_pair(0.0, 8192.0));
}

} // namespace
} // namespace korven
