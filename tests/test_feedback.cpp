// What the operator is told: the message history beside the status line,
// SEND's read-back of the set it wrote, and the adapter remembered only
// once a sensor answered on it.
#include "analysis/panel.h"
#include "app/KORVENDarir23.h"
#include "app/messages.h"
#include "display/gui.h"
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace korven {
namespace {

using test::LinePeer;
using test::SimPeer;
using test::Words;

// 2024-03-05 14:03:07.250 local time is not known here; the clock text is
// checked by its shape.
constexpr std::int64_t kT0 = 1709647387250;

// Errors, time-outs and refusals stand out; results and progress do not.
TEST(MessageHistory, ProblemTextsAreMarked) {
    const std::pair<const char*, MessageKind> cases[] = {
        {"Line Ok!", MessageKind::Info},
        {"Parameter-frame received! - Line Ok!", MessageKind::Info},
        {"Waiting for Data[64] ...", MessageKind::Info},
        {"Calibration activated!", MessageKind::Info},
        {"Recording to /home/op/Documents/KRVN-rec-1.csv", MessageKind::Info},
        {"Timeout-RS-232...", MessageKind::Problem},
        {"Timeout RS232-Line!", MessageKind::Problem},
        {"Error reading HARDWARE-info!", MessageKind::Problem},
        {"Compare: stop RUN or VIDEO first", MessageKind::Problem},
        {"Calibration not sent: slope out of range!", MessageKind::Problem},
        {"Port is not open", MessageKind::Problem},
        {"Cannot open port", MessageKind::Problem},
        {"Line busy: command not kept, 64 commands waiting", MessageKind::Problem},
        {"Line disturbed: 2 frames rejected, 40 bytes discarded", MessageKind::Problem},
        {"RUN and VIDEO: the later start was dropped, one loop at a time", MessageKind::Problem},
        {"SEND not confirmed: RAM differs in Power (sent 700, read 500)", MessageKind::Problem},
        {"Parameter file unreadable: fewer than 16 values!", MessageKind::Problem},
    };
    for (const auto& [text, kind] : cases) {
        EXPECT_EQ(KindOfText(text), kind) << text;
    }
}

// A text shown again within the newest lines is counted there; one that
// left the window takes a new line; the oldest lines go beyond the bound.
TEST(MessageHistory, RepeatsAreCountedAndTheHistoryIsBounded) {
    MessageHistory h;
    EXPECT_FALSE(h.add(kT0, ""));
    EXPECT_TRUE(h.add(kT0, "Timeout-RS-232..."));
    EXPECT_TRUE(h.add(kT0 + 1, "Waiting for Data[64] ..."));
    EXPECT_TRUE(h.add(kT0 + 2, "Data[64] block received!"));
    for (int i = 0; i < 24; ++i) { // a video loop's two texts, over and over
        EXPECT_FALSE(h.add(kT0 + 40 * i, "Waiting for Data[64] ..."));
        EXPECT_FALSE(h.add(kT0 + 40 * i + 20, "Data[64] block received!"));
    }
    ASSERT_EQ(h.entries().size(), 3u);
    EXPECT_EQ(std::tuple(h.entries()[1].count, h.entries()[1].lastMs), std::tuple(25u, kT0 + 920));
    const std::string problem = MessageHistory::LineOf(h.entries()[0]);
    const std::string repeated = MessageHistory::LineOf(h.entries()[1]);
    EXPECT_EQ(problem.substr(2, 1) + problem.substr(5, 1) + problem.substr(8, 1), "::.");
    EXPECT_EQ(problem.substr(12), " !! Timeout-RS-232...");
    EXPECT_EQ(repeated.substr(12, 30), "    Waiting for Data[64] ...  ");
    EXPECT_EQ(repeated.substr(42, 10), "(x25, last");
    EXPECT_EQ(MessageHistory::LineOf(h.entries()[2]).find("(x"), 42u);

    // The window holds the newest kRepeatWindow lines, no more.
    MessageHistory w;
    for (std::size_t i = 0; i <= MessageHistory::kRepeatWindow; ++i) {
        w.add(kT0, "text " + std::to_string(i));
    }
    EXPECT_FALSE(w.add(kT0, "text 1"));
    EXPECT_TRUE(w.add(kT0, "text 0"));

    MessageHistory b;
    for (std::size_t i = 0; i < MessageHistory::kMaxLines + 3; ++i) {
        b.add(kT0, "line " + std::to_string(i));
    }
    EXPECT_EQ(b.entries().size(), MessageHistory::kMaxLines);
    EXPECT_EQ(b.entries().front().text, "line 3");
    EXPECT_EQ(b.text().substr(b.text().rfind('\n') + 13), "    line 502");
}

class Feedback : public test::PanelBed {
  protected:
    std::string History() { return bed().text(pHandle, PANEL_TEXTBOXHistory); }
    // The history's last line, without its clock.
    std::string LastLine() {
        const std::string h = History();
        const auto nl = h.rfind('\n');
        return h.substr(nl == std::string::npos ? 12 : nl + 13);
    }
};

// Every text of the status line goes into the history box; a refusal given
// while a loop runs is still there when the loop has written over it in the
// status line.
TEST_F(Feedback, StatusTextsStayInTheHistoryAlsoUnderALoopsTexts) {
    SimPeer sensor;
    Connect(sensor);
    const std::string& firmware = sensor.model().preset().firmware;
    EXPECT_NE(History().find("    InitVars\n"), std::string::npos);
    EXPECT_NE(History().find("    Echo Check - Line Ok!\n"), std::string::npos);
    EXPECT_EQ(LastLine(), "    " + firmware);

    bed().at(bed().now() + 0.5, [] { CC_BTNReadFile(0, 0, EVENT_COMMIT, nullptr, 0, 0); });
    bed().at(bed().now() + 2.0, [this] { bed().click(pHandle, PANEL_BTNStop); });
    bed().click(pHandle, PANEL_BTNVideo);
    EXPECT_NE(Status(), "Compare: stop RUN or VIDEO first");
    const std::string h = History();
    const auto refusal = h.find(" !! Compare: stop RUN or VIDEO first");
    ASSERT_NE(refusal, std::string::npos) << h;
    // The loop's texts are counted in their lines: the refusal stays among
    // the last few.
    EXPECT_LE(std::count(h.begin() + static_cast<long>(refusal), h.end(), '\n'), 3) << h;
    EXPECT_NE(h.find("Waiting for Data[64] ...  (x"), std::string::npos) << h;
}

// SEND reads the set back from the memory it wrote: a set that reads back
// word for word is "Line Ok!", one the sensor holds otherwise names the
// words, and no answer says that the write is not confirmed. The panel keeps
// what the operator entered.
TEST_F(Feedback, SendReadsTheSetBackAndSaysWhetherTheSensorHoldsIt) {
    ccdsubpixel = 1024;
    const struct {
        int button;
        int read;        // read-back command expected
        int answerPower; // -1: no answer to the read-back
        std::string status;
    } cases[] = {
        {PANEL_RBTRam, CMD_READ_RAM, 700, "Line Ok!"},
        {PANEL_RBTEeprom, CMD_READ_EEPROM, 700, "Line Ok!"},
        {PANEL_RBTRam, CMD_READ_RAM, 500,
         "SEND not confirmed: RAM differs in Power (sent 700, read 500)"},
        {PANEL_RBTEeprom, CMD_READ_EEPROM, 500,
         "SEND not confirmed: EEPROM differs in Power (sent 700, read 500)"},
        {PANEL_RBTRam, CMD_READ_RAM, -1,
         "SEND not confirmed: no read-back from RAM (Timeout-RS-232...)"},
        {PANEL_RBTEeprom, CMD_READ_EEPROM, -1,
         "SEND not confirmed: no read-back from EEPROM (Timeout-RS-232...)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        LinePeer sensor;
        test::OpenLine(bed(), &sensor);
        Operate(c.button, 1);
        SetCtrlVal(pHandle, PANEL_NUMPower, 700);
        GetPanelValues();
        CopyVarsToPP();
        Words held(std::begin(pp), std::end(pp));
        held[0] = static_cast<u16>(c.answerPower);
        // The write takes no answer; the read-back gets the set held.
        sensor.silent();
        c.answerPower < 0 ? sensor.silent() : sensor.answer(held);
        bed().click(pHandle, PANEL_BTNSend);
        bed().advance(0.1);
        EXPECT_EQ(sensor.commands(), (std::vector<int>{c.read - 1, c.read}));
        EXPECT_EQ(Status(), c.status);
        EXPECT_EQ(std::tuple(Int(PANEL_NUMPower), power), std::tuple(700, u16{700}));
        EXPECT_EQ(LastLine().substr(4), c.status);
        CloseCom(1);
    }

    // The virtual sensor keeps what it is sent.
    SimPeer sim;
    Connect(sim);
    SetCtrlVal(pHandle, PANEL_NUMPower, 640);
    Operate(PANEL_RBTEeprom, 1);
    bed().click(pHandle, PANEL_BTNSend);
    EXPECT_EQ(Status(), "Line Ok!");
}

// The adapter is reported as the one a sensor answered on only after the
// sensor identified itself there, not when a port merely opened.
TEST_F(Feedback, OnlyAPortWithAnIdentifiedSensorIsReportedAsAnswered) {
    LinePeer silent;
    bed().attachPeer(2, &silent);
    InitRS232(2);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    SimPeer sensor;
    com = 3;
    Connect(sensor, 3);
    EXPECT_EQ(bed().answeredPorts(), (std::vector<int>{3}));
}

} // namespace
} // namespace korven
