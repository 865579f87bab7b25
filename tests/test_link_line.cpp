// The serial link and the program's sequences against scripted and virtual
// sensors on a line with real byte timing: command and answer frames, the
// receive notification, the answer wait and the line check, video blocks,
// and faulty answers - frames in pieces, one byte short, with extra bytes,
// two back to back, a wrong sync word, answers around the time-out, floods,
// and late bytes that must never pass for the answer of the next request;
// the identification of the sensor and its firmware text. Then the
// connection sequence, the read-back (GET from RAM, EEPROM or file) and the
// run sequence, with what the operator sees and the frames on the line; a
// noisy or faulty line: floods of unsolicited bytes (the input queue stays
// bounded and the panels stay responsive), every byte value - the
// flow-control characters 0x11 and 0x13, CR, LF and NUL included - crossing
// the line unchanged, on the headless line and through a pseudo-terminal
// served by the virtual sensor; stray bytes behind an answer or a block, and
// the continuous loops after a passing fault of the sensor.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "link/line_guard.h"
#if !defined(_WIN32)
#include "sim/pty_server.h"
#endif
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>
#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace korven {
namespace {

using rt::Value;
using rt::headless::ScriptedPeer;
using test::AnswerFrame;
using test::Bytes;
using test::Concat;
using test::LinePeer;
using test::RequestFrame;
using test::SimPeer;
using test::Words;
namespace reply = test::reply;

constexpr double kByteTime = 10.0 / 19200;

const Words kRamSet = {700, 1, 400, 3, 0, 2, 10, 900, 300, 20, 1, 2, 1100, 30010, 8, 5};
const Words kOtherSet = {800, 0, 600, 5, 1, 1, 20, 950, 450, 33, 0, 1, 1030, 29990, 16, 7};
const Words kDescription = {101, 256, 0, 400, 2048, 2048, 0, 256, 231};

// Samples (start + i) * scale + 1 (as 16-bit words), and the same as a raw
// block.
Words Ramp(int start, int count, int scale = 3) {
    Words words;
    for (int i = 0; i < count; ++i) {
        words.push_back(static_cast<u16>((start + i) * scale + 1));
    }
    return words;
}

Bytes Samples(int start, int count, int scale = 3) {
    return test::WordBytes(Ramp(start, count, scale));
}

// The video samples adcbuf[from, to).
Words Adc(int from = 0, int to = 256) {
    return Words(adcbuf + from, adcbuf + to);
}

// Bytes whose last one arrives `at` seconds after the request was written.
test::Reply SendAt(Bytes bytes, double at) {
    return reply::ArrivingAt({{at, std::move(bytes)}});
}

// Cuts bytes into pieces of `size` bytes, one every `gap` seconds after the
// request arrived.
test::Reply InPieces(const Bytes& bytes, std::size_t size, double gap) {
    std::vector<std::pair<double, Bytes>> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        const auto end = static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + size));
        pieces.emplace_back(
            static_cast<double>(pieces.size()) * gap,
            Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + end));
    }
    return reply::Pieces(std::move(pieces));
}

// The parameter globals, in the packet's order.
Words Parameters() {
    CopyVarsToPP();
    return Words(pp, pp + PNUM);
}

// A firmware block of a board that sends plain text: the text, then zeros.
Bytes FirmwareText(const std::string& text) {
    Bytes block(72, 0);
    std::copy(text.begin(), text.end(), block.begin());
    return block;
}

// The receive notification of a port is back with its standard settings,
// and the status text is terminated.
void ExpectLineTidy(rt::headless::HeadlessBackend& bed, int port = 1) {
    EXPECT_EQ(std::tuple(bed.notificationInstalled(port), bed.notificationMask(port),
                         bed.notificationCount(port)),
              std::tuple(true, eventMask, kFrameBytes));
    EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
}

// The loop locks dimmed, and the stop flag: a loop has ended when both
// locks are free again and the flag is set.
std::tuple<bool, bool, int> Locks(rt::headless::HeadlessBackend& bed) {
    return {bed.isDimmed(pHandle, PANEL_LOOPLOCK_A), bed.isDimmed(pHandle, PANEL_LOOPLOCK_B),
            stop_flag};
}
const std::tuple<bool, bool, int> kLoopEnded{false, false, 1};

// An axis' scaling: mode, minimum, maximum.
std::tuple<int, double, double> Scale(const rt::headless::AxisState& axis) {
    return {axis.mode, axis.min, axis.max};
}

class Line : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        test::OpenLine(bed(), &peer, 1);
    }
    // Lets bytes still on the wire arrive without processing events.
    void Settle() { bed().advance(0.2); }
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }

    test::LinePeer peer;
};

// With the parameter set and a sensor description that admits every value
// of the test sets.
class Faulty : public Line {
  protected:
    void SetUp() override {
        Line::SetUp();
        InitVars();
        ccdsubpixel = 2048;
        ccdmaxpixelX8 = 2048;
        ccdpixE = 2048;
    }
};

// ---- Frames and the parameter packet ---------------------------------------

TEST_F(Line, PacketGoesOnTheWireHighByteFirstInTheParameterOrderAndBack) {
    EXPECT_EQ(slope, SLOPEMULTI); // the layout's slope of 1.0
    u16* const globals[PNUM] = {&power, &rs232Mode, &vThd,    &anaMode, &polarity, &eMode,
                                &eBeg,  &eEnd,      &tVal,    &tTol,    &opMode,   &eHardware,
                                &slope, &intersect, &average, &deltaTol};
    Words set;
    for (int k = 0; k < PNUM; ++k) {
        set.push_back(static_cast<u16>(0x1234 + 0x0F0F * k));
        *globals[k] = set.back();
    }
    EXPECT_EQ(Parameters(), set);
    szWriteBuf[36] = 0xC3; // beyond the frame: must stay
    FillTxBuf(10, pp);
    EXPECT_EQ(Bytes(szWriteBuf, szWriteBuf + 37), Concat(RequestFrame(10, set), {0xC3}));
    // Back from the wire, whatever the first four bytes hold.
    for (const Bytes& head : {AnswerFrame(2, {}), Bytes(4, 0xFF), Bytes{0x12, 0x34, 0x56, 0x78}}) {
        std::copy(szWriteBuf, szWriteBuf + 36, szReadBuf);
        std::copy(head.begin(), head.begin() + 4, szReadBuf);
        std::fill(pp, pp + PNUM, 0);
        for (u16* global : globals) {
            *global = 0;
        }
        GetRxBuf(PNUM);
        CopyPPtoVars();
        EXPECT_EQ(Parameters(), set);
    }
}

// ---- The line check and the answer wait ------------------------------------

// With coarse event passes (0.5 s, no time spent in Timer) the wait's passes
// end at 0.5, 1.0, 1.5 and 2.0 s after the write: an answer completing in
// the pass that runs out of time still counts, one after it is too late.
TEST_F(Line, AnswerCompletingInThePassThatRunsOutOfTimeStillCounts) {
    bed().options().passStep = 0.5;
    bed().options().timerTick = 0.0;
    rx_flag = 0;
    tstart = Timer();
    const int passes = bed().passes();
    EXPECT_EQ(WaitForAnswerFrame(1.5), 0);
    // The pass ending exactly at 1.5 s does not end the wait; the next does.
    EXPECT_EQ(bed().passes() - passes, 4);
    EXPECT_DOUBLE_EQ(tdiff, 2.0);

    SilenceRxNotification();
    peer.then(SendAt(Samples(0, 64), 1.75));
    EXPECT_EQ(ReadData64(0, 0), 1);
    EXPECT_GT(tdiff, TIMEOUT);
    EXPECT_EQ(Status(), "Data[64] block received!");
    EXPECT_EQ(adcbuf[10], 31);
    InstallRxNotification();
    peer.then(SendAt(AnswerFrame(CMD_ECHO, {}), 1.75));
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_GT(tdiff, TIMEOUT);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
    peer.then(SendAt(AnswerFrame(CMD_ECHO, {}), 2.25));
    EXPECT_EQ(CheckComLine(1), 0);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
}

// The notification takes in only a whole frame, only for "frame waiting",
// and from the port in use whichever port it is called for; silenced, it
// leaves a frame in the queue.
TEST_F(Line, NotificationTakesWholeFramesOfThePortInUseUnlessSilenced) {
    ExpectLineTidy(bed());
    // 35 bytes of a broken answer: other events read nothing; a frame that
    // is not all there raises no answer from stale buffer contents, and its
    // bytes are gone.
    bed().injectToHost(1, bed().now(), Bytes(35, 0x00));
    bed().advance(0.1);
    rx_flag = 0;
    RX_Receive_Function(1, LWRS_RXFLAG | LWRS_TXEMPTY, nullptr);
    EXPECT_EQ(bed().inputQueueLength(1), 35);
    EXPECT_EQ(rx_flag, 0);
    RX_Receive_Function(1, LWRS_RECEIVE, nullptr);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(bed().inputQueueLength(1), 0);

    test::LinePeer other;
    test::OpenLine(bed(), &other, 2);
    com = 1;
    bed().injectToHost(1, bed().now(), AnswerFrame(5, {0x4242}));
    bed().advance(0.1);
    RX_Receive_Function(2, LWRS_RECEIVE, nullptr);
    EXPECT_EQ(rx_flag, 1);
    EXPECT_EQ(pp[0], 0x4242);

    SilenceRxNotification();
    EXPECT_FALSE(bed().notificationInstalled(1));
    bed().injectToHost(1, bed().now(), AnswerFrame(5, {}));
    for (int i = 0; i < 50; ++i) {
        ProcessSystemEvents();
    }
    EXPECT_EQ(bed().inputQueueLength(1), 36);
    EXPECT_EQ(bed().notificationCalls(1), 0);
}

// ---- Video blocks -----------------------------------------------------------

// The requests carry their own words, not the packet; a block's samples go
// to their own place in the line only; the full-line request is all zero
// words whatever came before. A short block is not taken; a missing one
// times out.
TEST_F(Line, VideoRequestsCarryTheirOwnWordsAndAShortOrMissingBlockTimesOut) {
    SilenceRxNotification();
    std::fill(pp, pp + PNUM, 0xABCD);
    Words line(256, 0);
    std::vector<Bytes> requests;
    for (const int start : {64, 0, 128, 192}) {
        peer.send(Samples(start, 64));
        EXPECT_EQ(ReadData64(start, start == 192 ? 1 : 0), 1);
        requests.push_back(RequestFrame(CMD_DATA64, {static_cast<u16>(start), start == 192}));
        const Words block = Ramp(start, 64);
        std::copy(block.begin(), block.end(), line.begin() + start);
        EXPECT_EQ(Adc(), line) << "after the block at " << start;
    }
    EXPECT_EQ(Status(), "Data[64] block received!");
    EXPECT_EQ(pp[0], 0xABCD);
    peer.send(Samples(0, 256, 434)); // sample 151 is 0xFFFF
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(Status(), "Data[256] block received!");
    requests.push_back(RequestFrame(CMD_DATA256_OR_RESET, {}));
    EXPECT_EQ(peer.frames(), requests);
    EXPECT_EQ(Adc(), Ramp(0, 256, 434));

    // A short block is not taken: the samples of the last line stay.
    const Words before = Adc(64, 128);
    peer.send(Bytes(100, 0x11)).silent();
    double begin = bed().now();
    EXPECT_EQ(ReadData64(64, 0), 1);
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 64 data-words!");
    EXPECT_EQ(nBytesR, 100);
    EXPECT_FALSE(VideoBlockAccepted());
    EXPECT_EQ(Adc(64, 128), before);
    begin = bed().now();
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 256 data-words!");
    EXPECT_EQ(nBytesR, 0);
}

// More than the block: read only up to the buffer (the firmware read reports
// what the input queue held), never reported as received, a block not
// taken at all but told as a disturbance, and the next exchange starts with
// an empty queue.
TEST_F(Line, MoreThanTheBlockIsReadOnlyUpToTheBufferAndNotReported) {
    bed().options().byteTime = 0.0; // everything arrives at once
    SetLineByteTime(0.0);
    Bytes flood = Samples(0, 256, 7);
    flood.resize(3000, 0x5A);
    const auto firstBlock = [] { return ReadData64(0, 0); };
    const char* const previous = "previous";
    const char* const disturbed = "Line disturbed: ";
    const struct {
        const char* name;
        int (*read)();
        Bytes bytes;
        int returned, bytesRead, queued;
        const char* status; // the start of the status text
    } rows[] = {
        {"block and three bytes", firstBlock, Concat(Samples(0, 64), {0xEE, 0xEE, 0xEE}), 1, 131, 0,
         disturbed},
        {"firmware 100", GetVERSIONInfo, Bytes(100, 'B'), 100, 100, 0, previous},
        {"firmware 3000", GetVERSIONInfo, Bytes(3000, 'B'), 3000, kBufLen, 0, previous},
        {"firmware flood", GetVERSIONInfo, Bytes(100000, 'B'), 4096, kBufLen, 0, previous},
        {"flood on the full line", ReadData256, flood, 1, kBufLen, 3000 - kBufLen, disturbed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SilenceRxNotification();
        SetStatusText(previous);
        peer.send(row.bytes);
        EXPECT_EQ(row.read(), row.returned);
        EXPECT_EQ(nBytesR, row.bytesRead);
        EXPECT_EQ(Status().rfind(row.status, 0), 0u) << Status();
        EXPECT_STREQ(szVersion, "");
        EXPECT_EQ(bed().inputQueueLength(1), row.queued);
        // The firmware read puts the notification back.
        EXPECT_EQ(bed().notificationInstalled(1), row.read == GetVERSIONInfo);
        // No sample of a block that was not taken.
        EXPECT_EQ(Adc(), Words(256, 0));
    }
    peer.send(Samples(0, 256, 2));
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_EQ(Status(), "Data[256] block received!");
    EXPECT_EQ(adcbuf[255], 255 * 2 + 1);
    InstallRxNotification();
    peer.answer({});
    EXPECT_EQ(CheckComLine(1), 1);
}

// ---- Faulty answers to the program's exchanges ------------------------------

class AnswerPieces : public Faulty, public ::testing::WithParamInterface<int> {};

TEST_P(AnswerPieces, EveryExchangeTakesInAFrameThatComesInPieces) {
    const auto size = static_cast<std::size_t>(GetParam());
    // Pieces a little further apart than the line needs for them, so that
    // the program sees the frame grow across many event passes.
    const double gap = static_cast<double>(size) * kByteTime + 0.003;
    peer.then(InPieces(AnswerFrame(CMD_READ_RAM, kRamSet), size, gap));
    PushGET(RAM);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(Parameters(), kRamSet);
    ExpectLineTidy(bed());

    // A frame spread over most of the time-out still counts, and the
    // notification takes it in once, when it is complete.
    const int calls = bed().notificationCalls(1);
    peer.then(InPieces(AnswerFrame(CMD_ECHO, {}), size, size == 35 ? 1.2 : gap));
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
    EXPECT_EQ(bed().notificationCalls(1), calls + 1);

    peer.then(InPieces(AnswerFrame(CMD_HARDWARE, kDescription), size, gap));
    EXPECT_EQ(GetHARDWAREInfo(), 1);
    EXPECT_EQ(std::tuple(ccdtype, pcbtype, softversion), std::tuple(101, 400, 231));
    ExpectLineTidy(bed());
}

INSTANTIATE_TEST_SUITE_P(Sizes, AnswerPieces, ::testing::Values(1, 2, 3, 5, 7, 11, 17, 35));

// Every faulty answer has a clear outcome and leaves nothing behind: the
// next exchange gets its own answer, read as it was sent and taken in by
// one notification. An answer complete 1.49 s after the request counts;
// one byte short, or complete at 1.51 s, is a time-out. Bytes beyond the
// frame are dropped; of two frames back to back the first counts, and the
// second one's tail, still arriving, must not combine with what comes next.
// A parameter out of range is not changed by a GET that fails, but
// repaired and shown.
TEST_F(Faulty, FaultyAnswersHaveAClearOutcomeAndLeaveNothingForTheNextExchange) {
    const Words kNextSet = {900, 1, 300, 2, 1, 0, 30, 800, 200, 10, 1, 0, 1000, 30000, 4, 3};
    const Bytes ramFrame = AnswerFrame(CMD_READ_RAM, kRamSet);
    const Bytes otherFrame = AnswerFrame(CMD_READ_RAM, kOtherSet);
    const Bytes echo = AnswerFrame(CMD_ECHO, {});
    const Bytes shortEcho(echo.begin(), echo.end() - 1);
    const Bytes shortFrame(otherFrame.begin(), otherFrame.end() - 1);
    const Bytes echoAndFour = Concat(AnswerFrame(CMD_ECHO, {0xBEEF, 1}), {0x00, 0xAA, 0x00, 0x05});
    const Bytes twoFrames = Concat(otherFrame, AnswerFrame(CMD_READ_RAM, kRamSet, 0x1111));
    const Words unchanged;
    const std::string timeout = "Timeout-RS-232...", unsynced = "read error - not sync byte 0xAA!",
                      lineOk = "Echo Check - Line Ok!",
                      got = "Parameter-frame received! - Line Ok!";
    const struct {
        const char* name;
        int command; // CMD_ECHO: the line check; CMD_READ_RAM: GET from RAM
        test::Reply reply;
        std::string status;
        int queued; // after the exchange, once the line is quiet
        Words set;  // the parameters after it; empty: unchanged
    } rows[] = {
        {"silent", CMD_ECHO, nullptr, timeout, 0, unchanged},
        {"echo one byte short", CMD_ECHO, reply::Send(shortEcho), timeout, kFrameBytes - 1,
         unchanged},
        {"sync bytes swapped", CMD_ECHO, reply::Answer({}, 0.0, 0xAA00), unsynced, 0, unchanged},
        {"request sync word", CMD_ECHO, reply::Answer({}, 0.0, 0x0055), unsynced, 0, unchanged},
        {"echo and four bytes", CMD_ECHO, reply::Send(echoAndFour), lineOk, 4, unchanged},
        {"complete at 1.49 s", CMD_READ_RAM, SendAt(ramFrame, 1.49), got, 0, kRamSet},
        {"frame one byte short", CMD_READ_RAM, reply::Send(shortFrame), timeout, kFrameBytes - 1,
         unchanged},
        {"complete at 1.51 s", CMD_READ_RAM, SendAt(otherFrame, 1.51), timeout, kFrameBytes,
         unchanged},
        {"frame and four bytes", CMD_READ_RAM,
         reply::Send(Concat(ramFrame, {0xAA, 0x55, 0x00, 0x13})), got, 4, kRamSet},
        {"two frames", CMD_READ_RAM, reply::Send(twoFrames), got, kFrameBytes, kOtherSet},
    };
    std::vector<Bytes> requests;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        power = 1001;
        Words after = row.set.empty() ? Parameters() : row.set;
        after[0] = row.set.empty() && row.command == CMD_READ_RAM ? 500 : after[0];
        requests.push_back(RequestFrame(row.command, Parameters()));
        const int calls = bed().notificationCalls(1);
        const double asked = bed().now();
        graphrefresh = 0;
        peer.then(row.reply);
        if (row.command == CMD_ECHO) {
            EXPECT_EQ(CheckComLine(1), row.status == lineOk ? 1 : 0);
        } else {
            PushGET(RAM);
            EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), after[0]);
        }
        EXPECT_EQ(Status(), row.status);
        const bool timedOut = row.status == timeout;
        EXPECT_EQ(bed().notificationCalls(1), timedOut ? calls : calls + 1);
        // A frame turned away raises nothing.
        EXPECT_EQ(graphrefresh, row.status == lineOk || row.status == got ? 1 : 0);
        if (timedOut) {
            EXPECT_EQ(rx_flag, 0);
            EXPECT_GT(bed().now() - asked, TIMEOUT);
            EXPECT_LT(bed().now() - asked, TIMEOUT + 0.01);
        }
        if (row.status == lineOk) {
            EXPECT_EQ(pp[1], 0x0001);
            EXPECT_EQ(bed().inputQueueLength(1), 0); // what came with the frame is dropped
        }
        ExpectLineTidy(bed());
        Settle();
        EXPECT_EQ(bed().inputQueueLength(1), row.queued);
        EXPECT_EQ(Parameters(), after);

        requests.push_back(RequestFrame(CMD_READ_RAM, Parameters()));
        peer.answer(kNextSet);
        PushGET(RAM);
        EXPECT_EQ(Status(), got);
        EXPECT_EQ(Parameters(), kNextSet);
        EXPECT_EQ(bed().notificationCalls(1), timedOut ? calls + 1 : calls + 2);
    }
    // Every request carries the parameter globals as they stood.
    EXPECT_EQ(peer.frames(), requests);
}

TEST_F(Faulty, LateAnswerTakenInWhileIdleChangesNoParameter) {
    const auto before = Parameters();
    peer.then(SendAt(AnswerFrame(CMD_READ_RAM, kOtherSet), 1.51));
    PushGET(RAM);
    ASSERT_EQ(Status(), "Timeout-RS-232...");
    // The event loop runs while the late frame arrives: the notification
    // takes it in, but no sender waits for it.
    bed().setEventLoopLimit(0.2);
    RunUserInterface();
    EXPECT_EQ(bed().notificationCalls(1), 1);
    EXPECT_EQ(Parameters(), before);
    // The next sender starts from a cleared flag and its own request.
    peer.answer({});
    EXPECT_EQ(CheckComLine(1), 1);
    peer.answer(kRamSet);
    PushGET(RAM);
    EXPECT_EQ(Parameters(), kRamSet);
}

// ---- Hardware and firmware identification --------------------------------

// The hardware description words 0 to 8.
Words Description(u16 type, u16 board = 0, u16 resolution = 0, u16 firmware = 200,
                  u16 subpixel = 1024, u16 maxPixel = 1024) {
    return {type, maxPixel, resolution, board, 8192, subpixel, 0, 1180, firmware};
}

class Identification : public Line {
  protected:
    int Identify(const Words& description) {
        peer.answer(description);
        return GetHARDWAREInfo();
    }
    std::vector<std::string> SensorLines() { return bed().ctrl(pPopup, POPUP_TEXTBOXSensor).lines; }
    rt::headless::AxisState VideoX() { return bed().graph(pHandle, PANEL_GRAPH_VIDEO).xAxis; }
    rt::headless::AxisState RawY() { return bed().graph(pHandle, PANEL_GRAPH_RAW).yAxis; }
};

// ---- The sensor-type table ---------------------------------------------

const char* const kGain[] = {"HI-GAIN", "LO-GAIN"};
const char* const kConv[] = {"ADC-CNV", "DIG-CMP"};
const char kBlankLine[] = "                                     "; // 37 spaces

struct TypeRow {
    u16 type, resolution, firmware;
    const char* line0; // nullptr: the layout's text lines stay
    const char* line1;
    const char* const* toggle; // on and off texts; nullptr: the start-up ones stay
    int pixE, yAxisMax;
} const kTypes[] = {
    {1, 30, 200, "CCD-SENSOR:1024 pixel; 3.0µm res.;", "optical-lense, 3.0mm working range", kGain,
     1024, 1024},
    {1, 31, 230, "CCD-SENSOR:1024 pixel; 7.8µm pixel-pitch;", "8.0mm working range", kGain, 1024,
     1024},
    {2, 750, 230, "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;", "opt.-lense, 75mm working range",
     kGain, 1024, 1024},
    {2, 350, 220, "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;", "opt.-lense, 35mm working range",
     kGain, 1024, 256},
    {2, 350, 219, "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;", "opt.-lense, 35mm working range",
     kGain, 1024, 1024},
    {2, 250, 230, "CCD-SENSOR:1024 pixel; 25µm pixel-pitch;",
     "Working-Range: 25,6mm,  Resolution: 12.5µm (subpixel x2)", kGain, 1024, 256},
    {2, 100, 230, nullptr, nullptr, nullptr, 1024, 1024},
    {3, 0, 219, "CCD-SENSOR:512 pixel; 25µm pixel-pitch;", "12,8mm working range", kGain, 512,
     1024},
    {3, 0, 220, "CCD-SENSOR:512 pixel; 25µm pixel-pitch;", "12,8mm working range", kGain, 512, 256},
    {4, 0, 230, "CCD-SENSOR:512 pixel; 12,5µm pixel-pitch;", "6,4mm working range", nullptr, 512,
     256},
    {101, 0, 220, "CCD-SENSOR:256 pixel; 63.5µm pixel-pitch;",
     "Working-Range: 16.25mm, Resolution: 31.75µm (subpixel x2)", kConv, 256, 256},
    {102, 0, 220, "CCD-SENSOR:768 pixel; 63.5µm pixel-pitch;",
     "Working-Range: 48,8mm, Resolution: 31.75µm (subpixel x2)", kConv, 768, 256},
    {102, 0, 221, "CCD-SENSOR:768 pixel; 63.5µm pixel-pitch;",
     "Working-Range: 48,8mm, Resolution: 31.75µm (subpixel x2)", nullptr, 768, 256},
    {103, 0, 100, "CCD-SENSOR:1180 pixel; 63.5µm pixel-pitch;",
     "Working-Range: 74,9mm,   Resolution: 31.75µm (subpixel x2)", kConv, 1180, 1024},
    {104, 0, 230, "CCD-SENSOR:1536 pixel; 63.5µm pixel-pitch;",
     "Working-Range: 97,5mm,   Resolution: 63.5µm", kConv, 1536, 256},
    {7, 0, 230, "CCD-SENSOR: no information avialable!", kBlankLine, kConv, 1024, 1024},
};

class SensorTypes : public Identification, public ::testing::WithParamInterface<TypeRow> {};

INSTANTIATE_TEST_SUITE_P(EveryRow, SensorTypes, ::testing::ValuesIn(kTypes));

TEST_P(SensorTypes, DescriptionTextsWindowAndVideoAxis) {
    const TypeRow& row = GetParam();
    // Leave traces of an earlier sensor: none of them may stay.
    pixB = 5;
    pixE = 700;
    YAXISMAX = 256;
    ReplaceTextBoxLine(pPopup, POPUP_TEXTBOXSensor, 0, "old sensor");
    ReplaceTextBoxLine(pPopup, POPUP_TEXTBOXSensor, 1, "old range");
    SetCtrlAttribute(pHandle, PANEL_TOGGBTN_OpMode, ATTR_ON_TEXT, "OLD-ON");
    SetCtrlAttribute(pHandle, PANEL_TOGGBTN_OpMode, ATTR_OFF_TEXT, "OLD-OFF");

    EXPECT_EQ(Identify(Description(row.type, 0, row.resolution, row.firmware)), 1);

    // A row that names no text or window leaves the layout's and the
    // start-up ones.
    const auto lines = SensorLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], row.line0 ? row.line0 : "");
    EXPECT_EQ(lines[1], row.line1 ? row.line1 : "");
    const auto& toggle = bed().ctrl(pHandle, PANEL_TOGGBTN_OpMode);
    EXPECT_EQ(toggle.onText, (row.toggle ? row.toggle : kGain)[0]);
    EXPECT_EQ(toggle.offText, (row.toggle ? row.toggle : kGain)[1]);
    EXPECT_EQ(std::tuple(pixB, pixE, YAXISMAX), std::tuple(1, row.pixE, row.yAxisMax));
}

// ---- Extra actions of some types and boards ------------------------------

TEST_F(Identification, Types3And4ScaleTheStripChartToTheLine) {
    EXPECT_EQ(Identify(Description(3, 0, 0, 200, 1024, 512)), 1);
    EXPECT_EQ(Scale(RawY()), std::tuple(VAL_MANUAL, 0.0, 512.0));

    // A line length not in the list falls back to 256 pixels, and the chart
    // follows it.
    EXPECT_EQ(Identify(Description(4, 0, 0, 200, 1024, 1000)), 1);
    EXPECT_EQ(Scale(RawY()), std::tuple(VAL_MANUAL, 0.0, 256.0));
    EXPECT_EQ(std::tuple(ccdmaxpixel, xArray[0], xArray[255]), std::tuple(256, 0.0, 255.0));
}

TEST_F(Identification, BoardDecidesTheAnalogueControlsAndTheWindowUnits) {
    // Board 100 opens the analogue controls and counts the window in eighths;
    // board 400 closes them and the serial mode.
    struct Case {
        u16 board, type;
        bool dimmed;
        int pixE;
    };
    for (const Case c : {Case{100, 103, false, 1180 * 8}, Case{400, 1, true, 1024}}) {
        for (int k : {PANEL_DropAnaMode, PANEL_ButtonReset, PANEL_NUMAnaMax, PANEL_NUMAnaMin}) {
            SetCtrlAttribute(pHandle, k, ATTR_DIMMED, !c.dimmed);
        }
        EXPECT_EQ(Identify(Description(c.type, c.board)), 1);
        EXPECT_EQ(pixE, c.pixE) << "board " << c.board;
        for (int k : {PANEL_DropAnaMode, PANEL_ButtonReset, PANEL_NUMAnaMax, PANEL_NUMAnaMin}) {
            EXPECT_EQ(Dimmed(k), c.dimmed) << "board " << c.board << " control " << k;
        }
    }
    EXPECT_TRUE(Dimmed(PANEL_DropRs232Mode));
}

TEST_F(Identification, SubpixelStepsAndVideoAxis) {
    struct Case {
        u16 subpixel;
        double last; // xArray8[255]
    };
    for (const Case c : {Case{8192, 8160.0}, Case{1180, 1275.0}, Case{2360, 2550.0},
                         Case{2560, 2550.0}, Case{768, 765.0}, Case{1000, 255.0}}) {
        EXPECT_EQ(Identify(Description(1, 0, 0, 200, c.subpixel)), 1);
        EXPECT_EQ(std::tuple(xArray8[1], xArray8[255], ccdsubpixel),
                  std::tuple(c.last / 255.0, c.last, c.subpixel));
        EXPECT_EQ(Scale(VideoX()), std::tuple(VAL_MANUAL, 1.0, static_cast<double>(c.subpixel)));
    }
}

// ---- Faulty hardware answers ---------------------------------------------

// The request carries the packet as it stands, not the globals. An answer
// with a wrong echo is no description: nothing of it is kept or adapted; a
// silent sensor changes only the video scale and leaves its time-out for the
// connection sequence to show.
TEST_F(Identification, WrongEchoKeepsNothingAndSilenceChangesOnlyTheVideoScale) {
    std::copy(kOtherSet.begin(), kOtherSet.end(), pp);
    power = 1;
    const auto lines = SensorLines();
    const int axisSets = VideoX().setCount;
    const bool anaModeDimmed = Dimmed(PANEL_DropAnaMode);
    peer.then(reply::Send(AnswerFrame(7, Description(104, 400))));
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(peer.frames(), std::vector<Bytes>{RequestFrame(CMD_HARDWARE, kOtherSet)});
    EXPECT_EQ(std::tuple(ccdtype, pcbtype, pixE), std::tuple(0, 0, 1024));
    EXPECT_EQ(SensorLines(), lines);
    EXPECT_EQ(std::tuple(VideoX().setCount, Dimmed(PANEL_DropAnaMode)),
              std::tuple(axisSets, anaModeDimmed));

    YAXISMAX = 256;
    peer.silent();
    SetStatusText("before");
    ShowStatus();
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(std::tuple(YAXISMAX, pcbtype, ccdmaxpixel), std::tuple(1024, 0, 1024));
    EXPECT_STREQ(szStatus, "Timeout-RS-232...");
    EXPECT_EQ(Status(), "before");
}

// ---- Firmware text ------------------------------------------------------

// A 72-byte block of 36 words, one character per word.
Bytes CharWords(const std::string& text) {
    Words words(36, 0);
    for (std::size_t i = 0; i < text.size() && i < 36; ++i) {
        words[i] = static_cast<unsigned char>(text[i]);
    }
    return test::WordBytes(words);
}

// A block that stays short is a time-out after 2 s, a port that is not open
// one at once; either way the notification is back and the queue empty.
TEST_F(Identification, FirmwareEachBoardsTextCodingIsDecodedAndAShortBlockTimesOut) {
    // Board 0: one character per word, only its low byte counts.
    Bytes words = CharWords("V2.30 KORVEN?");
    words[24] = 0x7F;
    words[25] = '!';
    // Other boards: the text itself up to its zero byte.
    const std::string fw = "FW 2.3 build 7";
    Bytes text = FirmwareText(fw);
    text[20] = 'X'; // after the terminator: not shown
    const std::string timeout = "Timeout - reading firmware info!";
    const struct {
        u16 board;
        Bytes block;
        std::string status;
        int returned;
    } cases[] = {
        {0, words, "V2.30 KORVEN!", 72},
        {100, text, fw, 72},
        {100, CharWords("V2"), "", 72}, // a word-coded block begins with a zero byte
        {400, Bytes(72, 'A'), std::string(71, 'A'), 72}, // no zero byte: cut to the status line
        {0, Bytes(10, 'v'), timeout, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        pcbtype = c.board;
        peer.send(c.block);
        const double begin = bed().now();
        EXPECT_EQ(GetVERSIONInfo(), c.returned);
        EXPECT_EQ(Status(), c.status);
        EXPECT_EQ(szVersion, c.board == 0 && c.returned == 72 ? c.status : "");
        EXPECT_EQ(bed().now() - begin > 2.0, c.status == timeout);
        EXPECT_EQ(ScriptedPeer::commandOf(peer.frames().back()), 7);
        EXPECT_EQ(std::tuple(bed().inputQueueLength(1), rx_flag, szStatus[71]),
                  std::tuple(0, 0, '\0'));
        ExpectLineTidy(bed());
    }
    SetStatusText("");
    CloseCom(1);
    EXPECT_EQ(GetVERSIONInfo(), 0);
    EXPECT_EQ(Status(), timeout);
}

// ==== The program's sequences =================================================

// Commands go to the EEPROM until a connection reads the RAM.
class Sequences : public Line {
  protected:
    void SetUp() override {
        Line::SetUp();
        target = EEPROM;
        ccdsubpixel = 1024;
        ccdmaxpixelX8 = 8192;
        ccdpixE = 1024;
    }
    // Status text seen by the operator at virtual time t.
    void StatusAt(double t, std::string& seen) {
        bed().at(t, [this, &seen] { seen = Status(); });
    }
};

// ---- The connection sequence ------------------------------------------------

// A port that cannot be opened, or a failed line check, ends the
// connection sequence with its message; commands still go to the EEPROM.
TEST_F(Sequences, PortOrLineCheckFaultStopsTheSequence) {
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {-1, "Unknown system error"}, {-2, "Invalid port number"}, {-3, "Port is not open"},
        {-4, "Unknown I/0 error"},    {-5, "RS-232 error!"},       {-6, "No serial port found"},
        {-7, "Cannot open port"},     {-8, "RS-232 error!"},       {-12, "RS-232 error!"},
        {-13, "Invalid parameter"},   {-14, "RS-232 error!"},      {-99, "Timeout"},
        {-100, "RS-232 error!"},
    };
    bed().attachPeer(3, &peer);
    for (const auto& row : rows) {
        bed().setOpenError(3, row.code);
        InitRS232(3);
        EXPECT_EQ(std::tuple(Status(), ret), std::tuple(row.text, row.code));
    }
    EXPECT_FALSE(bed().notificationInstalled(3));
    EXPECT_TRUE(bed().writes(3).empty());
    // A port number with nothing behind it.
    InitRS232(9);
    EXPECT_EQ(Status(), "No serial port found");
    EXPECT_FALSE(bed().notificationInstalled(9));

    LinePeer silent, wrongSync;
    wrongSync.then(reply::Answer({}, 0.0, 0xAA00));
    int port = 1;
    for (const auto& [sensor, status] :
         {std::pair(&silent, "Timeout-RS-232..."),
          std::pair(&wrongSync, "read error - not sync byte 0xAA!")}) {
        bed().attachPeer(port, sensor);
        com = port;
        InitRS232(port);
        EXPECT_EQ(Status(), status);
        EXPECT_EQ(sensor->commands(), (std::vector<int>{5}));
        EXPECT_TRUE(bed().notificationInstalled(port++));
    }
    EXPECT_EQ(target, EEPROM);
}

// A port chosen in the drop-down (one commit): the status line as each
// request reaches the sensor. A hardware answer that comes too late is
// waited out and thrown away, not read as parameters; one with the wrong
// echo is not taken either; either way the sequence reads the parameters
// and the firmware text all the same (as board 0 sends it).
TEST_F(Sequences, OperatorSeesEachStepAndAFaultyHardwareAnswerDoesNotStopTheSequence) {
    const Words type1 = {1, 1024, 30, 100, 8192, 1024, 0, 1024, 200};
    const struct {
        const char* name;
        test::Reply hardware;
        Bytes firmware;
        std::string status;
        int type, pixE, ret;
        double hardwareExchange; // from its request to the next one, +- 0.05 s
    } rows[] = {
        // Without a description the text is read as board 0 sends it, one
        // character per word.
        {"hardware late", reply::ArrivingAt({{1.51, AnswerFrame(CMD_HARDWARE, kDescription)}}),
         Bytes(72, 'v'), std::string(36, 'v'), 0, 1024, 72, TIMEOUT + 0.15},
        {"wrong echo", reply::Send(AnswerFrame(11, {104, 1536, 0, 100, 12288, 3072, 0, 1536, 230})),
         Bytes(72, 'v'), std::string(36, 'v'), 0, 1024, 72, 0.15},
        {"hardware answered", reply::Answer(type1), FirmwareText("KRVN FW 9.9"), "KRVN FW 9.9", 1,
         8192, 72, 0.15},
        {"firmware text one byte short", reply::Answer(type1), Bytes(71, 'x'),
         "Error reading firmware-info!", 1, 8192, 71, 0.15},
    };
    LinePeer peers[4];
    int port = 2;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LinePeer& sensor = peers[port - 2];
        std::vector<std::string> seen;
        for (const test::Reply& reply : {reply::Answer({}), row.hardware,
                                         reply::Answer({600, 0, 400}), reply::Send(row.firmware)}) {
            sensor.then(
                [this, &seen, reply](const Bytes& frame, double end, rt::headless::PeerLink& link) {
                    seen.push_back(Status());
                    reply(frame, end, link);
                });
        }
        bed().attachPeer(port, &sensor);
        SetCtrlVal(pHandle, PANEL_DropDCom, port);
        bed().fire(pHandle, PANEL_DropDCom, EVENT_COMMIT);

        EXPECT_EQ(seen, (std::vector<std::string>{"Init COM-Port ...", "Echo Check - Line Ok!",
                                                  "Waiting for parameter-frame ...",
                                                  "Waiting for firmware info ..."}));
        EXPECT_EQ(sensor.commands(), (std::vector<int>{5, 10, 2, 7}));
        EXPECT_EQ(std::tuple(Status(), ccdtype, pixE, ret),
                  std::tuple(row.status, row.type, row.pixE, row.ret));
        // The parameters read are shown; later commands go to RAM.
        EXPECT_EQ(std::tuple(power, vThd, target, bed().intValue(pHandle, PANEL_NUMPower)),
                  std::tuple(600, 400, RAM, 600));
        const auto s = bed().comSettings(port);
        EXPECT_EQ(std::tuple(s.baudRate, s.parity, s.dataBits, s.stopBits, s.inputQueueSize,
                             s.outputQueueSize, bed().comTimeout(port)),
                  std::tuple(19200, 0, 8, 1, 4096, 4096, 2.0));
        ExpectLineTidy(bed(), port);
        EXPECT_EQ(eventMask, 0x8006);
        // The exchanges are spaced by at least a tenth of a second.
        const auto& writes = bed().writes(port);
        ASSERT_EQ(writes.size(), 4u);
        for (std::size_t i = 1; i < writes.size(); ++i) {
            EXPECT_GE(writes[i].time - writes[i - 1].time, 0.1) << "before write " << i;
        }
        EXPECT_NEAR(writes[2].time - writes[1].time, row.hardwareExchange, 0.05);
        ++port;
    }
}

// ---- GET ----------------------------------------------------------------------

// The request carries the parameter set as it stood; the answer is repaired
// where out of range and shown.
TEST_F(Sequences, GetFromRamOrEepromAsksForItsWordsAndShowsTheAnswer) {
    EXPECT_EQ(std::tuple(power, tVal), std::tuple(500, 512)); // the layout's values
    for (const int from : {RAM, EEPROM}) {
        SCOPED_TRACE(from);
        CopyVarsToPP();
        const Words asked(pp, pp + PNUM);
        // power, rs232Mode, vThd (out of range), anaMode, polarity, eMode,
        // eBeg, eEnd, tVal, tTol, opMode, eHardware, slope, intersect,
        // average, deltaTol
        peer.answer({700, 1, 1000, 3, 0, 2, 20, 1000, 600, 40, 1, 2, 1100, 29000, 16, 5});
        std::string waiting;
        const double begin = bed().now();
        StatusAt(begin + 0.01, waiting);
        PushGET(from);
        const int command = from == RAM ? CMD_READ_RAM : CMD_READ_EEPROM;
        EXPECT_EQ(peer.frames().back(), test::RequestFrame(command, asked));
        EXPECT_EQ(order, command);
        EXPECT_EQ(waiting, "Waiting for parameter-frame ...");
        EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
        EXPECT_EQ(std::tuple(power, vThd, eMode, tVal, intersect),
                  std::tuple(700, 950, 2, 600, 29000));
        EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 700);
        EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMVideoThreshold), 950);
        EXPECT_EQ(bed().doubleValue(pPopup, POPUP_NUMOffset), -1000.0);
        EXPECT_LT(bed().now() - begin, 0.1);
    }
    // GET from a file asks nothing and only shows the globals.
    power = 1001;
    tVal = 345;
    SetStatusText("Parameter file read");
    SetCtrlVal(pHandle, PANEL_STATUS, "something else");
    PushGET(DATFILE);
    EXPECT_EQ(Status(), "Parameter file read");
    EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_NUMPower),
                         bed().intValue(pHandle, PANEL_NUMTeachValue)),
              std::tuple(500, 345));
    EXPECT_EQ(peer.commands(), (std::vector<int>{CMD_READ_RAM, CMD_READ_EEPROM}));
}

// ---- RUN ----------------------------------------------------------------------

TEST_F(Sequences, RunDrawsEveryAnswerUntilStopped) {
    test::SimPeer sensor;
    sensor.model().setRamWord(sim::kTTol, 123);
    test::OpenLine(bed(), &sensor);
    tTol = 77;
    // The request is packed from the globals; the panel is not read.
    SetCtrlVal(pHandle, PANEL_NEDITTolerance, 66);
    graphrefresh = 1; // left over from an earlier answer
    std::tuple<bool, bool, int> whileRunning;
    bed().at(0.5, [&] { whileRunning = Locks(bed()); });
    // Longer than one time-out: the time-out runs from the last request.
    bed().at(2.0, [&] { bed().click(pHandle, PANEL_BTNStop); });

    PushRUN();

    EXPECT_NEAR(bed().now(), 2.0, 0.01);
    const auto commands = sensor.commands();
    ASSERT_GE(commands.size(), 40u);
    EXPECT_EQ(commands, std::vector<int>(commands.size(), CMD_RUN));
    // One drawing per answer; at most the answer in flight when stopped is
    // not drawn.
    const int drawn = bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls;
    EXPECT_GE(drawn, static_cast<int>(commands.size()) - 1);
    EXPECT_LE(drawn, static_cast<int>(commands.size()));
    // The tolerance the sensor reports travels back with the next request;
    // the operator's entry keeps its value, the indicator follows.
    EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(sensor.frames()[0], 9), 77);
    EXPECT_EQ(rt::headless::ScriptedPeer::wordOf(sensor.frames()[1], 9), 123);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NEDITTolerance), 66);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 123);

    EXPECT_EQ(Status(), "Line Ok!"); // stopped without a message
    EXPECT_EQ(whileRunning, std::tuple(true, true, 0));
    EXPECT_EQ(Locks(bed()), kLoopEnded);
    EXPECT_EQ(std::tuple(target, bed().intValue(pHandle, PANEL_RBTRam), rx_flag, graphrefresh),
              std::tuple(RAM, 1, 0, 0));
    EXPECT_FALSE(bed().ctrl(pHandle, PANEL_GRAPH_VIDEO).visible);
    EXPECT_TRUE(bed().ctrl(pHandle, PANEL_GRAPH_RAW).visible);
}

TEST_F(Sequences, RunAnswerWordsReachTheDisplay) {
    // Ledge, Redge, Mvalue, umValue low/high (-2), tVal, tTol, edcnt,
    // mvstart, mvend, (unused), anaMax, anaMin
    peer.always(CMD_RUN,
                reply::Answer({300, 700, 400, 0xFFFE, 0xFFFF, 520, 30, 2, 0, 0, 9, 800, 1023}));
    eMode = 1;
    bed().at(0.2, [] { stop_flag = 1; });
    PushRUN();
    EXPECT_EQ(std::tuple(Ledge, Redge, umValue), std::tuple(300, 700, -2));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMUmValue), -2);
    EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_NUMAnaMax),
                         bed().intValue(pHandle, PANEL_NUMAnaMin)),
              std::tuple(800, 1));
    EXPECT_EQ(std::tuple(bed().graph(pHandle, PANEL_GRAPH_EDGES).cursors[0].x, arrayNORM[497],
                         arrayNORM[498]),
              std::tuple(700.0, 520.0, 400.0));
}

// A run answer missing from the start, or just too late (complete 1.51 s
// after its request) after two good ones, ends the run with its message.
TEST_F(Sequences, RunAnswerMissingOrTooLateEndsTheRunWithItsMessage) {
    for (const int answered : {0, 2}) {
        SCOPED_TRACE(std::to_string(answered) + " answers before");
        LinePeer sensor;
        for (int k = 0; k < answered; ++k) {
            sensor.answer({100, 200, 150, 0, 0, 512, 100});
        }
        sensor.then(reply::ArrivingAt({{1.51, AnswerFrame(CMD_RUN, {})}}));
        test::OpenLine(bed(), &sensor, 2 + answered);
        SetCtrlAttribute(pHandle, PANEL_LOOPUNLOCK, ATTR_DIMMED, 1);
        graphrefresh = 1; // an earlier answer is not a run answer
        Ledge = 0;
        std::string early;
        StatusAt(bed().now() + 0.5, early);
        const int drawn = bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls;

        PushRUN();

        const double ran = bed().now() - bed().writes(com).back().time;
        EXPECT_GT(ran, 1.5);
        EXPECT_LT(ran, 1.55);
        EXPECT_EQ(early, "Line Ok!");
        EXPECT_EQ(Status(), "Timeout RS232-Line!");
        EXPECT_EQ(sensor.commands(), std::vector<int>(answered + 1, CMD_RUN));
        EXPECT_EQ(std::tuple(bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls - drawn, Ledge),
                  std::tuple(answered, answered == 0 ? 0 : 100));
        EXPECT_EQ(Locks(bed()), kLoopEnded);
        EXPECT_FALSE(Dimmed(PANEL_LOOPUNLOCK));
        ExpectLineTidy(bed(), com);
    }
}

// Stray bytes behind an aligned run answer, or behind a video block cut
// short, that go on arriving: the loop waits for the line to fall quiet
// before its next request, so that they cannot shift the next answer. A
// single stray byte seen counts like several, and a short block marks the
// line even after an aligned answer. Event passes and timer calls of fixed
// binary fractions of a second make the timing exact.
TEST_F(Sequences, LoopsDrainStrayBytesBehindAnAnswerOrAShortBlock) {
    const Bytes first = AnswerFrame(CMD_RUN, {100, 200, 150});
    const Bytes second = AnswerFrame(CMD_RUN, {120, 220, 170});
    int port = 1;
    // The second answer must be what the loop shows when it times out.
    const auto expectSecondShown = [&](int button, double passStep, double timerTick,
                                       const std::vector<test::Reply>& replies) {
        LinePeer sensor;
        for (const test::Reply& reply : replies) {
            sensor.then(reply);
        }
        test::OpenLine(bed(), &sensor, port++);
        bed().options().passStep = passStep;
        bed().options().timerTick = timerTick;
        ASSERT_TRUE(bed().pressKey(pHandle, button));
        EXPECT_EQ(Status(), "Timeout RS232-Line!");
        EXPECT_EQ(std::tuple(Ledge, Redge), std::tuple(120, 220));
        EXPECT_EQ(Locks(bed()), kLoopEnded);
    };
    // One block a line. The short block's read times out in the 193rd pass
    // of 1/128 s, the video cycle ends with one more; a byte comes half a
    // pass after that.
    pcbtype = 400;
    expectSecondShown(PANEL_BTNVideo, 1.0 / 128, 0.0,
                      {reply::Send(first),
                       reply::ArrivingAt({{0.3, Bytes(511, 0)}, {194.5 / 128, {0}}}),
                       reply::Send(second), reply::Send(Bytes(512, 0))});
    // A byte every 1.5 ms behind the run answer: one or two are in the queue
    // when the loop looks, a timer call after the notification took the
    // answer; the phase differs from case to case.
    for (const double phase : {0.0, 0.0005, 0.001}) {
        SCOPED_TRACE(phase);
        std::vector<std::pair<double, Bytes>> pieces = {{0.05, first}};
        for (int i = 1; i <= 12; ++i) {
            pieces.push_back({0.05 + phase + 0.0015 * i, {0}});
        }
        expectSecondShown(PANEL_BTNRun, 1.0 / 2048, 1.0 / 512,
                          {reply::ArrivingAt(pieces), reply::Send(second)});
    }
}

// ---- A noisy or faulty line ---------------------------------------------------

// The 16 data words that carry bytes 32 * round .. 32 * round + 31.
Words RoundWords(int round) {
    Words words;
    for (int k = 0; k < PNUM; ++k) {
        const int high = (32 * round + 2 * k) & 0xFF;
        words.push_back(static_cast<std::uint16_t>(high << 8 | ((high + 1) & 0xFF)));
    }
    return words;
}

class NoisyLine : public test::PanelBed {
  protected:
    void ExpectLoopEnded(int port) {
        EXPECT_EQ(Locks(bed()), kLoopEnded);
        ExpectLineTidy(bed(), port);
    }
    // The display shows what the sensor sent last: its line (video) and its
    // edge. The last run answer may have arrived after the stop: either of
    // the last two is what the display must show.
    void ExpectShowsTheSensor(const SimPeer& sensor, int button) {
        const std::vector<int> edges = sensor.lastLeftEdges(2);
        ASSERT_EQ(edges.size(), 2u);
        if (button == PANEL_BTNVideo) {
            const auto line = sensor.model().videoSamples(sensor.model().lastLine());
            EXPECT_EQ(Words(std::begin(adcbuf), std::end(adcbuf)), Words(line.begin(), line.end()));
            EXPECT_EQ(Ledge, edges[0]);
        } else {
            EXPECT_TRUE(Ledge == edges[0] || Ledge == edges[1])
                << "shown " << Ledge << ", sensor sent " << edges[1] << " then " << edges[0];
        }
    }
};

// ---- Every byte value -------------------------------------------------------

TEST_F(NoisyLine, EveryByteValuePassesTheHeadlessLineBothWays) {
    // The sensor echoes the data words of each request.
    LinePeer peer;
    peer.always(CMD_ECHO, [](const Bytes& frame, double end, rt::headless::PeerLink& link) {
        link.send(end, test::Concat({0x00, 0xAA}, Bytes(frame.begin() + 2, frame.end())));
    });
    test::OpenLine(bed(), &peer);
    Words samples; // every byte value, twice
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        const Words words = RoundWords(round);
        samples.insert(samples.end(), words.begin(), words.end());
        std::copy(words.begin(), words.end(), pp);
        CopyPPtoVars();
        ASSERT_EQ(CheckComLine(1), 1);
        EXPECT_EQ(peer.frames().back(), test::RequestFrame(CMD_ECHO, words));
        // Word 0 is replaced by the answer sync word.
        EXPECT_EQ(Words(pp + 1, pp + PNUM), Words(words.begin() + 1, words.end()));
    }
    // The same bytes as a raw block, read as 256 samples.
    peer.always(CMD_DATA256_OR_RESET, reply::Send(test::WordBytes(samples)));
    SilenceRxNotification();
    ReadData256();
    EXPECT_EQ(Status(), "Data[256] block received!");
    EXPECT_EQ(Words(std::begin(adcbuf), std::end(adcbuf)), samples);
}

#if !defined(_WIN32) // pseudo-terminals are POSIX
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
        // Write the words into RAM (no answer), then read them back.
        const Bytes frames =
            Concat(RequestFrame(sim::kCmdWriteRam, words), RequestFrame(sim::kCmdReadRam, {}));
        ASSERT_EQ(::write(fd, frames.data(), frames.size()), 72);
        EXPECT_EQ(readFor(36, 3.0), AnswerFrame(sim::kCmdReadRam, words)) << "round " << round;
    }
    // Nothing more than the answers came back.
    EXPECT_TRUE(readFor(1, 0.1).empty());
    ::close(fd);
    server.stop();
}
#endif

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
        int command;
        double faultEnd;
    } rows[] = {
        {"blocks late by 1.0 s", PANEL_BTNVideo, "type2-res350", 1.0, CMD_DATA64, 4.0},
        {"blocks late by 1.6 s", PANEL_BTNVideo, "type2-res350", 1.6, CMD_DATA64, 4.0},
        // Blocks so late that they arrive during a later exchange may cost
        // that exchange its answer; the loop then ends with its time-out.
        {"blocks late by 3.0 s", PANEL_BTNVideo, "type2-res350", 3.0, CMD_DATA64, 4.0},
    };
    const void* current = nullptr;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimPeer sensor(row.preset);
        Connect(sensor);
        const double start = bed().now();
        const sim::Faults faults{.lateSeconds = row.late, .command = row.command};
        bed().at(start + 0.5, [&sensor, faults] { sensor.faults() = faults; });
        bed().at(start + row.faultEnd, [&sensor] { sensor.faults() = sim::Faults{}; });
        // A row that ended early does not stop the next one.
        bed().at(start + 20.0, [this, &row, &current] {
            if (current == &row) {
                bed().click(pHandle, PANEL_BTNStop);
            }
        });
        current = &row;
        ASSERT_TRUE(bed().pressKey(pHandle, row.button));
        current = nullptr;
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

} // namespace
} // namespace korven
