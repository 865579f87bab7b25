// The receive notification, the answer wait and the line check, against a
// scripted sensor on a line with real byte timing.
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

namespace korven {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::LinePeer;
namespace reply = test::reply;

constexpr double kByteTime = 10.0 / 19200;
constexpr double kFrameTime = 36 * kByteTime;

class LineCheck : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
    }
    void Open() { test::OpenLine(bed(), &peer, 1); }

    LinePeer peer;
};

TEST_F(LineCheck, EchoWithAnswerSyncWordReportsLineOk) {
    Open();
    power = 777;
    tTol = 42;
    peer.answer({1, 2, 3});
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");

    // One echo request carrying the parameter globals.
    ASSERT_EQ(peer.frames().size(), 1u);
    const auto& frame = peer.frames()[0];
    EXPECT_EQ(frame[0], 0x00);
    EXPECT_EQ(frame[1], 0x55);
    EXPECT_EQ(rt::headless::ScriptedPeer::commandOf(frame), 5);
    EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(frame, 0), 777);
    EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(frame, 9), 42);
    EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(frame, 12), SLOPEMULTI);
}

TEST_F(LineCheck, SwappedSyncBytesAreAReadError) {
    Open();
    peer.then(reply::Answer({}, 0.0, 0xAA00));
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "read error - not sync byte 0xAA!");
}

TEST_F(LineCheck, SilentSensorTimesOutAfterMoreThanTheTimeout) {
    Open();
    peer.silent();
    const double begin = bed().now();
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_LT(bed().now() - begin, TIMEOUT + 0.05);
}

// With coarse event passes (0.5 s, no time spent in Timer) the wait's passes
// end at 0.5, 1.0, 1.5 and 2.0 s after the write.
class CoarseWait : public LineCheck {
  protected:
    void SetUp() override {
        LineCheck::SetUp();
        bed().options().passStep = 0.5;
        bed().options().timerTick = 0.0;
    }
    // An answer frame whose last byte arrives `at` seconds after the write.
    void AnswerAt(double at) {
        peer.then([at](const std::vector<std::uint8_t>&, double, rt::headless::PeerLink& link) {
            link.send(tstart + at - kFrameTime, AnswerFrame(5, {}));
        });
    }
};

TEST_F(CoarseWait, ElapsedTimeEqualToTheLimitIsNoTimeout) {
    Open();
    peer.silent();
    rx_flag = 0;
    tstart = Timer();
    const int passes = bed().passes();
    EXPECT_EQ(WaitForAnswerFrame(1.5), 0);
    // The pass ending exactly at 1.5 s does not end the wait; the next does.
    EXPECT_EQ(bed().passes() - passes, 4);
    EXPECT_DOUBLE_EQ(tdiff, 2.0);
}

TEST_F(CoarseWait, AnswerCompletingInThePassThatRunsOutOfTimeStillCounts) {
    Open();
    AnswerAt(1.75);
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_GT(tdiff, TIMEOUT);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
}

TEST_F(CoarseWait, AnswerAfterThatPassIsTooLate) {
    Open();
    AnswerAt(2.25);
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
}

TEST_F(LineCheck, NotificationIgnoresOtherEventsAndShortReads) {
    Open();
    // 35 bytes of a broken answer sit in the queue; the notification is called
    // for events other than "frame waiting": nothing is read.
    bed().injectToHost(1, bed().now(), Bytes(35, 0x00));
    bed().advance(0.1);
    rx_flag = 0;
    RX_Receive_Function(1, LWRS_RXFLAG | LWRS_TXEMPTY, nullptr);
    EXPECT_EQ(bed().inputQueueLength(1), 35);
    EXPECT_EQ(rx_flag, 0);

    // Called for a frame that is not all there: no answer is raised from
    // stale buffer contents, and the broken bytes are gone.
    RX_Receive_Function(1, LWRS_RECEIVE, nullptr);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(bed().inputQueueLength(1), 0);
}

TEST_F(LineCheck, NotificationReadsThePortInUse) {
    LinePeer other;
    test::OpenLine(bed(), &other, 2);
    Open(); // com = 1 now
    bed().injectToHost(1, bed().now(), AnswerFrame(5, {0x4242}));
    bed().advance(0.1);
    rx_flag = 0;
    RX_Receive_Function(2, LWRS_RECEIVE, nullptr);
    EXPECT_EQ(rx_flag, 1);
    EXPECT_EQ(pp[0], 0x4242);
}

TEST_F(LineCheck, HelpersInstallAndSilenceTheNotification) {
    Open();
    EXPECT_TRUE(bed().notificationInstalled(1));
    EXPECT_EQ(bed().notificationMask(1), 0x8006);
    EXPECT_EQ(bed().notificationCount(1), 36);
    SilenceRxNotification();
    EXPECT_FALSE(bed().notificationInstalled(1));
    // While silenced a complete frame stays in the queue untouched.
    bed().injectToHost(1, bed().now(), AnswerFrame(5, {}));
    for (int i = 0; i < 50; ++i) {
        ProcessSystemEvents();
    }
    EXPECT_EQ(bed().inputQueueLength(1), 36);
    EXPECT_EQ(bed().notificationCalls(1), 0);
}

} // namespace
} // namespace korven
