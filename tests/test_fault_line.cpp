// A noisy or faulty line: floods of unsolicited bytes (the input queue stays
// bounded and the panels stay responsive), every byte value - the
// flow-control characters 0x11 and 0x13, CR, LF and NUL included - crossing
// the line unchanged, on the headless line and through a pseudo-terminal
// served by the virtual sensor; and the continuous loops after a passing
// fault of the sensor or a port switch in the middle of a cycle.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "sim/pty_server.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using test::Bytes;
using test::SimPeer;
using test::Words;

Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng() & 0xFF);
    }
    return bytes;
}

// The 16 data words that carry bytes 32 * round .. 32 * round + 31.
Words RoundWords(int round) {
    Words words;
    for (int k = 0; k < PNUM; ++k) {
        const int high = (32 * round + 2 * k) & 0xFF;
        const int low = (32 * round + 2 * k + 1) & 0xFF;
        words.push_back(static_cast<std::uint16_t>(high << 8 | low));
    }
    return words;
}

// Word 0 (left edge) of the sensor's last run answers, newest first.
std::vector<int> LastLeftEdges(const SimPeer& sensor, std::size_t count) {
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
std::vector<int> LastLine(const SimPeer& sensor) {
    const bool fourBlocks = pcbtype == 0 || pcbtype == 100;
    std::vector<const sim::Output*> blocks;
    const auto& answers = sensor.answers();
    for (auto it = answers.rbegin(); it != answers.rend() && blocks.size() < 4; ++it) {
        if (it->command == (fourBlocks ? CMD_DATA64 : CMD_DATA256_OR_RESET)) {
            blocks.insert(blocks.begin(), &*it);
            if (!fourBlocks) {
                break;
            }
        }
    }
    std::vector<int> samples;
    for (const sim::Output* block : blocks) {
        for (std::size_t i = 0; i < (fourBlocks ? 128u : 512u); i += 2) {
            samples.push_back(block->bytes[i] * 256 + block->bytes[i + 1]);
        }
    }
    return samples;
}

class NoisyLine : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
    }
    void Connect(SimPeer& sensor, int port = 1) {
        bed().attachPeer(port, &sensor);
        InitRS232(port);
        ASSERT_EQ(Status(), sensor.model().preset().firmware);
    }
    // Samples the input queue every 50 ms from `from` to `to`; the largest
    // length seen goes to `largest`.
    void WatchQueue(double from, double to, int& largest) {
        for (double t = from; t < to; t += 0.05) {
            bed().at(t,
                     [this, &largest] { largest = std::max(largest, bed().inputQueueLength(1)); });
        }
    }
    void ExpectLoopEnded(int port) {
        EXPECT_EQ(stop_flag, 1);
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_A));
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_B));
        EXPECT_TRUE(bed().notificationInstalled(port));
        EXPECT_EQ(bed().notificationMask(port), eventMask);
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
    }
    // The display shows what the sensor sent last: its line (video) and its
    // edge. The last run answer may have arrived after the stop: either of
    // the last two is what the display must show.
    void ExpectShowsTheSensor(const SimPeer& sensor, int button) {
        const std::vector<int> edges = LastLeftEdges(sensor, 2);
        ASSERT_EQ(edges.size(), 2u);
        if (button == PANEL_BTNVideo) {
            EXPECT_EQ(std::vector<int>(std::begin(adcbuf), std::end(adcbuf)), LastLine(sensor));
            EXPECT_EQ(Ledge, edges[0]);
        } else {
            EXPECT_TRUE(Ledge == edges[0] || Ledge == edges[1])
                << "shown " << Ledge << ", sensor sent " << edges[1] << " then " << edges[0];
        }
    }
};

// ---- Floods -----------------------------------------------------------------

TEST_F(NoisyLine, FloodWhileIdleKeepsTheQueueSmallAndTheOperatorIsServed) {
    test::LinePeer peer;
    test::OpenLine(bed(), &peer);
    const double start = bed().now();
    bed().injectToHost(1, start, RandomBytes(20000, 11)); // about 10 s of line
    int largest = 0;
    WatchQueue(start, start + 8.0, largest);
    bool served = false;
    bed().at(start + 3.0, [this, &served] {
        served = bed().operate(pHandle, PANEL_RBTEeprom, Value::ofInt(1));
    });
    bed().at(start + 8.0, [] { QuitUserInterface(0); });
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_TRUE(served);
    EXPECT_EQ(target, EEPROM);
    // The notification takes every 36 bytes in; the rest never piles up.
    EXPECT_LT(largest, 2 * kFrameBytes);
    EXPECT_GT(bed().notificationCalls(1), 100);
}

class Loops : public NoisyLine, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(RunAndVideo, Loops, ::testing::Values(PANEL_BTNRun, PANEL_BTNVideo));

TEST_P(Loops, FloodStillLetsStopEndTheLoop) {
    const int button = GetParam();
    SimPeer sensor;
    Connect(sensor);
    const double start = bed().now();
    bed().injectToHost(1, start, RandomBytes(20000, button == PANEL_BTNRun ? 13 : 17));
    int largest = 0;
    WatchQueue(start, start + 4.0, largest);
    bed().at(start + 4.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
    ASSERT_TRUE(bed().pressKey(pHandle, button));
    // A video cycle may still be waiting for an answer or a block; it
    // ends within its time-outs.
    EXPECT_LT(bed().now() - start, button == PANEL_BTNRun ? 4.1 : 4.0 + 5 * (TIMEOUT + 0.1));
    EXPECT_LE(largest, 4096); // the input queue's size
    ExpectLoopEnded(1);
    // The strip chart keeps its fixed history, however many answers came.
    for (const auto& trace : bed().graph(pHandle, PANEL_GRAPH_RAW).traces) {
        EXPECT_LE(trace.size(), 100u);
    }
    if (button == PANEL_BTNVideo) {
        EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots.size(), 2u);
    }
}

// ---- Every byte value -------------------------------------------------------

TEST_F(NoisyLine, EveryByteValuePassesTheHeadlessLineBothWays) {
    // The sensor echoes the data words of each request.
    test::LinePeer peer;
    peer.always(CMD_ECHO, [](const std::vector<std::uint8_t>& frame, double end,
                             rt::headless::PeerLink& link) {
        Bytes answer = frame;
        answer[0] = 0x00;
        answer[1] = 0xAA;
        link.send(end, answer);
    });
    test::OpenLine(bed(), &peer);
    for (int round = 0; round < 8; ++round) {
        const Words words = RoundWords(round);
        std::copy(words.begin(), words.end(), pp);
        CopyPPtoVars();
        ASSERT_EQ(CheckComLine(1), 1) << "round " << round;
        const auto& sent = peer.frames().back();
        for (int k = 0; k < PNUM; ++k) {
            EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(sent, k), words[k]) << round << "/" << k;
            if (k > 0) { // word 0 is replaced by the answer sync word
                EXPECT_EQ(pp[k], words[k]) << round << "/" << k;
            }
        }
    }
    // A raw block of every byte value, twice, read as 256 samples.
    Bytes block;
    for (int i = 0; i < 512; ++i) {
        block.push_back(static_cast<std::uint8_t>(i & 0xFF));
    }
    peer.always(CMD_DATA256_OR_RESET, test::reply::Send(block));
    SilenceRxNotification();
    ReadData256();
    EXPECT_EQ(Status(), "Data[256] block received!");
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(adcbuf[i], ((2 * i) & 0xFF) << 8 | ((2 * i + 1) & 0xFF)) << i;
    }
}

// A plain client on the virtual sensor's pseudo-terminal. It leaves the
// terminal settings as the sensor made them: any translation of CR, LF or
// the flow-control characters would show in the words read back.
TEST(NoisyPty, EveryByteValuePassesTheVirtualSensorsPseudoTerminal) {
    sim::PtyServer server;
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    const int fd = ::open(server.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << server.path();
    // Reads `count` bytes, or what came within `seconds`.
    const auto readFor = [fd](std::size_t count, double seconds) {
        Bytes out;
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (out.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            std::uint8_t buf[256];
            if (::poll(&p, 1, 20) > 0) {
                const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - out.size()));
                out.insert(out.end(), buf, buf + std::max<ssize_t>(n, 0));
            }
        }
        return out;
    };
    for (int round = 0; round < 8; ++round) {
        const Words words = RoundWords(round);
        sim::Words set{};
        std::copy(words.begin(), words.end(), set.begin());
        // Write the words into RAM (no answer), then read them back.
        Bytes frames = sim::SensorModel::commandFrame(sim::kCmdWriteRam, set);
        const Bytes read = sim::SensorModel::commandFrame(sim::kCmdReadRam, sim::Words{});
        frames.insert(frames.end(), read.begin(), read.end());
        ASSERT_EQ(::write(fd, frames.data(), frames.size()), 72);
        const Bytes answer = readFor(36, 3.0);
        ASSERT_EQ(answer.size(), 36u) << "round " << round;
        EXPECT_EQ(sim::SensorModel::wordAt(answer, 0), sim::kAnswerSync);
        for (int k = 0; k < PNUM; ++k) {
            EXPECT_EQ(sim::SensorModel::dataWord(answer, k), words[k]) << round << "/" << k;
        }
    }
    // Nothing more than the answers came back.
    EXPECT_TRUE(readFor(1, 0.1).empty());
    ::close(fd);
    server.stop();
}

// ---- The loops after a passing fault ------------------------------------------

// Once the sensor answers soundly again, the run sequence and the live video
// loop must show what it sends - its edges, its measured value and its video
// line - and not bytes shifted by the fault. The sensor misbehaves from
// 0.5 s to faultEnd, the operator stops the loop at 20 s.
TEST_F(NoisyLine, LoopsFallBackIntoStepAfterAPassingFault) {
    const struct {
        const char* name;
        int button;
        const char* preset; // type2-res350: four blocks a line; type4: one
        double late;
        int extraBytes, command;
        double faultEnd;
    } rows[] = {
        {"blocks late by 1.0 s", PANEL_BTNVideo, "type2-res350", 1.0, 0, CMD_DATA64, 4.0},
        {"blocks late by 1.6 s", PANEL_BTNVideo, "type2-res350", 1.6, 0, CMD_DATA64, 4.0},
        // Blocks so late that they arrive during a later exchange may cost
        // that exchange its answer; the loop then ends with its time-out.
        {"blocks late by 3.0 s", PANEL_BTNVideo, "type2-res350", 3.0, 0, CMD_DATA64, 4.0},
        // The sequence lets extra bytes pass before its next request.
        {"run answers with extra bytes", PANEL_BTNRun, "type2-res350", 0, 4, CMD_RUN, 2.0},
        {"four blocks with extra bytes", PANEL_BTNVideo, "type2-res350", 0, 37, CMD_DATA64, 5.0},
        {"one block with extra bytes", PANEL_BTNVideo, "type4", 0, 37, CMD_DATA256_OR_RESET, 5.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimPeer sensor(row.preset);
        Connect(sensor);
        sim::Faults faults;
        faults.lateSeconds = row.late;
        faults.extraBytes = row.extraBytes;
        faults.command = row.command;
        const double start = bed().now();
        bed().at(start + 0.5, [&sensor, faults] { sensor.faults() = faults; });
        bed().at(start + row.faultEnd, [&sensor] { sensor.faults() = sim::Faults{}; });
        bed().at(start + 20.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
        ASSERT_TRUE(bed().pressKey(pHandle, row.button));
        ExpectLoopEnded(1);
        if (row.late > 2.0 && bed().now() - start < 20.0) {
            EXPECT_EQ(bed().text(pHandle, PANEL_STATUS), "Timeout RS232-Line!");
        } else {
            EXPECT_GE(bed().now() - start, 20.0) << "the loop ended early";
            ExpectShowsTheSensor(sensor, row.button);
        }
        bed().attachPeer(1, nullptr);
    }
}

// The port selector stays usable while a loop runs: switching the port
// pulls the line from under whatever step the loop is in. At every point of
// a cycle the loop must end, the new sensor must be identified, and the
// next loop must run on the new port with the notification in place.
TEST_P(Loops, PortSwitchAtAnyPointOfACycleEndsTheLoopCleanly) {
    const int button = GetParam();
    SimPeer first("type2-res350"), second("type4");
    SimPeer* const sensors[2] = {&first, &second};
    Connect(first);
    bed().attachPeer(2, &second);
    int port = 1;
    for (double at = 0.30; at < 1.0; at += 0.037) {
        SCOPED_TRACE("switch at " + std::to_string(at));
        const int next = 3 - port;
        const std::size_t asked = sensors[next - 1]->frames().size();
        const double start = bed().now();
        bed().at(start + at,
                 [this, next] { bed().operate(pHandle, PANEL_DropDCom, Value::ofInt(next)); });
        ASSERT_TRUE(bed().pressKey(pHandle, button));
        EXPECT_LT(bed().now() - start, at + 10.0);
        EXPECT_EQ(com, next);
        EXPECT_FALSE(bed().portOpen(port));
        ExpectLoopEnded(next);
        // The connection sequence ran on the new port.
        const std::vector<int> commands = sensors[next - 1]->commands();
        ASSERT_GE(commands.size(), asked + 4);
        EXPECT_EQ(commands[asked], CMD_ECHO);
        port = next;
        bed().advance(2.0);
    }
    // The last port serves the next loop as usual.
    const double start = bed().now();
    bed().at(start + 3.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
    ASSERT_TRUE(bed().pressKey(pHandle, button));
    EXPECT_GE(bed().now() - start, 3.0);
    const std::vector<int> edges = LastLeftEdges(*sensors[port - 1], 2);
    ASSERT_EQ(edges.size(), 2u);
    EXPECT_TRUE(Ledge == edges[0] || Ledge == edges[1]) << Ledge;
    bed().attachPeer(1, nullptr);
    bed().attachPeer(2, nullptr);
}

} // namespace
} // namespace korven
