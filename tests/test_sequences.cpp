// The program's sequences against scripted and virtual sensors: the
// connection sequence (opening the port, the line check, the
// identification, the RAM read and the firmware text), the read-back (GET
// from RAM, EEPROM or file) and the run sequence, with what the operator
// sees and the frames on the line. Then a noisy or faulty line: floods of
// unsolicited bytes (the input queue stays bounded and the panels stay
// responsive), every byte value - the flow-control characters 0x11 and
// 0x13, CR, LF and NUL included - crossing the line unchanged, on the
// headless line and through a pseudo-terminal served by the virtual sensor;
// stray bytes behind an answer or a block, and the continuous loops after a
// passing fault of the sensor or a port switch in the middle of a cycle.
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
#include <tuple>
#include <unistd.h>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using test::AnswerFrame;
using test::Bytes;
using test::LinePeer;
using test::SimPeer;
using test::Words;
namespace reply = test::reply;

// A firmware block of a board that sends plain text: the text, then zeros.
Bytes FirmwareText(const std::string& text) {
    Bytes block(72, 0);
    std::copy(text.begin(), text.end(), block.begin());
    return block;
}

// The receive notification of a port: installed, event mask, byte count.
std::tuple<bool, int, int> Notification(rt::headless::HeadlessBackend& bed, int port) {
    return {bed.notificationInstalled(port), bed.notificationMask(port),
            bed.notificationCount(port)};
}

class Sequences : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        com = 1;
        target = EEPROM;
        ccdsubpixel = 1024;
        ccdmaxpixelX8 = 8192;
        ccdpixE = 1024;
    }
    // Status text seen by the operator at virtual time t.
    void StatusAt(double t, std::string& seen) {
        bed().at(t, [this, &seen] { seen = Status(); });
    }
    // The loop locks dimmed, and the stop flag: a loop has ended when both
    // locks are free again and the flag is set.
    std::tuple<bool, bool, int> Locks() {
        return {Dimmed(PANEL_LOOPLOCK_A), Dimmed(PANEL_LOOPLOCK_B), stop_flag};
    }
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }

    LinePeer peer;
};

const std::tuple<bool, bool, int> kLoopEnded{false, false, 1};

// ---- The connection sequence ------------------------------------------------

TEST_F(Sequences, LineCheckFailureStopsTheSequence) {
    LinePeer silent, wrongSync;
    wrongSync.then(reply::Answer({}, 0.0, 0xAA00));
    const struct {
        LinePeer* peer;
        const char* status;
    } rows[] = {{&silent, "Timeout-RS-232..."}, {&wrongSync, "read error - not sync byte 0xAA!"}};
    int port = 1;
    for (const auto& row : rows) {
        bed().attachPeer(port, row.peer);
        com = port;
        InitRS232(port);
        EXPECT_EQ(Status(), row.status);
        EXPECT_EQ(row.peer->commands(), (std::vector<int>{5}));
        EXPECT_EQ(target, EEPROM);
        EXPECT_TRUE(bed().notificationInstalled(port++));
    }
}

TEST_F(Sequences, PortThatCannotBeOpenedIsReported) {
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
        EXPECT_EQ(Status(), row.text) << row.code;
        EXPECT_EQ(ret, row.code);
    }
    EXPECT_FALSE(bed().notificationInstalled(3));
    EXPECT_TRUE(bed().writes(3).empty());
    EXPECT_EQ(target, EEPROM);
    // A port number with nothing behind it.
    InitRS232(9);
    EXPECT_EQ(Status(), "No serial port found");
    EXPECT_FALSE(bed().notificationInstalled(9));
}

// A port chosen in the drop-down (one commit): the status line as each
// request reaches the sensor. A hardware answer that comes too late is
// waited out and thrown away, not read as parameters; one with the wrong
// echo is stored but adapts nothing; either way the sequence reads the
// parameters and the firmware text all the same.
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
        {"hardware late",
         reply::ArrivingAt(
             {{1.51, AnswerFrame(CMD_HARDWARE, {101, 256, 0, 400, 2048, 2048, 0, 256, 231})}}),
         Bytes(72, 'v'), std::string(36, 'v'), 0, 1024, 72, TIMEOUT + 0.15},
        {"wrong echo", reply::AnswerWithEcho(11, {104, 1536, 0, 100, 12288, 3072, 0, 1536, 230}),
         FirmwareText("KRVN FW 9.9"), "KRVN FW 9.9", 104, 1024, 72, 0.15},
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
        EXPECT_EQ(Notification(bed(), port), std::tuple(true, 0x8006, 36));
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
    test::OpenLine(bed(), &peer);
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
    EXPECT_EQ(peer.commands(), (std::vector<int>{CMD_READ_RAM, CMD_READ_EEPROM}));
}

TEST_F(Sequences, GetFromFileOnlyShowsTheGlobals) {
    test::OpenLine(bed(), &peer);
    power = 1001;
    tVal = 345;
    SetStatusText("Parameter file read");
    SetCtrlVal(pHandle, PANEL_STATUS, "something else");
    PushGET(DATFILE);
    EXPECT_TRUE(bed().writes(1).empty());
    EXPECT_EQ(Status(), "Parameter file read");
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 500);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTeachValue), 345);
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
    bed().at(0.5, [&] { whileRunning = Locks(); });
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
    EXPECT_EQ(Locks(), kLoopEnded);
    EXPECT_EQ(std::tuple(target, bed().intValue(pHandle, PANEL_RBTRam), rx_flag, graphrefresh),
              std::tuple(RAM, 1, 0, 0));
    EXPECT_FALSE(bed().ctrl(pHandle, PANEL_GRAPH_VIDEO).visible);
    EXPECT_TRUE(bed().ctrl(pHandle, PANEL_GRAPH_RAW).visible);
}

TEST_F(Sequences, RunAnswerWordsReachTheDisplay) {
    test::OpenLine(bed(), &peer);
    // Ledge, Redge, Mvalue, umValue low/high (-2), tVal, tTol, edcnt,
    // mvstart, mvend, (unused), anaMax, anaMin
    peer.always(CMD_RUN,
                reply::Answer({300, 700, 400, 0xFFFE, 0xFFFF, 520, 30, 2, 0, 0, 9, 800, 1023}));
    eMode = 1;
    bed().at(0.2, [] { stop_flag = 1; });
    PushRUN();
    EXPECT_EQ(std::tuple(Ledge, Redge, umValue), std::tuple(300, 700, -2));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMUmValue), -2);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMax), 800);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMAnaMin), 1);
    EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_EDGES).cursors[0].x, 700.0);
    EXPECT_EQ(arrayNORM[497], 520.0);
    EXPECT_EQ(arrayNORM[498], 400.0);
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
        EXPECT_EQ(bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls - drawn, answered);
        EXPECT_EQ(Ledge, answered == 0 ? 0 : 100);
        EXPECT_EQ(Locks(), kLoopEnded);
        EXPECT_FALSE(Dimmed(PANEL_LOOPUNLOCK));
        EXPECT_EQ(Notification(bed(), com), std::tuple(true, eventMask, kFrameBytes));
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
    struct Case {
        std::string name;
        int button, board;
        double passStep, timerTick;
        std::vector<test::Reply> replies;
    };
    // The short block's read times out in the 193rd pass of 1/128 s, the
    // video cycle ends with one more; a byte comes half a pass after that.
    std::vector<Case> cases = {
        {"video, a byte after a short block's time-out",
         PANEL_BTNVideo,
         400,
         1.0 / 128,
         0.0,
         {reply::Send(first), reply::ArrivingAt({{0.3, Bytes(511, 0)}, {194.5 / 128, {0}}}),
          reply::Send(second), reply::Send(Bytes(512, 0))}},
    };
    // A byte every 1.5 ms behind the run answer: one or two are in the queue
    // when the loop looks, a timer call after the notification took the
    // answer; the phase differs from case to case.
    for (const double phase : {0.0, 0.0005, 0.001}) {
        std::vector<std::pair<double, Bytes>> pieces = {{0.05, first}};
        for (int i = 1; i <= 12; ++i) {
            pieces.push_back({0.05 + phase + 0.0015 * i, {0}});
        }
        cases.push_back({"run, stray bytes from " + std::to_string(phase),
                         PANEL_BTNRun,
                         0,
                         1.0 / 2048,
                         1.0 / 512,
                         {reply::ArrivingAt(pieces), reply::Send(second)}});
    }
    int port = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePeer sensor;
        for (const test::Reply& reply : c.replies) {
            sensor.then(reply);
        }
        test::OpenLine(bed(), &sensor, port++);
        bed().options().passStep = c.passStep;
        bed().options().timerTick = c.timerTick;
        pcbtype = static_cast<u16>(c.board);
        ASSERT_TRUE(bed().pressKey(pHandle, c.button));
        EXPECT_EQ(Status(), "Timeout RS232-Line!");
        EXPECT_EQ(std::tuple(Ledge, Redge), std::tuple(120, 220));
        EXPECT_EQ(Locks(), kLoopEnded);
    }
}

// ---- A noisy or faulty line ---------------------------------------------------

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
        words.push_back(static_cast<std::uint16_t>(high << 8 | ((high + 1) & 0xFF)));
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

class NoisyLine : public test::PanelBed {
  protected:
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
        EXPECT_EQ(Notification(bed(), port), std::tuple(true, eventMask, kFrameBytes));
        EXPECT_NE(std::memchr(szStatus, '\0', kStatusLen), nullptr);
    }
    // The display shows what the sensor sent last: its line (video) and its
    // edge. The last run answer may have arrived after the stop: either of
    // the last two is what the display must show.
    void ExpectShowsTheSensor(const SimPeer& sensor, int button) {
        const std::vector<int> edges = LastLeftEdges(sensor, 2);
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
    LinePeer peer;
    peer.always(CMD_ECHO, [](const Bytes& frame, double end, rt::headless::PeerLink& link) {
        link.send(end, test::Concat({0x00, 0xAA}, Bytes(frame.begin() + 2, frame.end())));
    });
    test::OpenLine(bed(), &peer);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        const Words words = RoundWords(round);
        std::copy(words.begin(), words.end(), pp);
        CopyPPtoVars();
        ASSERT_EQ(CheckComLine(1), 1);
        EXPECT_EQ(peer.frames().back(), test::RequestFrame(CMD_ECHO, words));
        // Word 0 is replaced by the answer sync word.
        EXPECT_EQ(Words(pp + 1, pp + PNUM), Words(words.begin() + 1, words.end()));
    }
    // A raw block of every byte value, twice, read as 256 samples.
    Bytes block;
    Words samples;
    for (int i = 0; i < 512; ++i) {
        block.push_back(static_cast<std::uint8_t>(i & 0xFF));
    }
    for (int i = 0; i < 256; ++i) {
        samples.push_back(static_cast<u16>(((2 * i) & 0xFF) << 8 | ((2 * i + 1) & 0xFF)));
    }
    peer.always(CMD_DATA256_OR_RESET, reply::Send(block));
    SilenceRxNotification();
    ReadData256();
    EXPECT_EQ(Status(), "Data[256] block received!");
    EXPECT_EQ(Words(std::begin(adcbuf), std::end(adcbuf)), samples);
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
        const Bytes frames =
            test::Concat(sim::SensorModel::commandFrame(sim::kCmdWriteRam, set),
                         sim::SensorModel::commandFrame(sim::kCmdReadRam, sim::Words{}));
        ASSERT_EQ(::write(fd, frames.data(), frames.size()), 72);
        EXPECT_EQ(readFor(36, 3.0), AnswerFrame(sim::kCmdReadRam, words)) << "round " << round;
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
        sim::Faults faults;
        double faultEnd;
    } rows[] = {
        {"blocks late by 1.0 s",
         PANEL_BTNVideo,
         "type2-res350",
         {.lateSeconds = 1.0, .command = CMD_DATA64},
         4.0},
        {"blocks late by 1.6 s",
         PANEL_BTNVideo,
         "type2-res350",
         {.lateSeconds = 1.6, .command = CMD_DATA64},
         4.0},
        // Blocks so late that they arrive during a later exchange may cost
        // that exchange its answer; the loop then ends with its time-out.
        {"blocks late by 3.0 s",
         PANEL_BTNVideo,
         "type2-res350",
         {.lateSeconds = 3.0, .command = CMD_DATA64},
         4.0},
        // Extra bytes behind a run answer: the sequence waits for the line to
        // fall quiet before it empties the queue for its next request.
        {"run answers with extra bytes",
         PANEL_BTNRun,
         "type2-res350",
         {.extraBytes = 4, .command = CMD_RUN},
         2.0},
        {"four blocks with extra bytes",
         PANEL_BTNVideo,
         "type2-res350",
         {.extraBytes = 37, .command = CMD_DATA64},
         5.0},
        {"one block with extra bytes",
         PANEL_BTNVideo,
         "type4",
         {.extraBytes = 37, .command = CMD_DATA256_OR_RESET},
         5.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimPeer sensor(row.preset);
        Connect(sensor);
        const double start = bed().now();
        bed().at(start + 0.5, [&sensor, &row] { sensor.faults() = row.faults; });
        bed().at(start + row.faultEnd, [&sensor] { sensor.faults() = sim::Faults{}; });
        bed().at(start + 20.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
        ASSERT_TRUE(bed().pressKey(pHandle, row.button));
        ExpectLoopEnded(1);
        if (row.faults.lateSeconds > 2.0 && bed().now() - start < 20.0) {
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
