// The connection sequence: opening the port, the line check, the
// identification, the RAM read and the firmware text, with what the
// operator sees at the end of each and the frames on the line.
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korven {
namespace {

using test::Bytes;
using test::LinePeer;
namespace reply = test::reply;

// A firmware block of a board that sends plain text: the text, then zeros.
Bytes FirmwareText(const std::string& text) {
    Bytes block(72, 0);
    std::copy(text.begin(), text.end(), block.begin());
    return block;
}

class PortSetup : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        com = 1;
        target = EEPROM;
    }
};

TEST_F(PortSetup, GoodSensorIsIdentifiedAndRead) {
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

TEST_F(PortSetup, LineCheckFailureStopsTheSequence) {
    LinePeer silent;
    bed().attachPeer(1, &silent);
    InitRS232(1);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(silent.commands(), (std::vector<int>{5}));
    EXPECT_EQ(target, EEPROM);
    EXPECT_TRUE(bed().notificationInstalled(1));

    LinePeer wrongSync;
    wrongSync.then(reply::Answer({}, 0.0, 0xAA00));
    bed().attachPeer(2, &wrongSync);
    com = 2;
    InitRS232(2);
    EXPECT_EQ(Status(), "read error - not sync byte 0xAA!");
    EXPECT_EQ(wrongSync.commands(), (std::vector<int>{5}));
    EXPECT_EQ(target, EEPROM);
}

TEST_F(PortSetup, PortThatCannotBeOpenedIsReported) {
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
    LinePeer peer;
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
// request reaches the sensor, and a hardware answer that never comes, which
// the sequence waits out before it reads the parameters and the firmware
// text all the same.
TEST_F(PortSetup, OperatorSeesEachStepAndAHardwareTimeOutDoesNotStopTheSequence) {
    LinePeer peers[2];
    for (const bool hardwareAnswers : {false, true}) {
        SCOPED_TRACE(hardwareAnswers ? "hardware answered" : "hardware silent");
        LinePeer& peer = peers[hardwareAnswers];
        std::vector<std::string> seen;
        const auto noting = [&](test::Reply reply) -> test::Reply {
            return [this, &seen, reply](const std::vector<std::uint8_t>& frame, double end,
                                        rt::headless::PeerLink& link) {
                seen.push_back(Status());
                reply(frame, end, link);
            };
        };
        peer.then(noting(reply::Answer({})))
            .then(noting(hardwareAnswers ? reply::Answer({1, 1024, 30, 100, 8192, 1024, 0, 1024})
                                         : reply::Silent()))
            .then(noting(reply::Answer({600})))
            .then(noting(
                reply::Send(hardwareAnswers ? FirmwareText("KRVN FW 9.9") : Bytes(72, 'v'))));
        const int port = hardwareAnswers ? 3 : 2;
        bed().attachPeer(port, &peer);

        SetCtrlVal(pHandle, PANEL_DropDCom, port);
        bed().fire(pHandle, PANEL_DropDCom, EVENT_COMMIT);

        EXPECT_EQ(seen, (std::vector<std::string>{"Init COM-Port ...", "Echo Check - Line Ok!",
                                                  "Waiting for parameter-frame ...",
                                                  "Waiting for firmware info ..."}));
        // Without a description the text is read as board 0 sends it, one
        // character per word.
        EXPECT_EQ(Status(), hardwareAnswers ? "KRVN FW 9.9" : std::string(36, 'v'));
        EXPECT_EQ(power, 600);
        EXPECT_EQ(ccdtype, hardwareAnswers ? 1 : 0);
        const auto& writes = bed().writes(port);
        ASSERT_EQ(writes.size(), 4u);
        const double hardwareExchange = writes[2].time - writes[1].time;
        EXPECT_GT(hardwareExchange, hardwareAnswers ? 0.1 : TIMEOUT + 0.1);
        EXPECT_LT(hardwareExchange, hardwareAnswers ? 0.2 : TIMEOUT + 0.2);
    }
}

TEST_F(PortSetup, WrongHardwareAnswerStillReadsParametersAndFirmware) {
    LinePeer peer;
    // Echo answered; the hardware answer echoes the wrong command (its words
    // describe a type 104 sensor on board 100); then parameters and text.
    peer.answer({})
        .then(reply::AnswerWithEcho(11, {104, 1536, 0, 100, 12288, 3072, 0, 1536, 230}))
        .answer({600, 0, 400})
        .send(FirmwareText("KRVN FW 9.9"));
    bed().attachPeer(1, &peer);

    InitRS232(1);

    EXPECT_EQ(peer.commands(), (std::vector<int>{5, 10, 2, 7}));
    EXPECT_EQ(Status(), "KRVN FW 9.9");
    EXPECT_EQ(ccdtype, 104); // stored, but nothing adapted to it
    EXPECT_EQ(pixE, 1024);
    EXPECT_EQ(power, 600);
    EXPECT_EQ(vThd, 400);
    EXPECT_EQ(target, RAM);
}

TEST_F(PortSetup, ShortFirmwareTextIsAnError) {
    LinePeer peer;
    peer.answer({})
        .answer({1, 1024, 30, 100, 8192, 1024, 0, 1024, 200})
        .answer({600})
        .send(Bytes(71, 'x')); // one byte short
    bed().attachPeer(1, &peer);

    InitRS232(1);

    EXPECT_EQ(peer.commands(), (std::vector<int>{5, 10, 2, 7}));
    EXPECT_EQ(Status(), "Error reading firmware-info!");
    EXPECT_EQ(ret, 71);
    EXPECT_EQ(power, 600);
    EXPECT_TRUE(bed().notificationInstalled(1));
}

} // namespace
} // namespace korven
