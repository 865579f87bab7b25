// Faulty answers on the line: frames cut into pieces of any size, one byte
// short, with extra bytes, two back to back, wrong sync word or command
// echo, answers just inside and just outside the time-out, and late bytes
// that must never pass for the answer of the next request.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace korven {
namespace {

using test::AnswerFrame;
using test::Bed;
using test::Bytes;
using test::LinePeer;
using test::Words;
namespace reply = test::reply;

constexpr double kByteTime = 10.0 / 19200;
// A request and an answer frame each take this long on the line.
constexpr double kFrameTime = 36 * kByteTime;

const Words kRamSet = {700, 1, 400, 3, 0, 2, 10, 900, 300, 20, 1, 2, 1100, 30010, 8, 5};
const Words kOtherSet = {800, 0, 600, 5, 1, 1, 20, 950, 450, 33, 0, 1, 1030, 29990, 16, 7};
const Words kDescription = {101, 256, 0, 400, 2048, 2048, 0, 256, 231};

std::array<u16, PNUM> Parameters() {
    CopyVarsToPP();
    std::array<u16, PNUM> words{};
    std::copy(std::begin(pp), std::end(pp), words.begin());
    return words;
}

std::array<u16, PNUM> AsParameters(const Words& words) {
    std::array<u16, PNUM> out{};
    std::copy(words.begin(), words.end(), out.begin());
    return out;
}

// Cuts bytes into pieces of `size` bytes, one every `gap` seconds after the
// request arrived.
test::Reply InPieces(const Bytes& bytes, std::size_t size, double gap) {
    std::vector<std::pair<double, Bytes>> pieces;
    double delay = 0.0;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        const std::size_t end = std::min(bytes.size(), at + size);
        pieces.emplace_back(delay, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(end)));
        delay += gap;
    }
    return reply::Pieces(std::move(pieces));
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FaultyAnswers : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        // A sensor description that admits every value of the test sets.
        ccdsubpixel = 2048;
        ccdmaxpixelX8 = 2048;
        ccdpixE = 2048;
        test::OpenLine(bed(), &peer_);
    }
    // The notification is back with its standard settings and nothing of
    // the exchange is left in the input queue once the line is quiet.
    void ExpectLineTidy() {
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
        EXPECT_EQ(bed().notificationCount(1), kFrameBytes);
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
    }
    // Lets bytes still on the wire arrive without processing events.
    void Settle(double seconds = 0.2) { bed().advance(seconds); }

    LinePeer peer_;
};

// ---- Pieces of any size --------------------------------------------------

class AnswerPieces : public FaultyAnswers, public ::testing::WithParamInterface<int> {};

TEST_P(AnswerPieces, EveryExchangeTakesInAFrameThatComesInPieces) {
    const auto size = static_cast<std::size_t>(GetParam());
    // Pieces a little further apart than the line needs for them, so that
    // the program sees the frame grow across many event passes.
    const double gap = static_cast<double>(size) * kByteTime + 0.003;

    peer_.then(InPieces(AnswerFrame(CMD_READ_RAM, kRamSet), size, gap));
    PushGET(RAM);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
    ExpectLineTidy();

    // A frame spread over most of the time-out still counts, and the
    // notification takes it in once, when it is complete.
    const int calls = bed().notificationCalls(1);
    peer_.then(InPieces(AnswerFrame(CMD_ECHO, {}), size, size == 35 ? 1.2 : gap));
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
    EXPECT_EQ(bed().notificationCalls(1), calls + 1);

    peer_.then(InPieces(AnswerFrame(CMD_HARDWARE, kDescription), size, gap));
    EXPECT_EQ(GetHARDWAREInfo(), 1);
    EXPECT_EQ(ccdtype, 101);
    EXPECT_EQ(pcbtype, 400);
    EXPECT_EQ(softversion, 231);
    ExpectLineTidy();
}

INSTANTIATE_TEST_SUITE_P(Sizes, AnswerPieces, ::testing::Values(1, 2, 3, 5, 7, 11, 17, 35));

// ---- Short, long and doubled frames ----------------------------------------

TEST_F(FaultyAnswers, FrameOneByteShortTimesOutAndLeavesNothingForTheNextExchange) {
    const auto before = Parameters();
    Bytes shortFrame = AnswerFrame(CMD_READ_RAM, kRamSet);
    shortFrame.pop_back();

    peer_.send(shortFrame);
    PushGET(RAM);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(Parameters(), before);
    EXPECT_EQ(bed().notificationCalls(1), 0);
    ExpectLineTidy();

    // The 35 stale bytes are emptied out before the next request: its own
    // answer arrives whole and is read as it was sent.
    peer_.answer(kOtherSet);
    PushGET(RAM);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(Parameters(), AsParameters(kOtherSet));

    // The same for the line check: a short echo is no echo.
    Bytes shortEcho = AnswerFrame(CMD_ECHO, {});
    shortEcho.pop_back();
    peer_.send(shortEcho);
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(rx_flag, 0);
    peer_.answer({});
    EXPECT_EQ(CheckComLine(1), 1);
    ExpectLineTidy();
}

TEST_F(FaultyAnswers, ExtraBytesAndASecondFrameAreDroppedAndNeverReachTheNextExchange) {
    // Four bytes too many, arriving with the frame: the first 36 are the
    // answer, taken in by one notification, and the rest is dropped.
    peer_.send(Concat(AnswerFrame(CMD_ECHO, {0xBEEF, 0x0001}), {0x00, 0xAA, 0x00, 0x05}));
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(bed().notificationCalls(1), 1);
    EXPECT_EQ(pp[1], 0x0001);
    EXPECT_EQ(graphrefresh, 1);
    EXPECT_EQ(bed().inputQueueLength(1), 0);
    Settle();
    peer_.send(Concat(AnswerFrame(CMD_READ_RAM, kRamSet), {0xAA, 0x55, 0x00, 0x13}));
    PushGET(RAM);
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
    Settle();
    EXPECT_LT(bed().inputQueueLength(1), kFrameBytes);

    // Two frames back to back: the first counts. The second one's tail is
    // still arriving after the exchange; it must not combine with what
    // comes next. Its sync word would fail the line check if it did.
    peer_.send(
        Concat(AnswerFrame(CMD_READ_RAM, kOtherSet), AnswerFrame(CMD_READ_RAM, kRamSet, 0x1111)));
    PushGET(RAM);
    EXPECT_EQ(Parameters(), AsParameters(kOtherSet));
    Settle();
    peer_.answer({});
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
    ExpectLineTidy();
}

TEST_F(FaultyAnswers, WrongSyncWordOrEchoFailsOnlyTheExchangesThatCheckThem) {
    // The line check insists on the answer sync word.
    peer_.then(reply::Answer({}, 0.0, 0x0055));
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "read error - not sync byte 0xAA!");

    // The hardware description insists on its echo; the connection
    // sequence reports it and still reads parameters and firmware.
    peer_.then(reply::Answer({}))
        .then(reply::AnswerWithEcho(CMD_HARDWARE + 1, kDescription))
        .answer(kRamSet)
        .send(Bytes(72, 'v'));
    InitRS232(1);
    EXPECT_EQ(ccdtype, 101); // kept, though rejected
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
    EXPECT_EQ(peer_.commands(),
              (std::vector<int>{CMD_ECHO, CMD_ECHO, CMD_HARDWARE, CMD_READ_RAM, CMD_FIRMWARE}));
    ExpectLineTidy();
}

// ---- Answers around the time-out ------------------------------------------

class AnswerTiming : public FaultyAnswers {
  protected:
    // A reply whose last byte arrives `complete` seconds after the request
    // was written.
    static test::Reply CompleteAt(const Words& words, double complete) {
        return reply::Answer(words, complete - 2 * kFrameTime);
    }
};

TEST_F(AnswerTiming, AnswerAt149SecondsCountsAndAt151SecondsIsATimeOut) {
    peer_.then(CompleteAt(kRamSet, 1.49));
    PushGET(RAM);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));

    const auto before = Parameters();
    const double asked = bed().now();
    peer_.then(CompleteAt(kOtherSet, 1.51));
    PushGET(RAM);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(Parameters(), before);
    EXPECT_GT(bed().now() - asked, 1.5);
    EXPECT_LT(bed().now() - asked, 1.51);
    ExpectLineTidy();
}

TEST_F(AnswerTiming, LateAnswerLeftInTheQueueIsEmptiedByTheNextRequest) {
    const auto before = Parameters();
    peer_.then(CompleteAt(kOtherSet, 1.51));
    PushGET(RAM);
    ASSERT_EQ(Status(), "Timeout-RS-232...");
    Settle(); // the late frame arrives while nobody looks at the line
    ASSERT_EQ(bed().inputQueueLength(1), kFrameBytes);
    EXPECT_EQ(Parameters(), before);

    peer_.answer(kRamSet);
    PushGET(RAM);
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
    EXPECT_EQ(bed().notificationCalls(1), 1);
}

TEST_F(AnswerTiming, LateAnswerTakenInWhileIdleChangesNoParameter) {
    const auto before = Parameters();
    peer_.then(CompleteAt(kOtherSet, 1.51));
    PushGET(RAM);
    ASSERT_EQ(Status(), "Timeout-RS-232...");
    // The event loop runs while the late frame arrives: the notification
    // takes it in, but no sender waits for it.
    bed().setEventLoopLimit(0.2);
    RunUserInterface();
    EXPECT_EQ(bed().notificationCalls(1), 1);
    EXPECT_EQ(Parameters(), before);

    // The next sender starts from a cleared flag and its own request.
    peer_.answer({});
    EXPECT_EQ(CheckComLine(1), 1);
    peer_.answer(kRamSet);
    PushGET(RAM);
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
}

TEST_F(AnswerTiming, LateHardwareAnswerIsNotTakenForTheParameterSet) {
    // The connection sequence pauses between its exchanges and every
    // exchange empties the input queue before it asks: a description that
    // comes too late is thrown away, not read as parameters.
    peer_.then(reply::Answer({}))
        .then(reply::AnswerWithEcho(CMD_HARDWARE, kDescription, 1.51 - 2 * kFrameTime))
        .answer(kRamSet)
        .send(Bytes(72, 'v'));
    InitRS232(1);
    EXPECT_EQ(Parameters(), AsParameters(kRamSet));
    // Board 0 (the description never came): one character per word.
    EXPECT_EQ(Status(), std::string(36, 'v'));
    ExpectLineTidy();
}

TEST_F(AnswerTiming, RunAnswerJustTooLateEndsTheRunWithItsMessage) {
    peer_.then(reply::Answer({100, 200, 150, 0, 0, 512, 100}))
        .then(reply::Answer({100, 200, 150, 0, 0, 512, 100}))
        .then(CompleteAt({}, 1.51));
    PushRUN();
    EXPECT_EQ(bed().text(pHandle, PANEL_STATUS), "Timeout RS232-Line!");
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(Ledge, 100);
    EXPECT_FALSE(bed().isDimmed(pHandle, PANEL_LOOPLOCK_A));
    ExpectLineTidy();
}

} // namespace
} // namespace korven
