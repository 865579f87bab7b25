// The virtual sensor on the headless serial line, driven by the program's
// own link code: what the program relies on from a sensor, the sensor gives.
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include "app/KORVENDarir23.h"
#include "link/com232.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace korven::test {
namespace {

class SimPeerTest : public Bed {
  protected:
    void Connect(SimPeer& sensor) {
        LoadPanels();
        OpenLine(bed(), &sensor, 1);
    }

    // One run request as the live video loop sends it; true when answered.
    bool RunOnce() {
        FlushInQ(com);
        FlushOutQ(com);
        rx_flag = 0;
        order = CMD_RUN;
        FillTxBuf(order, pp);
        tstart = Timer();
        ComWrt(com, reinterpret_cast<const char*>(szWriteBuf), PNUM * 2 + 4);
        return WaitForAnswerFrame() == 1;
    }
};

// Every preset is identified, and its firmware text decoded, by the
// program's own link code.
TEST_F(SimPeerTest, TheProgramIdentifiesEachKindOfBoard) {
    struct Scale {
        int pixE, yMax;
    };
    // pixE: board 100 multiplies the table's 1024 by 8.
    const std::map<std::string, Scale> scales = {
        {"type2-res350", {8192, 256}}, {"type1", {1024, 1024}}, {"type4", {512, 256}}};
    for (const sim::Preset& p : sim::Presets()) {
        SCOPED_TRACE(p.name);
        SimPeer sensor(p.name);
        Connect(sensor);
        EXPECT_EQ(CheckComLine(1), 1);
        EXPECT_EQ(Status(), "Echo Check - Line Ok!");
        EXPECT_EQ(GetHARDWAREInfo(), 1);
        EXPECT_EQ(pcbtype, p.pcbtype);
        EXPECT_EQ(ccdsubpixel, p.ccdsubpixel);
        if (const auto s = scales.find(p.name); s != scales.end()) {
            EXPECT_EQ(pixE, s->second.pixE);
            EXPECT_EQ(YAXISMAX, s->second.yMax);
        }
        EXPECT_EQ(GetVERSIONInfo(), 72);
        EXPECT_EQ(Status(), p.firmware) << "both firmware codings decode";
        EXPECT_EQ(sensor.commands(), (std::vector<int>{CMD_ECHO, CMD_HARDWARE, CMD_FIRMWARE}));
        CloseCom(1);
    }
}

TEST_F(SimPeerTest, RunAnswersAndVideoBlocksReachTheProgramIntact) {
    for (const char* preset : {"type2-res350", "type2-res250"}) {
        SCOPED_TRACE(preset);
        SimPeer sensor(preset);
        Connect(sensor);
        ASSERT_EQ(GetHARDWAREInfo(), 1);
        ASSERT_TRUE(RunOnce());
        // The scene's edges and the shadow in the video are checked on the
        // model itself (SimModel); here that they reach the program.
        EXPECT_EQ(pp[7], 2) << "one object, two edges";
        EXPECT_LT(pp[0], pp[1]);
        EXPECT_EQ(pp[2], pp[1]) << "factory mode: right edge";

        // The block reads as the live video loop makes them.
        SilenceRxNotification();
        if (pcbtype == 0 || pcbtype == 100) {
            ReadData64(0, 0);
            ReadData64(64, 0);
            ReadData64(128, 0);
            ReadData64(192, 1);
            EXPECT_EQ(Status(), "Data[64] block received!");
        } else {
            ReadData256();
            EXPECT_EQ(Status(), "Data[256] block received!");
        }
        InstallRxNotification();
        const auto samples = sensor.model().videoSamples(sensor.model().lastLine());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            ASSERT_EQ(adcbuf[i], samples[i]) << "sample " << i;
        }
        CloseCom(1);
    }
}

TEST_F(SimPeerTest, AnswersTakeTheirTimeOnTheLine) {
    SimPeer sensor;
    Connect(sensor);
    const double bt = bed().options().byteTime;
    const double proc = sensor.model().options().processingTime;
    FillTxBuf(CMD_ECHO, pp);
    const double t0 = bed().now();
    ComWrt(1, reinterpret_cast<const char*>(szWriteBuf), 36);
    // Request 36 bytes, processing, answer 36 bytes.
    const double done = t0 + 36 * bt + proc + 36 * bt;
    bed().advance(done - t0 - 0.5 * bt);
    EXPECT_EQ(GetInQLen(1), 35);
    bed().advance(bt);
    EXPECT_EQ(GetInQLen(1), 36);
    ASSERT_EQ(sensor.answers().size(), 1u);
    EXPECT_NEAR(sensor.answers()[0].due, t0 + 36 * bt + proc, 1e-9);
}

TEST_F(SimPeerTest, ClosingThePortForgetsAHalfSentFrame) {
    SimPeer sensor;
    Connect(sensor);
    FillTxBuf(CMD_ECHO, pp);
    ComWrt(1, reinterpret_cast<const char*>(szWriteBuf), 20);
    bed().advance(0.02); // the 20 bytes have arrived at the sensor
    CloseCom(1);
    EXPECT_EQ(sensor.hostCloses(), 1);
    OpenLine(bed(), &sensor, 1);
    EXPECT_EQ(CheckComLine(1), 1);
    EXPECT_EQ(Status(), "Echo Check - Line Ok!");
}

} // namespace
} // namespace korven::test
