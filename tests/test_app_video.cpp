// The live video loop against the virtual sensor on both board kinds, its
// time-out, stopping it, and its guard against a second start.
#include "app/KORVENDarir23.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using test::Bed;
using test::LinePeer;
using test::SimPeer;

class VideoLoop : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
    }
    void Operate(int control, int value) { bed().operate(pHandle, control, Value::ofInt(value)); }
    // Connects and identifies the sensor as at start-up.
    void Connect(SimPeer& sensor) {
        bed().attachPeer(1, &sensor);
        InitRS232(1);
        ASSERT_EQ(Status(), sensor.model().preset().firmware);
    }
    // What the operator sees while the loop runs, taken at one moment.
    struct Seen {
        bool videoDimmed = false, runDimmed = false, stopDimmed = true, targetsDimmed = false;
        bool rawVisible = true, videoVisible = false;
    };
    void WatchAt(double t, Seen& seen) {
        bed().at(t, [this, &seen] {
            seen.videoDimmed = bed().isDimmed(pHandle, PANEL_BTNVideo);
            seen.runDimmed = bed().isDimmed(pHandle, PANEL_BTNRun);
            seen.stopDimmed = bed().isDimmed(pHandle, PANEL_BTNStop);
            seen.targetsDimmed = bed().isDimmed(pHandle, PANEL_RBTEeprom);
            seen.rawVisible = bed().isVisible(pHandle, PANEL_GRAPH_RAW);
            seen.videoVisible = bed().isVisible(pHandle, PANEL_GRAPH_VIDEO);
        });
    }
    void ExpectLoopEndedCleanly() {
        EXPECT_EQ(stop_flag, 1);
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_BTNVideo));
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_RBTFile));
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_TOGGBTN_Zoom));
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
        EXPECT_EQ(bed().inputQueueLength(1), 0);
    }
};

TEST_F(VideoLoop, FourBlockBoardReadsFourFlaggedBlocksEachCycleUntilStopped) {
    SimPeer sensor; // board 100
    Connect(sensor);
    Operate(PANEL_RBTEeprom, 1);
    const std::size_t before = sensor.frames().size();
    Seen seen;
    WatchAt(bed().now() + 0.5, seen);
    bed().at(bed().now() + 1.0, [this] { bed().click(pHandle, PANEL_BTNStop); });

    bed().pressKey(pHandle, PANEL_BTNVideo);

    EXPECT_TRUE(seen.videoDimmed);
    EXPECT_TRUE(seen.runDimmed);
    EXPECT_TRUE(seen.targetsDimmed);
    EXPECT_FALSE(seen.stopDimmed);
    EXPECT_FALSE(seen.rawVisible);
    EXPECT_TRUE(seen.videoVisible);
    ExpectLoopEndedCleanly();
    // The loop measures with RAM, whatever was selected.
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_RBTRam), 1);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_RBTEeprom), 0);

    // Whole cycles only: run, then four blocks with their first sample and
    // last-block flag; the stop takes effect after the current cycle.
    const auto& frames = sensor.frames();
    const std::size_t cycleFrames = frames.size() - before;
    ASSERT_GE(cycleFrames, 10u);
    EXPECT_EQ(cycleFrames % 5, 0u);
    for (std::size_t i = before; i < frames.size(); i += 5) {
        EXPECT_EQ(LinePeer::commandOf(frames[i]), 8);
        for (int b = 0; b < 4; ++b) {
            const auto& block = frames[i + 1 + static_cast<std::size_t>(b)];
            EXPECT_EQ(LinePeer::commandOf(block), 9);
            EXPECT_EQ(LinePeer::wordOf(block, 0), 64 * b);
            EXPECT_EQ(LinePeer::wordOf(block, 1), b == 3 ? 1 : 0);
        }
    }

    // The last line is drawn against the sub-pixel positions.
    const auto& video = bed().graph(pHandle, PANEL_GRAPH_VIDEO);
    ASSERT_EQ(video.plots.size(), 2u);
    EXPECT_EQ(video.plots[0].y.size(), 256u);
    EXPECT_DOUBLE_EQ(video.plots[0].x[255], xArray8[255]);
    EXPECT_TRUE(std::any_of(std::begin(adcbuf), std::end(adcbuf), [](u16 v) { return v != 0; }));
    EXPECT_EQ(video.xAxis.mode, VAL_MANUAL);
    EXPECT_DOUBLE_EQ(video.xAxis.min, 1.0);
    EXPECT_DOUBLE_EQ(video.xAxis.max, ccdpixE);
    // The last answer is on the indicators.
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMMValue), Mvalue);
    EXPECT_NE(Ledge, 0);
}

TEST_F(VideoLoop, OtherBoardsReadOneBlockOfAllSamples) {
    SimPeer sensor("type2-res250"); // board 200
    Connect(sensor);
    const std::size_t before = sensor.frames().size();
    bed().at(bed().now() + 0.6, [this] { bed().click(pHandle, PANEL_BTNStop); });

    bed().pressKey(pHandle, PANEL_BTNVideo);

    ExpectLoopEndedCleanly();
    const auto& frames = sensor.frames();
    ASSERT_GE(frames.size() - before, 4u);
    EXPECT_EQ((frames.size() - before) % 2, 0u);
    for (std::size_t i = before; i < frames.size(); i += 2) {
        EXPECT_EQ(LinePeer::commandOf(frames[i]), 8);
        EXPECT_EQ(LinePeer::commandOf(frames[i + 1]), 11);
        for (int k = 0; k < 16; ++k) {
            EXPECT_EQ(LinePeer::wordOf(frames[i + 1], k), 0);
        }
    }
    EXPECT_EQ(Status(), "Data[256] block received!");
}

TEST_F(VideoLoop, SilentSensorEndsTheLoopAfterTheTimeOut) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    const double t0 = bed().now();

    bed().pressKey(pHandle, PANEL_BTNVideo);

    EXPECT_EQ(Status(), "Timeout RS232-Line!");
    EXPECT_GT(bed().now() - t0, 1.5);
    EXPECT_LT(bed().now() - t0, 1.6);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{8}));
    ExpectLoopEndedCleanly();
}

TEST_F(VideoLoop, SecondStartFromInsideTheLoopIsRefused) {
    SimPeer sensor;
    Connect(sensor);
    double nestedTook = -1.0;
    bool buttonsOperable = true;
    bed().at(bed().now() + 0.3, [this, &nestedTook, &buttonsOperable] {
        // The layout keeps both buttons out of reach...
        buttonsOperable =
            bed().pressKey(pHandle, PANEL_BTNVideo) || bed().pressKey(pHandle, PANEL_BTNRun);
        // ...and the callbacks themselves refuse a second loop.
        const double t = bed().now();
        bed().fire(pHandle, PANEL_BTNVideo, EVENT_COMMIT);
        bed().fire(pHandle, PANEL_BTNRun, EVENT_COMMIT);
        nestedTook = bed().now() - t;
    });
    bed().at(bed().now() + 0.6, [this] { bed().click(pHandle, PANEL_BTNStop); });

    bed().pressKey(pHandle, PANEL_BTNVideo);

    EXPECT_FALSE(buttonsOperable);
    EXPECT_GE(nestedTook, 0.0);
    EXPECT_LT(nestedTook, 0.01);
    ExpectLoopEndedCleanly();
}

TEST_F(VideoLoop, ClosingThePanelEndsTheLoop) {
    SimPeer sensor;
    Connect(sensor);
    bed().at(bed().now() + 0.5, [this] { bed().firePanel(pHandle, EVENT_CLOSE); });

    bed().pressKey(pHandle, PANEL_BTNVideo);

    EXPECT_EQ(stop_flag, 1);
    EXPECT_TRUE(bed().quitRequested());
    EXPECT_FALSE(bed().portOpen(1));
    EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_BTNVideo));
}

} // namespace
} // namespace korven
