// The continuous loops after a passing fault of the sensor: once the sensor
// answers soundly again, the run sequence and the live video loop must show
// what it sends - its edges, its measured value and its video line - and
// not bytes shifted by the fault.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korven {
namespace {

using test::Bed;
using test::SimPeer;

class FaultyLoops : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
    }
    void Connect(SimPeer& sensor) {
        bed().attachPeer(1, &sensor);
        InitRS232(1);
        ASSERT_EQ(Status(), sensor.model().preset().firmware);
    }
    // Runs the loop behind `button`; the sensor misbehaves with `faults`
    // from 0.5 s to `faultEnd` s, then answers soundly until the operator
    // stops the loop at 20 s.
    void RunWithPassingFault(SimPeer& sensor, int button, const sim::Faults& faults,
                             double faultEnd) {
        const double start = bed().now();
        bed().at(start + 0.5, [&sensor, faults] { sensor.faults() = faults; });
        bed().at(start + faultEnd, [&sensor] { sensor.faults() = sim::Faults{}; });
        bed().at(start + 20.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
        ASSERT_TRUE(bed().pressKey(pHandle, button));
        EXPECT_GE(bed().now() - start, 20.0) << "the loop ended early";
    }
    // Word 0 (left edge) of the sensor's last run answers, newest first.
    static std::vector<int> LastLeftEdges(const SimPeer& sensor, std::size_t count) {
        std::vector<int> edges;
        const auto& answers = sensor.answers();
        for (auto it = answers.rbegin(); it != answers.rend() && edges.size() < count; ++it) {
            if (it->command == CMD_RUN) {
                edges.push_back(it->bytes[4] * 256 + it->bytes[5]);
            }
        }
        return edges;
    }
    // The samples of the sensor's last complete line of video blocks.
    static std::vector<int> LastLine(const SimPeer& sensor) {
        const bool fourBlocks = pcbtype == 0 || pcbtype == 100;
        std::vector<const sim::Output*> blocks;
        const auto& answers = sensor.answers();
        for (auto it = answers.rbegin(); it != answers.rend(); ++it) {
            if (it->command == (fourBlocks ? CMD_DATA64 : CMD_DATA256_OR_RESET)) {
                blocks.insert(blocks.begin(), &*it);
                if (blocks.size() == (fourBlocks ? 4u : 1u)) {
                    break;
                }
            }
        }
        std::vector<int> samples;
        for (const sim::Output* block : blocks) {
            const int n = fourBlocks ? 64 : 256;
            for (int i = 0; i < n; ++i) {
                samples.push_back(block->bytes[2 * i] * 256 + block->bytes[2 * i + 1]);
            }
        }
        return samples;
    }
    // Switches the port at many points of a loop's cycle, back and forth
    // between two sensors.
    void SwitchPortsDuringLoops(int button) {
        SimPeer first("type2-res350");
        SimPeer second("type4");
        Connect(first);
        bed().attachPeer(2, &second);
        int port = 1;
        for (double at = 0.30; at < 1.0; at += 0.037) {
            SCOPED_TRACE("switch at " + std::to_string(at));
            const int next = port == 1 ? 2 : 1;
            SimPeer& target = next == 1 ? first : second;
            const std::size_t asked = target.frames().size();
            const double start = bed().now();
            bed().at(start + at, [this, next] {
                bed().operate(pHandle, PANEL_DropDCom, rt::Value::ofInt(next));
            });
            ASSERT_TRUE(bed().pressKey(pHandle, button));
            EXPECT_LT(bed().now() - start, at + 10.0);
            EXPECT_EQ(com, next);
            EXPECT_FALSE(bed().portOpen(port));
            EXPECT_EQ(stop_flag, 1);
            EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_A));
            EXPECT_TRUE(bed().notificationInstalled(next));
            EXPECT_EQ(bed().notificationMask(next), eventMask);
            // The connection sequence ran on the new port.
            const std::vector<int> commands = target.commands();
            ASSERT_GE(commands.size(), asked + 4);
            EXPECT_EQ(commands[asked], CMD_ECHO);
            port = next;
            bed().advance(2.0);
        }
        // The last port serves the next loop as usual.
        SimPeer& last = port == 1 ? first : second;
        const double start = bed().now();
        bed().at(start + 3.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
        ASSERT_TRUE(bed().pressKey(pHandle, button));
        EXPECT_GE(bed().now() - start, 3.0);
        const std::vector<int> edges = LastLeftEdges(last, 2);
        ASSERT_EQ(edges.size(), 2u);
        EXPECT_TRUE(Ledge == edges[0] || Ledge == edges[1]) << Ledge;
        bed().attachPeer(1, nullptr);
        bed().attachPeer(2, nullptr);
    }
    static std::vector<int> Shown() {
        return std::vector<int>(std::begin(adcbuf), std::end(adcbuf));
    }
};

TEST_F(FaultyLoops, VideoLoopGoesOnThroughLateBlocksAndThenShowsTheSensorsLine) {
    for (const double late : {1.0, 1.6}) {
        SCOPED_TRACE("blocks late by " + std::to_string(late) + " s");
        SimPeer sensor("type2-res350"); // board 100: four blocks a line
        Connect(sensor);
        sim::Faults faults;
        faults.lateSeconds = late;
        faults.command = CMD_DATA64;
        RunWithPassingFault(sensor, PANEL_BTNVideo, faults, 4.0);
        EXPECT_EQ(Shown(), LastLine(sensor));
        EXPECT_EQ(Ledge, LastLeftEdges(sensor, 1).at(0));
    }
}

// Blocks so late that they arrive during a later exchange may cost that
// exchange its answer; the loop then ends with its time-out. If it goes on,
// it must show the sensor's line once the sensor is sound again.
TEST_F(FaultyLoops, VideoLoopAfterVeryLateBlocksEndsOrShowsTheSensorsLine) {
    SimPeer sensor("type2-res350");
    Connect(sensor);
    const double start = bed().now();
    sim::Faults faults;
    faults.lateSeconds = 3.0;
    faults.command = CMD_DATA64;
    bed().at(start + 0.5, [&sensor, faults] { sensor.faults() = faults; });
    bed().at(start + 4.0, [&sensor] { sensor.faults() = sim::Faults{}; });
    bed().at(start + 20.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
    ASSERT_TRUE(bed().pressKey(pHandle, PANEL_BTNVideo));
    EXPECT_EQ(stop_flag, 1);
    EXPECT_TRUE(bed().notificationInstalled(1));
    if (bed().now() - start < 20.0) {
        EXPECT_EQ(bed().text(pHandle, PANEL_STATUS), "Timeout RS232-Line!");
    } else {
        EXPECT_EQ(Shown(), LastLine(sensor));
        EXPECT_EQ(Ledge, LastLeftEdges(sensor, 1).at(0));
    }
}

// A run answer that came with a few bytes too many for a while must not
// shift every answer after it: the sequence lets such bytes pass before its
// next request, and once the sensor is sound again it shows what it sends.
TEST_F(FaultyLoops, RunSequenceFallsBackIntoStepAfterAnswersWithExtraBytes) {
    SimPeer sensor("type2-res350");
    Connect(sensor);
    sim::Faults faults;
    faults.extraBytes = 4;
    faults.command = CMD_RUN;
    RunWithPassingFault(sensor, PANEL_BTNRun, faults, 2.0);
    // The last answer may have arrived after the stop: either of the last
    // two is what the display must show.
    const std::vector<int> edges = LastLeftEdges(sensor, 2);
    ASSERT_EQ(edges.size(), 2u);
    EXPECT_TRUE(Ledge == edges[0] || Ledge == edges[1])
        << "shown " << Ledge << ", sensor sent " << edges[1] << " then " << edges[0];
}

// The same for the video loop: after blocks that came with extra bytes for a
// few seconds, the line and the run answer shown are the sensor's latest.
TEST_F(FaultyLoops, VideoLoopFallsBackIntoStepAfterBlocksWithExtraBytes) {
    for (const char* preset : {"type2-res350", "type4"}) { // four blocks; one block
        SCOPED_TRACE(preset);
        SimPeer sensor(preset);
        Connect(sensor);
        sim::Faults faults;
        faults.extraBytes = 37;
        faults.command = pcbtype == 100 ? CMD_DATA64 : CMD_DATA256_OR_RESET;
        RunWithPassingFault(sensor, PANEL_BTNVideo, faults, 5.0);
        EXPECT_EQ(Shown(), LastLine(sensor));
        EXPECT_EQ(Ledge, LastLeftEdges(sensor, 1).at(0));
    }
}

// The port selector stays usable while a loop runs: switching the port
// pulls the line from under whatever step the loop is in. At every point of
// a cycle the loop must end, the new sensor must be identified, and the
// next loop must run on the new port with the notification in place.
TEST_F(FaultyLoops, PortSwitchAtAnyPointOfAVideoCycleEndsTheLoopCleanly) {
    SwitchPortsDuringLoops(PANEL_BTNVideo);
}

TEST_F(FaultyLoops, PortSwitchAtAnyPointOfARunCycleEndsTheLoopCleanly) {
    SwitchPortsDuringLoops(PANEL_BTNRun);
}

} // namespace
} // namespace korven
