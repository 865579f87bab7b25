// The serial link against a scripted sensor on a line with real byte timing:
// command and answer frames, the receive notification, the answer wait and
// the line check, video blocks, and faulty answers - frames in pieces, one
// byte short, with extra bytes, two back to back, a wrong sync word, answers
// around the time-out, floods, and late bytes that must never pass for the
// answer of the next request; the identification of the sensor and its
// firmware text, with what the operator sees change on the panels.
#include "app/KORVENDarir23.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace korven {
namespace {

using rt::headless::ScriptedPeer;
using test::AnswerFrame;
using test::Bytes;
using test::Concat;
using test::RequestFrame;
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

class Line : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        test::OpenLine(bed(), &peer, 1);
    }
    // The notification is back with its standard settings.
    void ExpectLineTidy() {
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
        EXPECT_EQ(bed().notificationCount(1), kFrameBytes);
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
    }
    // Lets bytes still on the wire arrive without processing events.
    void Settle() { bed().advance(0.2); }

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
    ExpectLineTidy();
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
// words whatever came before.
TEST_F(Line, VideoRequestsCarryTheirOwnWordsAndFillTheirSamples) {
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
}

// A short block keeps the old buffer tail for the missing samples.
TEST_F(Line, ShortOrMissingVideoBlockTimesOut) {
    SilenceRxNotification();
    // What an earlier exchange left in the read buffer.
    Words expected(50, 0x1111);
    for (int b = 0; b < kBufLen; ++b) {
        szReadBuf[b] = static_cast<unsigned char>(b & 0xFF);
    }
    for (int i = 50; i < 64; ++i) {
        expected.push_back(static_cast<u16>((2 * i) * 256 + 2 * i + 1));
    }
    peer.send(Bytes(100, 0x11)).silent();
    double begin = bed().now();
    EXPECT_EQ(ReadData64(64, 0), 1);
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 64 data-words!");
    EXPECT_EQ(nBytesR, 100);
    EXPECT_EQ(Adc(64, 128), expected);
    begin = bed().now();
    EXPECT_EQ(ReadData256(), 1);
    EXPECT_GT(bed().now() - begin, TIMEOUT);
    EXPECT_EQ(Status(), "Timeout-RS-232 while reading 256 data-words!");
    EXPECT_EQ(nBytesR, 0);
}

// More than the block: read only up to the buffer (the firmware read reports
// what the input queue held), never reported as received, and the next
// exchange starts with an empty queue.
TEST_F(Line, MoreThanTheBlockIsReadOnlyUpToTheBufferAndNotReported) {
    bed().options().byteTime = 0.0; // everything arrives at once
    Bytes flood = Samples(0, 256, 7);
    flood.resize(3000, 0x5A);
    const auto firstBlock = [] { return ReadData64(0, 0); };
    Words blockAndZero = Ramp(0, 64);
    blockAndZero.push_back(0); // the extra bytes go nowhere
    const struct {
        const char* name;
        int (*read)();
        Bytes bytes;
        int returned, bytesRead, queued;
        Words samples; // adcbuf from its start
    } rows[] = {
        {"block and three bytes", firstBlock, Concat(Samples(0, 64), {0xEE, 0xEE, 0xEE}), 1, 131, 0,
         blockAndZero},
        {"firmware 100", GetVERSIONInfo, Bytes(100, 'B'), 100, 100, 0, {}},
        {"firmware 3000", GetVERSIONInfo, Bytes(3000, 'B'), 3000, kBufLen, 0, {}},
        {"firmware flood", GetVERSIONInfo, Bytes(100000, 'B'), 4096, kBufLen, 0, {}},
        {"flood on the full line", ReadData256, flood, 1, kBufLen, 3000 - kBufLen, Ramp(0, 256, 7)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SilenceRxNotification();
        SetStatusText("previous");
        peer.send(row.bytes);
        EXPECT_EQ(row.read(), row.returned);
        EXPECT_EQ(nBytesR, row.bytesRead);
        EXPECT_EQ(Status(), "previous");
        EXPECT_STREQ(szVersion, "");
        EXPECT_EQ(bed().inputQueueLength(1), row.queued);
        // The firmware read puts the notification back.
        EXPECT_EQ(bed().notificationInstalled(1), row.read == GetVERSIONInfo);
        EXPECT_EQ(Adc(0, static_cast<int>(row.samples.size())), row.samples);
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
    ExpectLineTidy();

    // A frame spread over most of the time-out still counts, and the
    // notification takes it in once, when it is complete.
    const int calls = bed().notificationCalls(1);
    peer.then(InPieces(AnswerFrame(CMD_ECHO, {}), size, size == 35 ? 1.2 : gap));
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
    EXPECT_EQ(bed().notificationCalls(1), calls + 1);

    peer.then(InPieces(AnswerFrame(CMD_HARDWARE, kDescription), size, gap));
    EXPECT_EQ(GetHARDWAREInfo(), 1);
    EXPECT_EQ(ccdtype, 101);
    EXPECT_EQ(pcbtype, 400);
    EXPECT_EQ(softversion, 231);
    ExpectLineTidy();
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
        {"silent", CMD_ECHO, reply::Silent(), timeout, 0, unchanged},
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
        EXPECT_EQ(graphrefresh, timedOut ? 0 : 1);
        if (timedOut) {
            EXPECT_EQ(rx_flag, 0);
            EXPECT_GT(bed().now() - asked, TIMEOUT);
            EXPECT_LT(bed().now() - asked, TIMEOUT + 0.01);
        }
        if (row.status == lineOk) {
            EXPECT_EQ(pp[1], 0x0001);
            EXPECT_EQ(bed().inputQueueLength(1), 0); // what came with the frame is dropped
        }
        ExpectLineTidy();
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
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }
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
    EXPECT_EQ(pixB, 1);
    EXPECT_EQ(pixE, row.pixE);
    EXPECT_EQ(YAXISMAX, row.yAxisMax);
}

// ---- Extra actions of some types and boards ------------------------------

TEST_F(Identification, Types3And4ScaleTheStripChartToTheLine) {
    EXPECT_EQ(Identify(Description(3, 0, 0, 200, 1024, 512)), 1);
    EXPECT_EQ(RawY().mode, VAL_MANUAL);
    EXPECT_DOUBLE_EQ(RawY().min, 0.0);
    EXPECT_DOUBLE_EQ(RawY().max, 512.0);

    // A line length not in the list falls back to 256 pixels, and the chart
    // follows it.
    EXPECT_EQ(Identify(Description(4, 0, 0, 200, 1024, 1000)), 1);
    EXPECT_DOUBLE_EQ(RawY().max, 256.0);
    EXPECT_EQ(ccdmaxpixel, 256);
    EXPECT_DOUBLE_EQ(xArray[0], 0.0);
    EXPECT_DOUBLE_EQ(xArray[255], 255.0);
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
        EXPECT_DOUBLE_EQ(xArray8[255], c.last) << "subpixel " << c.subpixel;
        EXPECT_DOUBLE_EQ(xArray8[1], c.last / 255.0) << "subpixel " << c.subpixel;
        EXPECT_EQ(VideoX().mode, VAL_MANUAL);
        EXPECT_DOUBLE_EQ(VideoX().min, 1.0);
        EXPECT_DOUBLE_EQ(VideoX().max, c.subpixel);
        EXPECT_EQ(ccdsubpixel, c.subpixel);
    }
}

// ---- Faulty hardware answers ---------------------------------------------

TEST_F(Identification, RequestCarriesThePacketAsItStands) {
    std::copy(kOtherSet.begin(), kOtherSet.end(), pp);
    power = 1; // not copied into the packet
    EXPECT_EQ(Identify(Description(1)), 1);
    EXPECT_EQ(peer.frames(), std::vector<Bytes>{RequestFrame(CMD_HARDWARE, kOtherSet)});
}

TEST_F(Identification, WrongEchoKeepsTheWordsButAdaptsNothing) {
    const auto lines = SensorLines();
    const int axisSets = VideoX().setCount;
    const bool anaModeDimmed = Dimmed(PANEL_DropAnaMode);
    peer.then(reply::AnswerWithEcho(7, Description(104, 400)));
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(ccdtype, 104);
    EXPECT_EQ(pcbtype, 400);
    EXPECT_EQ(SensorLines(), lines);
    EXPECT_EQ(VideoX().setCount, axisSets);
    EXPECT_EQ(Dimmed(PANEL_DropAnaMode), anaModeDimmed);
    EXPECT_EQ(pixE, 1024);
}

TEST_F(Identification, SilentSensorChangesOnlyTheVideoScale) {
    YAXISMAX = 256;
    peer.silent();
    SetStatusText("before");
    ShowStatus();
    EXPECT_EQ(GetHARDWAREInfo(), 0);
    EXPECT_EQ(YAXISMAX, 1024);
    EXPECT_EQ(pcbtype, 0);
    EXPECT_EQ(ccdmaxpixel, 1024);
    EXPECT_STREQ(szStatus, "Timeout-RS-232...");
    EXPECT_EQ(Status(), "before"); // left for the connection sequence to show
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

TEST_F(Identification, FirmwareEachBoardsTextCodingIsDecoded) {
    // Board 0: one character per word, only its low byte counts.
    Bytes words = CharWords("V2.30 KORVEN?");
    words[24] = 0x7F;
    words[25] = '!';
    // Other boards: the text itself up to its zero byte.
    Bytes text(72, 0);
    const std::string fw = "FW 2.3 build 7";
    std::copy(fw.begin(), fw.end(), text.begin());
    text[20] = 'X'; // after the terminator: not shown
    struct Case {
        u16 board;
        Bytes block;
        std::string status;
    };
    const Case cases[] = {
        {0, words, "V2.30 KORVEN!"},
        {100, text, fw},
        {100, CharWords("V2"), ""},                  // a word-coded block begins with a zero byte
        {400, Bytes(72, 'A'), std::string(71, 'A')}, // no zero byte: cut to the status line
    };
    for (const Case& c : cases) {
        pcbtype = c.board;
        peer.send(c.block);
        const int passes = bed().passes();
        EXPECT_EQ(GetVERSIONInfo(), 72);
        EXPECT_EQ(Status(), c.status) << "board " << c.board;
        EXPECT_EQ(szVersion, c.board == 0 ? c.status : "") << "board " << c.board;
        EXPECT_EQ(bed().passes(), passes) << "no event processing while waiting";
        EXPECT_EQ(ScriptedPeer::commandOf(peer.frames().back()), 7);
        EXPECT_TRUE(bed().notificationInstalled(1));
        EXPECT_EQ(bed().notificationMask(1), eventMask);
    }
    EXPECT_EQ(szStatus[71], '\0');
}

TEST_F(Identification, FirmwareShortBlockOrClosedPortTimesOutWithTheNotificationBack) {
    peer.send(Bytes(10, 'v'));
    const double begin = bed().now();
    EXPECT_EQ(GetVERSIONInfo(), 10);
    EXPECT_EQ(Status(), "Timeout - reading firmware info!");
    EXPECT_GT(bed().now() - begin, 2.0);
    EXPECT_TRUE(bed().notificationInstalled(1));
    EXPECT_EQ(bed().inputQueueLength(1), 0);
    EXPECT_EQ(rx_flag, 0);

    SetStatusText("");
    CloseCom(1);
    EXPECT_EQ(GetVERSIONInfo(), 0);
    EXPECT_EQ(Status(), "Timeout - reading firmware info!");
}

} // namespace
} // namespace korven
