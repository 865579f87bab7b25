// Hardware and firmware identification against a scripted sensor: what the
// operator sees change on the panels, and the frames on the line.
#include "link/com232.h"
#include "support/bed.h"
#include "support/line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korven {
namespace {

using rt::headless::ScriptedPeer;
using test::Bytes;
using test::LinePeer;
using test::Words;
namespace reply = test::reply;

// The hardware description words 0 to 8.
Words Description(u16 type, u16 board = 0, u16 resolution = 0, u16 firmware = 200,
                  u16 subpixel = 1024, u16 maxPixel = 1024) {
    return {type, maxPixel, resolution, board, 8192, subpixel, 0, 1180, firmware};
}

class Identification : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        test::OpenLine(bed(), &peer, 1);
    }

    int Identify(const Words& description) {
        peer.answer(description);
        return GetHARDWAREInfo();
    }
    std::vector<std::string> SensorLines() { return bed().ctrl(pPopup, POPUP_TEXTBOXSensor).lines; }
    bool Dimmed(int control) { return bed().ctrl(pHandle, control).dimmed; }
    rt::headless::AxisState VideoX() { return bed().graph(pHandle, PANEL_GRAPH_VIDEO).xAxis; }
    rt::headless::AxisState RawY() { return bed().graph(pHandle, PANEL_GRAPH_RAW).yAxis; }

    LinePeer peer;
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
    for (int k = 0; k < PNUM; ++k) {
        pp[k] = static_cast<u16>(100 + k);
    }
    power = 1; // not copied into the packet
    EXPECT_EQ(Identify(Description(1)), 1);
    ASSERT_EQ(peer.frames().size(), 1u);
    EXPECT_EQ(ScriptedPeer::commandOf(peer.frames()[0]), 10);
    for (int k = 0; k < PNUM; ++k) {
        EXPECT_EQ(ScriptedPeer::wordOf(peer.frames()[0], k), 100 + k);
    }
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

class Firmware : public Identification {
  protected:
    // A 72-byte block of 36 words, one character per word.
    static Bytes CharWords(const std::string& text) {
        Words words(36, 0);
        for (std::size_t i = 0; i < text.size() && i < 36; ++i) {
            words[i] = static_cast<unsigned char>(text[i]);
        }
        return test::WordBytes(words);
    }
};

TEST_F(Firmware, EachBoardsTextCodingIsDecoded) {
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

TEST_F(Firmware, ShortBlockOrClosedPortTimesOutWithTheNotificationBack) {
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
