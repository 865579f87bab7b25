// The program's sequences against scripted and virtual sensors: the
// connection sequence (opening the port, the line check, the
// identification, the RAM read and the firmware text), the read-back (GET
// from RAM, EEPROM or file) and the run sequence, with what the operator
// sees and the frames on the line.
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korven {
namespace {

using rt::headless::ScriptedPeer;
using test::Bytes;
using test::LinePeer;
using test::Words;
namespace reply = test::reply;

// A request and an answer frame each take this long on the line.
constexpr double kFrameTime = 36 * 10.0 / 19200;

// A firmware block of a board that sends plain text: the text, then zeros.
Bytes FirmwareText(const std::string& text) {
    Bytes block(72, 0);
    std::copy(text.begin(), text.end(), block.begin());
    return block;
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
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }

    LinePeer peer;
};

// ---- The connection sequence ------------------------------------------------

TEST_F(Sequences, GoodSensorIsIdentifiedAndRead) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    InitRS232(1);
    EXPECT_EQ(sensor.commands(), (std::vector<int>{5, 10, 2, 7}));
    EXPECT_EQ(Status(), sensor.model().preset().firmware);
    EXPECT_EQ(target, RAM);
    const auto settings = bed().comSettings(1);
    EXPECT_EQ(settings.baudRate, 19200);
    EXPECT_EQ(settings.parity, 0);
    EXPECT_EQ(settings.dataBits, 8);
    EXPECT_EQ(settings.stopBits, 1);
    EXPECT_EQ(settings.inputQueueSize, 4096);
    EXPECT_EQ(settings.outputQueueSize, 4096);
    EXPECT_EQ(bed().comTimeout(1), 2.0);
    EXPECT_TRUE(bed().notificationInstalled(1));
    EXPECT_EQ(bed().notificationMask(1), 0x8006);
    EXPECT_EQ(bed().notificationCount(1), 36);
    // The sensor's description and its RAM parameter set are in.
    EXPECT_EQ(ccdsubpixel, sensor.model().preset().ccdsubpixel);
    EXPECT_EQ(tVal, sensor.model().ram()[sim::kTVal]);
    EXPECT_EQ(tTol, sensor.model().ram()[sim::kTTol]);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTeachValue), tVal);
    // The exchanges are spaced by at least a tenth of a second.
    const auto& writes = bed().writes(1);
    ASSERT_EQ(writes.size(), 4u);
    for (std::size_t i = 1; i < writes.size(); ++i) {
        EXPECT_GE(writes[i].time - writes[i - 1].time, 0.1) << "before write " << i;
    }
}

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
         reply::AnswerWithEcho(CMD_HARDWARE, {101, 256, 0, 400, 2048, 2048, 0, 256, 231},
                               1.51 - 2 * kFrameTime),
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
        const auto noting = [&](test::Reply reply) -> test::Reply {
            return [this, &seen, reply](const std::vector<std::uint8_t>& frame, double end,
                                        rt::headless::PeerLink& link) {
                seen.push_back(Status());
                reply(frame, end, link);
            };
        };
        sensor.then(noting(reply::Answer({})))
            .then(noting(row.hardware))
            .then(noting(reply::Answer({600, 0, 400})))
            .then(noting(reply::Send(row.firmware)));
        bed().attachPeer(port, &sensor);
        SetCtrlVal(pHandle, PANEL_DropDCom, port);
        bed().fire(pHandle, PANEL_DropDCom, EVENT_COMMIT);

        EXPECT_EQ(seen, (std::vector<std::string>{"Init COM-Port ...", "Echo Check - Line Ok!",
                                                  "Waiting for parameter-frame ...",
                                                  "Waiting for firmware info ..."}));
        EXPECT_EQ(sensor.commands(), (std::vector<int>{5, 10, 2, 7}));
        EXPECT_EQ(Status(), row.status);
        EXPECT_EQ(ccdtype, row.type);
        EXPECT_EQ(pixE, row.pixE);
        EXPECT_EQ(ret, row.ret);
        EXPECT_EQ(power, 600);
        EXPECT_EQ(vThd, 400);
        EXPECT_EQ(target, RAM);
        EXPECT_TRUE(bed().notificationInstalled(port));
        EXPECT_EQ(bed().notificationMask(port), eventMask);
        const auto& writes = bed().writes(port);
        ASSERT_EQ(writes.size(), 4u);
        EXPECT_NEAR(writes[2].time - writes[1].time, row.hardwareExchange, 0.05);
        ++port;
    }
}

// ---- GET ----------------------------------------------------------------------

TEST_F(Sequences, GetFromRamShowsTheAnswer) {
    test::OpenLine(bed(), &peer);
    // power, rs232Mode, vThd (out of range), anaMode, polarity, eMode, eBeg,
    // eEnd, tVal, tTol, opMode, eHardware, slope, intersect, average, deltaTol
    peer.answer({700, 1, 1000, 3, 0, 2, 20, 1000, 600, 40, 1, 2, 1100, 29000, 16, 5});
    std::string waiting;
    StatusAt(0.01, waiting);
    PushGET(RAM);
    ASSERT_EQ(peer.commands(), (std::vector<int>{2}));
    // The request carries the parameter set as it stood.
    EXPECT_EQ(ScriptedPeer::wordOf(peer.frames()[0], 0), 500);
    EXPECT_EQ(ScriptedPeer::wordOf(peer.frames()[0], 8), 512);
    EXPECT_EQ(waiting, "Waiting for parameter-frame ...");
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(power, 700);
    EXPECT_EQ(vThd, 950);
    EXPECT_EQ(eMode, 2);
    EXPECT_EQ(tVal, 600);
    EXPECT_EQ(intersect, 29000);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMPower), 700);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMVideoThreshold), 950);
    EXPECT_EQ(bed().doubleValue(pPopup, POPUP_NUMOffset), -1000.0);
    EXPECT_LT(bed().now(), 0.1);
}

TEST_F(Sequences, GetFromEepromAsksForEepromWords) {
    test::OpenLine(bed(), &peer);
    peer.answer({600});
    PushGET(EEPROM);
    EXPECT_EQ(peer.commands(), (std::vector<int>{4}));
    EXPECT_EQ(order, 4);
    EXPECT_EQ(power, 600);
    EXPECT_EQ(Status(), "Parameter-frame received! - Line Ok!");
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
    bool dimmedWhileRunning = false;
    bed().at(0.5,
             [&] { dimmedWhileRunning = Dimmed(PANEL_LOOPLOCK_A) && Dimmed(PANEL_LOOPLOCK_B); });
    // Longer than one time-out: the time-out runs from the last request.
    bed().at(2.0, [&] { bed().click(pHandle, PANEL_BTNStop); });

    PushRUN();

    EXPECT_NEAR(bed().now(), 2.0, 0.01);
    const auto commands = sensor.commands();
    ASSERT_GE(commands.size(), 40u);
    for (int c : commands) {
        ASSERT_EQ(c, 8);
    }
    // One drawing per answer; at most the answer in flight when stopped is
    // not drawn.
    const int drawn = bed().graph(pHandle, PANEL_GRAPH_RAW).stripCalls;
    EXPECT_GE(drawn, static_cast<int>(commands.size()) - 1);
    EXPECT_LE(drawn, static_cast<int>(commands.size()));
    // The tolerance the sensor reports travels back with the next request;
    // the operator's entry keeps its value, the indicator follows.
    EXPECT_EQ(ScriptedPeer::wordOf(sensor.frames()[0], 9), 77);
    EXPECT_EQ(ScriptedPeer::wordOf(sensor.frames()[1], 9), 123);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NEDITTolerance), 66);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 123);

    EXPECT_EQ(Status(), "Line Ok!"); // stopped without a message
    EXPECT_TRUE(dimmedWhileRunning);
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_A));
    EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_B));
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_RBTRam), 1);
    EXPECT_FALSE(bed().ctrl(pHandle, PANEL_GRAPH_VIDEO).visible);
    EXPECT_TRUE(bed().ctrl(pHandle, PANEL_GRAPH_RAW).visible);
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(graphrefresh, 0);
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
    EXPECT_EQ(Ledge, 300);
    EXPECT_EQ(Redge, 700);
    EXPECT_EQ(umValue, -2);
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
        sensor.then(reply::Answer({}, 1.51 - 2 * kFrameTime));
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
        EXPECT_EQ(stop_flag, 1);
        EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_A));
        EXPECT_FALSE(Dimmed(PANEL_LOOPLOCK_B));
        EXPECT_FALSE(Dimmed(PANEL_LOOPUNLOCK));
        EXPECT_TRUE(bed().notificationInstalled(com));
        EXPECT_EQ(bed().notificationMask(com), eventMask);
    }
}

} // namespace
} // namespace korven
