// The headless serial line: byte timing, queues, the receive notification,
// the busy-wait time-outs that rely on the virtual clock, and the scripted
// peer's frame helpers.
#include "runtime/headless/headless.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <tuple>
#include <vector>

namespace {

using korven::rt::headless::HeadlessBackend;
using korven::rt::headless::PeerLink;
using korven::rt::headless::ScopedHeadless;
using korven::rt::headless::ScriptedPeer;
using korven::rt::headless::SerialPeer;
using Bytes = std::vector<std::uint8_t>;

constexpr double kByte = 10.0 / 19200; // one 8N1 character at 19200 baud

// What the notification saw, per test.
struct Seen {
    std::vector<int> events;
    std::vector<int> waiting; // GetInQLen at each call
    int readPerCall = 0;      // bytes the callback reads (0 = none)
    bool nested = false;      // callback processes events itself
    int depth = 0;
    int maxDepth = 0;
};
Seen gSeen;

void Notify(int port, int events, void* /*data*/) {
    ++gSeen.depth;
    gSeen.maxDepth = std::max(gSeen.maxDepth, gSeen.depth);
    gSeen.events.push_back(events);
    gSeen.waiting.push_back(GetInQLen(port));
    if ((events & LWRS_RECEIVE) && gSeen.readPerCall > 0) {
        char buf[64];
        ComRd(port, buf, gSeen.readPerCall);
    }
    if (gSeen.nested) {
        ProcessSystemEvents();
    }
    --gSeen.depth;
}

class Serial : public ::testing::Test {
  protected:
    void SetUp() override {
        gSeen = Seen{};
        bed().attachPeer(1, &peer);
    }
    HeadlessBackend& bed() { return scope.bed(); }
    void Open(int mask = 0x8000) {
        ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), 0);
        if (mask != 0) {
            ASSERT_EQ(InstallComCallback(1, mask, 36, 0x55, Notify, nullptr), 0);
        }
    }
    void Send(const Bytes& bytes, double start) { bed().injectToHost(1, start, bytes); }

    ScopedHeadless scope;
    ScriptedPeer peer;
};

TEST_F(Serial, AnswerToAFullRequestArrivesOneFrameTimeLater) {
    peer.setHandler([](const std::vector<std::uint8_t>& frame, double frameEnd, PeerLink& link) {
        EXPECT_EQ(frame.size(), 36u);
        link.send(frameEnd, ScriptedPeer::answer(0xAA, ScriptedPeer::commandOf(frame), {7}));
    });
    Open(0);
    const double t0 = bed().now();
    ASSERT_EQ(ComWrt(1, reinterpret_cast<const char*>(Bytes(36, 0).data()), 36), 36);
    bed().advance(36 * kByte - 1e-6);
    EXPECT_TRUE(peer.frames().empty()) << "the last byte has not crossed the line yet";
    bed().advance(2e-6);
    ASSERT_EQ(peer.frames().size(), 1u);

    // The answer's last byte lands 18.75 ms after the request's.
    bed().advance(0.01875 - 4e-6);
    EXPECT_EQ(GetInQLen(1), 35);
    bed().advance(4e-6);
    EXPECT_EQ(GetInQLen(1), 36);
    ASSERT_EQ(bed().writes(1).size(), 1u);
    EXPECT_EQ(bed().writes(1)[0].time, t0);
}

TEST_F(Serial, NotificationRunsInEventProcessingOnceAtTheCountAndCanBeSilenced) {
    gSeen.readPerCall = 36;
    Open();
    Send(Bytes(36, 0x11), bed().now());
    // Time passes by Timer, Delay and GetInQLen: the bytes arrive, but the
    // notification waits for event processing.
    for (int i = 0; i < 2000; ++i) {
        Timer();
    }
    Delay(0.05);
    EXPECT_EQ(GetInQLen(1), 36);
    EXPECT_TRUE(gSeen.events.empty());
    ProcessSystemEvents();
    EXPECT_EQ(std::tuple(gSeen.events, gSeen.waiting, GetInQLen(1), bed().notificationCalls(1)),
              std::tuple(std::vector{LWRS_RECEIVE}, std::vector{36}, 0, 1));

    // Bytes arrive, events are processed: notifications so far and bytes left.
    const auto step = [&](std::size_t bytes, int passes, std::size_t events, int left) {
        Send(Bytes(bytes, 0x22), bed().now());
        for (int i = 0; i < passes; ++i) {
            ProcessSystemEvents();
        }
        ASSERT_EQ(gSeen.events.size(), events) << bytes << " bytes";
        EXPECT_EQ(GetInQLen(1), left) << bytes << " bytes";
    };
    step(35, 500, 1, 35); // fewer than the count
    step(5, 100, 2, 4);   // the 36th byte completes it; 4 unread must not keep it firing
    step(36, 100, 3, 4);
    // It fires as soon as 36 are waiting: the 4 old bytes and the first 32
    // of the new frame.
    EXPECT_GE(gSeen.waiting.at(2), 36);
    EXPECT_LT(gSeen.waiting.at(2), 40);

    // Silenced, it stays quiet (Line.HelpersInstallAndSilenceTheNotification).
    // Reinstalled and emptied, as after reading a raw block: silence until
    // a new frame arrives.
    ASSERT_EQ(InstallComCallback(1, 0x8000, 36, 0x55, Notify, nullptr), 0);
    FlushInQ(1);
    step(0, 50, 3, 0);
    step(36, 50, 4, 0);
}

TEST_F(Serial, EventsOfOnePassAreCombinedAndTheCallbackIsNotReentered) {
    gSeen.readPerCall = 36;
    gSeen.nested = true;
    Open(0x8006);
    ComWrt(1, std::vector<char>(36).data(), 36);
    // The answer carries the event character and arrives while the request
    // is still going out; one pass sees all three events.
    Send(Bytes(36, 0x55), bed().now());
    Delay(0.05);
    ProcessSystemEvents();
    ASSERT_GE(gSeen.events.size(), 1u);
    EXPECT_EQ(gSeen.events[0], LWRS_RECEIVE | LWRS_RXFLAG | LWRS_TXEMPTY);
    EXPECT_EQ(gSeen.maxDepth, 1);
    EXPECT_EQ(bed().notifications(1).size(), gSeen.events.size());
}

TEST_F(Serial, BytesQueueOnTheLineFlushesDropOnlyWhatIsQueuedAndAFullQueueDrops) {
    ASSERT_EQ(OpenComConfig(1, "", 19200, 0, 8, 1, 64, 64), 0);
    Send(Bytes(10, 1), 0.0);
    Send(Bytes(10, 2), 0.0); // starts only when the first ten have gone
    bed().advance(10 * kByte + 1e-9);
    EXPECT_EQ(GetInQLen(1), 10);
    bed().advance(10 * kByte);
    EXPECT_EQ(GetInQLen(1), 20);

    FlushInQ(1);
    Send(Bytes(20, 5), bed().now());
    bed().advance(10 * kByte + 1e-9); // ten have arrived, ten are on the wire
    EXPECT_EQ(FlushInQ(1), 0);
    EXPECT_EQ(GetInQLen(1), 0);
    bed().advance(10 * kByte);
    EXPECT_EQ(GetInQLen(1), 10);

    const Bytes request(36, 9);
    ComWrt(1, reinterpret_cast<const char*>(request.data()), 36);
    bed().advance(10 * kByte + 1e-9);
    EXPECT_EQ(FlushOutQ(1), 0);
    Delay(1.0);
    EXPECT_TRUE(peer.frames().empty()) << "only 10 bytes reached the peer";
    // A new frame after the flush starts at once and goes through whole,
    // but the peer still holds the 10 stray bytes in front of it.
    ComWrt(1, reinterpret_cast<const char*>(request.data()), 36);
    Delay(1.0);
    EXPECT_EQ(peer.frames().size(), 1u);

    Send(Bytes(100, 1), bed().now());
    Delay(1.0);
    EXPECT_EQ(GetInQLen(1), 64) << "a full input queue drops further bytes";
}

TEST_F(Serial, ComRdAndTimerWaitForBytesOnTheLineUpToTheirTimeOuts) {
    Open(0);
    const double t0 = bed().now();
    Send(Bytes(72, 0x41), t0 + 0.1);
    std::vector<char> buf(100);
    EXPECT_EQ(ComRd(1, buf.data(), 72), 72);
    EXPECT_NEAR(bed().now() - t0, 0.1 + 72 * kByte, 1e-9);

    // Only 10 of 20 ever come: the read gives up after the time-out.
    ASSERT_EQ(SetComTime(1, 0.5), 0);
    Send(Bytes(10, 0x42), bed().now());
    const double t1 = bed().now();
    EXPECT_EQ(ComRd(1, buf.data(), 20), 10);
    EXPECT_NEAR(bed().now() - t1, 0.5, 1e-9);
    EXPECT_EQ(buf[0], 0x42);
    EXPECT_EQ(ComRd(1, buf.data(), 0), 0);

    // Timer alone advances the clock, so a wait without events ends, and
    // in far less real time than the seconds it waits.
    const auto real0 = std::chrono::steady_clock::now();
    const double start = Timer();
    int polls = 0;
    while (GetInQLen(1) < 72 && Timer() - start <= 2.0) {
        ++polls;
    }
    EXPECT_GT(Timer() - start, 2.0);
    EXPECT_GT(polls, 1000);
    EXPECT_EQ(bed().passes(), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - real0).count(), 1.0);
}

TEST_F(Serial, PortErrorsAreReportedAndReopeningStartsClean) {
    const auto open = [](int port) { return OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096); };
    bed().setOpenError(1, kComCannotOpenPort);
    EXPECT_EQ((std::vector{open(0), open(256), open(2), open(1)}),
              (std::vector{kComInvalidPortNumber, kComInvalidPortNumber, kComNoSerialPort,
                           kComCannotOpenPort}));
    bed().setOpenError(1, 0);
    char c = 0;
    const auto closed = [&] {
        return std::vector{ComWrt(1, &c, 1), ComRd(1, &c, 1), GetInQLen(1), CloseCom(1),
                           InstallComCallback(1, 0x8000, 36, 0x55, Notify, nullptr)};
    };
    EXPECT_EQ(closed(), std::vector<int>(5, kComPortNotOpen));
    EXPECT_TRUE(bed().writes(1).empty());

    Open();
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_FALSE(bed().notificationInstalled(1));
    EXPECT_EQ(bed().closeCount(1), 1);
    EXPECT_EQ(closed(), std::vector<int>(5, kComPortNotOpen));

    // Reopening an open port starts clean.
    Open();
    ASSERT_EQ(SetComTime(1, 0.3), 0);
    Send(Bytes(20, 1), bed().now());
    Delay(0.1);
    ASSERT_EQ(open(1), 0);
    EXPECT_EQ(GetInQLen(1), 0);
    EXPECT_FALSE(bed().notificationInstalled(1));
    EXPECT_DOUBLE_EQ(bed().comTimeout(1), 2.0);
    EXPECT_EQ(bed().openCount(1), 3);
}

TEST_F(Serial, ScriptedPeerCutsFramesAcrossPiecesAndAnswersInBigEndianWords) {
    std::vector<double> ends;
    peer.setHandler(
        [&](const std::vector<std::uint8_t>&, double end, PeerLink&) { ends.push_back(end); });
    Open(0);
    const std::vector<char> bytes(50, 'a');
    ComWrt(1, bytes.data(), 20);
    Delay(0.5);
    ComWrt(1, bytes.data(), 50);
    Delay(0.5);
    ASSERT_EQ(peer.frames().size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_NEAR(ends[0], 0.5 + 16 * kByte, 1e-9) << "the frame ends with its 36th byte";
    CloseCom(1);
    Open(0);
    ComWrt(1, bytes.data(), 36);
    Delay(0.5);
    EXPECT_EQ(peer.frames().size(), 2u) << "a close drops the partial frame";

    const auto frame = ScriptedPeer::answer(0x00AA, 10, {0x0102, 0xFFFF});
    ASSERT_EQ(frame.size(), 36u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0x00, 0xAA, 0x00, 10}));
    EXPECT_EQ(ScriptedPeer::commandOf(frame), 10);
    // Words outside the frame read as 0.
    const std::pair<int, int> words[] = {{0, 0x0102}, {1, 0xFFFF}, {15, 0}, {16, 0}, {-1, 0}};
    for (const auto& [k, word] : words) {
        EXPECT_EQ(ScriptedPeer::wordOf(frame, k), word) << "word " << k;
    }
    EXPECT_EQ(ScriptedPeer::commandOf({1, 2}), -1);
    // More than 16 words: the rest does not fit and is left out.
    EXPECT_EQ(ScriptedPeer::answer(0xAA, 1, std::vector<std::uint16_t>(20, 1)).size(), 36u);
}

TEST(SerialNoBackend, CallsFailSoftly) {
    korven::rt::Backend* previous = korven::rt::SetBackend(nullptr);
    char c = 0;
    for (const int result :
         {OpenComConfig(1, "", 19200, 0, 8, 1, 4096, 4096), ComWrt(1, &c, 1), ComRd(1, &c, 1),
          GetInQLen(1), ProcessSystemEvents(), LoadPanel(0, "x.uir", 1), SetCtrlVal(1, 2, 3)}) {
        EXPECT_LT(result, 0);
    }
    EXPECT_EQ(Timer(), 0.0);
    Delay(1.0);
    EXPECT_EQ(InitCVIRTE(nullptr, nullptr, nullptr), 0);
    korven::rt::SetBackend(previous);
}

} // namespace
