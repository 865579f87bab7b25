// A noisy line: floods of unsolicited bytes (the input queue stays bounded
// and the panels stay responsive), and every byte value - the flow-control
// characters 0x11 and 0x13, CR, LF and NUL included - crossing the line
// unchanged, on the headless line and through a pseudo-terminal served by
// the virtual sensor.
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
using test::AnswerFrame;
using test::Bed;
using test::Bytes;
using test::LinePeer;
using test::SimPeer;
using test::Words;
namespace reply = test::reply;

constexpr int kQueueBytes = 4096;

Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes bytes(count);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng() & 0xFF);
    }
    return bytes;
}

class NoisyLine : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
    }
    // Samples the input queue every 50 ms from `from` to `to`; the largest
    // length seen goes to `largest`.
    void WatchQueue(double from, double to, int& largest) {
        for (double t = from; t < to; t += 0.05) {
            bed().at(t,
                     [this, &largest] { largest = std::max(largest, bed().inputQueueLength(1)); });
        }
    }
    void ExpectLoopEnded() {
        EXPECT_EQ(stop_flag, 1);
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_A));
        EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_B));
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
    }
};

// ---- Floods -----------------------------------------------------------------

TEST_F(NoisyLine, FloodWhileIdleKeepsTheQueueSmallAndTheOperatorIsServed) {
    LinePeer peer;
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

TEST_F(NoisyLine, FloodDuringTheRunLoopStillLetsStopEndIt) {
    LinePeer peer;
    peer.always(CMD_RUN, reply::Answer({400, 600, 500, 0, 0, 512, 100, 2, 400, 600}));
    test::OpenLine(bed(), &peer);
    const double start = bed().now();
    bed().injectToHost(1, start, RandomBytes(20000, 13));
    int largest = 0;
    WatchQueue(start, start + 3.0, largest);
    bed().at(start + 3.0, [this] { bed().click(pHandle, PANEL_BTNStop); });

    PushRUN();
    EXPECT_LT(bed().now() - start, 3.1);
    EXPECT_LE(largest, kQueueBytes);
    ExpectLoopEnded();
    // The strip chart keeps its fixed history, however many answers came.
    for (const auto& trace : bed().graph(pHandle, PANEL_GRAPH_RAW).traces) {
        EXPECT_LE(trace.size(), 100u);
    }
}

TEST_F(NoisyLine, FloodDuringTheVideoLoopStillLetsStopEndIt) {
    SimPeer sensor;
    bed().attachPeer(1, &sensor);
    InitRS232(1);
    ASSERT_EQ(Status(), sensor.model().preset().firmware);
    const double start = bed().now();
    bed().injectToHost(1, start, RandomBytes(20000, 17));
    int largest = 0;
    WatchQueue(start, start + 4.0, largest);
    bed().at(start + 4.0, [this] { bed().click(pHandle, PANEL_BTNStop); });

    bed().pressKey(pHandle, PANEL_BTNVideo);
    // A cycle may still be waiting for an answer or a block; it ends within
    // its time-outs.
    EXPECT_LT(bed().now() - start, 4.0 + 5 * (TIMEOUT + 0.1));
    EXPECT_LE(largest, kQueueBytes);
    ExpectLoopEnded();
    EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_VIDEO).plots.size(), 2u);
}

// ---- Every byte value -------------------------------------------------------

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

TEST_F(NoisyLine, EveryByteValuePassesTheHeadlessLineBothWays) {
    // The sensor echoes the data words of each request.
    LinePeer peer;
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
    peer.always(CMD_DATA256_OR_RESET, reply::Send(block));
    SilenceRxNotification();
    ReadData256();
    InstallRxNotification();
    EXPECT_EQ(Status(), "Data[256] block received!");
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(adcbuf[i], ((2 * i) & 0xFF) << 8 | ((2 * i + 1) & 0xFF)) << i;
    }
}

// A plain client on the virtual sensor's pseudo-terminal. It leaves the
// terminal settings as the sensor made them: any translation of CR, LF or
// the flow-control characters would show in the words read back.
class PtyClient {
  public:
    explicit PtyClient(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~PtyClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    bool write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EAGAIN) {
                    continue;
                }
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads exactly `count` bytes, or what came within `seconds`.
    Bytes read(std::size_t count, double seconds) {
        Bytes out;
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(seconds));
        while (out.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            std::uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            }
        }
        return out;
    }

  private:
    int fd_ = -1;
};

TEST(NoisyPty, EveryByteValuePassesTheVirtualSensorsPseudoTerminal) {
    sim::PtyServer server;
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;
    PtyClient client(server.path());
    ASSERT_TRUE(client.ok()) << server.path();

    for (int round = 0; round < 8; ++round) {
        const Words words = RoundWords(round);
        sim::Words set{};
        std::copy(words.begin(), words.end(), set.begin());
        // Write the words into RAM (no answer), then read them back.
        ASSERT_TRUE(client.write(sim::SensorModel::commandFrame(sim::kCmdWriteRam, set)));
        ASSERT_TRUE(client.write(sim::SensorModel::commandFrame(sim::kCmdReadRam, sim::Words{})));
        const Bytes answer = client.read(36, 3.0);
        ASSERT_EQ(answer.size(), 36u) << "round " << round;
        EXPECT_EQ(sim::SensorModel::wordAt(answer, 0), sim::kAnswerSync);
        for (int k = 0; k < PNUM; ++k) {
            EXPECT_EQ(sim::SensorModel::dataWord(answer, k), words[k]) << round << "/" << k;
        }
    }
    // Nothing more than the answers came back.
    EXPECT_TRUE(client.read(1, 0.1).empty());
    server.stop();
}

} // namespace
} // namespace korven
