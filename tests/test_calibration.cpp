// The calibration pop-up: its exchanges, the workflow's states and
// transitions, the conversion of the fit into device words (and the refusal
// of fits the words cannot hold), the analogue reset and the tolerance
// mirror; and the numerics beneath it: the least-squares line fit and the
// array helpers (results, rejected arguments that leave the outputs
// untouched, shifting in place).
#include "app/KORVENDarir23.h"
#include "calibration/popup.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using rt::headless::PeerLink;
using test::LinePeer;

constexpr int kSix[] = {POPUP_ButtonAcceptObject1, POPUP_ButtonAcceptObject2,
                        POPUP_CheckStep1,          POPUP_CheckStep2,
                        POPUP_ButtonDoFit,         POPUP_ButtonSaveCalValues};

// A sensor that holds a calibration line: command 12 answers with it in
// words 0 and 1, sub-function 2 stores words 1 and 2 first.
struct CalibrationReply {
    std::uint16_t slopeWord = 1024;
    std::uint16_t interceptWord = 30000;
    test::Reply reply() {
        return [this](const std::vector<std::uint8_t>& frame, double end, PeerLink& link) {
            if (LinePeer::wordOf(frame, 0) == 2) {
                slopeWord = LinePeer::wordOf(frame, 1);
                interceptWord = LinePeer::wordOf(frame, 2);
            }
            link.send(end + 0.002, test::AnswerFrame(12, {slopeWord, interceptWord}));
        };
    }
};

// The pop-up shown, on a line to a scripted sensor that stays silent until
// a test gives it answers.
class Calibration : public test::Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        ccdtype = 2;
        DisplayPanel(pPopup);
        SetCtrlVal(pHandle, PANEL_TOGGBTN_ParaII, 1);
        if (scriptedLine_) {
            test::OpenLine(bed(), &sensor_);
        }
    }
    // The sensor answers every calibration command with `line_`.
    void Answering() { sensor_.always(CMD_CALIBRATION, line_.reply()); }
    // The operator presses a button; it must be operable.
    void Press(int control) { EXPECT_TRUE(bed().pressKey(pPopup, control)) << control; }
    // The callback runs whatever the button's state.
    void Fire(int control) { bed().fire(pPopup, control, EVENT_COMMIT); }
    void Check(int box, int on) { bed().operate(pPopup, box, Value::ofInt(on)); }
    void Dim(int control, int dimmed = 0) {
        SetCtrlAttribute(pPopup, control, ATTR_DIMMED, dimmed);
    }
    bool Dimmed(int control) { return bed().isDimmed(pPopup, control); }
    int Int(int control) { return static_cast<int>(bed().intValue(pPopup, control)); }
    double Double(int control) { return bed().doubleValue(pPopup, control); }
    u16 SentWord(int k) { return LinePeer::wordOf(sensor_.frames().back(), k); }
    // The line shown in the pop-up and the words held, each as a pair.
    std::pair<double, double> Shown() { return {Double(POPUP_NUMSlope), Double(POPUP_NUMOffset)}; }
    static std::pair<int, int> Words() { return {slope, intersect}; }
    static std::pair<int, int> Flags() { return {flagstep1, flagstep2}; }
    // Of the six workflow controls exactly these are operable.
    void ExpectOperable(std::vector<int> operable) {
        for (const int c : kSix) {
            EXPECT_EQ(Dimmed(c), std::count(operable.begin(), operable.end(), c) == 0) << c;
        }
    }
    // Accepts object `n` (1 or 2) at raw value `raw` with size `size`.
    void Accept(int n, u16 raw, int size) {
        Check(n == 1 ? POPUP_CheckStep1 : POPUP_CheckStep2, 1);
        Mvalue = raw;
        SetCtrlVal(pPopup, n == 1 ? POPUP_NEDITObject1 : POPUP_NEDITObject2, size);
        Press(n == 1 ? POPUP_ButtonAcceptObject1 : POPUP_ButtonAcceptObject2);
    }
    void ExpectIdle() {
        ExpectOperable({});
        EXPECT_EQ(Int(POPUP_CheckStep1), 0);
        EXPECT_EQ(Int(POPUP_CheckStep2), 0);
        EXPECT_EQ(Flags(), std::pair(0, 0));
    }
    // Activation starts the run sequence; against a sensor that does not
    // measure it ends by its own time-out.
    void Activate() { Press(POPUP_ActivateCalibration); }

    bool scriptedLine_ = true;
    LinePeer sensor_;
    CalibrationReply line_;
};

TEST_F(Calibration, PopupOpensIdleAndActivationWithoutSensorTimesOutAndChangesNothing) {
    ExpectIdle();
    std::string waiting;
    bed().at(bed().now() + 0.5, [&] { waiting = Status(); });

    Activate();

    EXPECT_EQ(waiting, "Reset Max/Min values...");
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(sensor_.commands(), (std::vector<int>{12}));
    EXPECT_EQ(std::tuple(SentWord(0), bed().intValue(pHandle, PANEL_DropEvalMode)),
              std::tuple(1, 1L));
    ExpectOperable({});
}

TEST_F(Calibration, WholeWorkflowWithATimedOutSendAndTheObjectsInEitherOrder) {
    line_ = {2048, 30100};
    Answering();
    eMode = 1;

    Activate();
    // The sensor's current line is shown, the evaluation mode switched.
    EXPECT_EQ(Shown(), std::pair(2.0, 100.0));
    EXPECT_EQ(std::tuple(bed().intValue(pHandle, PANEL_DropEvalMode), oldMode), std::tuple(2L, 1));
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2});
    // The run sequence kept the raw value coming until the silent sensor
    // stopped it.
    EXPECT_EQ(sensor_.commands(), (std::vector<int>{12, 8}));

    // Arming: one step at a time.
    Check(POPUP_CheckStep2, 1);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject2});
    Check(POPUP_CheckStep1, 1);
    EXPECT_EQ(Int(POPUP_CheckStep2), 0);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject1});
    Check(POPUP_CheckStep1, 0);
    ExpectOperable({POPUP_CheckStep1, POPUP_CheckStep2});

    // Object 2 first: one object never makes the fit operable.
    Accept(2, 662, 21960);
    EXPECT_EQ(std::tuple(flagstep2, Int(POPUP_CheckStep2)), std::tuple(1, 0));
    ExpectOperable({POPUP_CheckStep1});
    Accept(1, 300, 9000);
    ExpectOperable({POPUP_ButtonDoFit});
    Press(POPUP_ButtonDoFit);
    ExpectOperable({POPUP_ButtonSaveCalValues});

    // A send that times out keeps the objects for another try.
    sensor_.silent();
    Press(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_TRUE(Dimmed(POPUP_ButtonSaveCalValues));
    EXPECT_EQ(Flags(), std::pair(1, 1));
    EXPECT_EQ(Words(), std::pair(36660, 28259)); // unconfirmed: 12960 / 362 * 1024, -1740

    // A new activation and one object accepted again make the fit operable.
    Activate();
    EXPECT_FALSE(Dimmed(POPUP_CheckStep1));
    Accept(1, 241, 7960);
    EXPECT_EQ(std::tuple(pixel[0], umeter[0]), std::tuple(241.0, 7960.0));
    Press(POPUP_ButtonDoFit);
    EXPECT_NEAR(Double(POPUP_NUMFitSlope), 33.2541567695962, 1e-12);
    EXPECT_NEAR(Double(POPUP_NUMFitOffset), -54.2517814726841, 1e-9);
    // Step 2, opened again by the activation, may take its object anew.
    ExpectOperable({POPUP_CheckStep2, POPUP_ButtonSaveCalValues});

    Press(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(LinePeer::commandOf(sensor_.frames().back()), 12);
    EXPECT_EQ((std::vector<int>{SentWord(0), SentWord(1), SentWord(2)}),
              (std::vector<int>{2, 34052, 29945}));
    EXPECT_EQ(Status(), "New Calibration values in activated in RAM!");
    EXPECT_EQ(Shown(), std::pair(33.25390625, -55.0));
    EXPECT_EQ(Words(), std::pair(34052, 29945));
    ExpectIdle();
    EXPECT_EQ(
        std::tuple(bed().panelVisible(pPopup), eMode, bed().intValue(pHandle, PANEL_DropEvalMode)),
        std::tuple(true, 1, 1L));
}

// The close box hides without a frame and keeps the state. Stopping always
// cleans up and hides the pop-up; the evaluation mode and the sensor's line
// come back only when the sensor confirms.
TEST_F(Calibration, CloseBoxKeepsTheStateAndStopCleansUpAlways) {
    Dim(POPUP_CheckStep1, 0);
    flagstep1 = 1;
    bed().firePanel(pPopup, EVENT_CLOSE);
    bed().advance(0.1);
    EXPECT_EQ(std::tuple(bed().panelVisible(pPopup), bed().intValue(pHandle, PANEL_TOGGBTN_ParaII),
                         sensor_.frames().size()),
              std::tuple(false, 0L, 0ul));
    bed().operate(pHandle, PANEL_TOGGBTN_ParaII, Value::ofInt(1));
    EXPECT_EQ(std::tuple(bed().panelVisible(pPopup), Dimmed(POPUP_CheckStep1), flagstep1),
              std::tuple(true, false, 1));

    line_ = {3072, 29000};
    oldMode = 0;
    for (const bool answers : {false, true}) {
        SCOPED_TRACE(answers ? "answering sensor" : "silent sensor");
        if (answers) {
            Answering();
            bed().operate(pHandle, PANEL_TOGGBTN_ParaII, Value::ofInt(1));
            Dim(POPUP_CheckStep1, 0);
        }
        eMode = 2;
        flagstep1 = flagstep2 = 1;

        Press(POPUP_DiscardCalibration);

        EXPECT_EQ(Status(), answers ? "Calibration stopped successfully!" : "Timeout-RS-232...");
        EXPECT_EQ(std::tuple(SentWord(0), eMode, bed().panelVisible(pPopup),
                             bed().intValue(pHandle, PANEL_TOGGBTN_ParaII), stop_flag),
                  std::tuple(0, answers ? 0 : 2, false, 0L, 1));
        ExpectIdle();
    }
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 0);
    EXPECT_EQ(Shown(), std::pair(3.0, -1000.0));
}

TEST_F(Calibration, FitsAreConvertedIntoDeviceWordsOrRefusedWhenTheyCannotHoldThem) {
    Answering();
    // The same raw value twice gives a non-finite fit: shown, never sent.
    pixel[0] = pixel[1] = 500.0;
    Fire(POPUP_ButtonDoFit);
    EXPECT_FALSE(std::isfinite(slopeval));
    Fire(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(Status(), "Calibration not sent: slope out of range!");
    // Fits the words cannot hold are refused and leave the words alone (the
    // words 65535 and above 60000 would come back as the defaults). The edges
    // of the range are sent as they are; a sensor type with half scale gets
    // half the slope word, and the confirmed line is shown.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const char* const badSlope = "Calibration not sent: slope out of range!";
    const char* const badOffset = "Calibration not sent: offset out of range!";
    const struct {
        u16 type;
        double slope, intercept;
        const char* refused; // nullptr: sent with these words
        u16 slopeWord, interceptWord;
    } cases[] = {
        {2, 64.0, 0.0, badSlope},
        {2, -0.5, 0.0, badSlope},
        {2, nan, nan, badSlope},
        {2, -inf, 0.0, badSlope},
        {2, 65535.0 / 1024.0, 0.0, badSlope},
        {2, 1.0, 30001.0, badOffset},
        {2, 1.0, -30001.0, badOffset},
        {2, 65534.0 / 1024.0, 30000.0, nullptr, 65534, 60000},
        {2, 0.0, -30000.0, nullptr, 0, 0},
        {104, 14000.0 / 421.0, -54.2517814726841, nullptr, 17026, 29945},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.slope) + " " + std::to_string(c.intercept));
        ccdtype = c.type;
        slope = 1111;
        intersect = 2222;
        slopeval = c.slope;
        interval = c.intercept;
        const std::size_t frames = sensor_.frames().size();
        Dim(POPUP_ButtonSaveCalValues);
        Press(POPUP_ButtonSaveCalValues);
        bed().advance(0.1);
        if (c.refused != nullptr) {
            EXPECT_EQ(Status(), c.refused);
            EXPECT_EQ(Words(), std::pair(1111, 2222));
            EXPECT_EQ(sensor_.frames().size(), frames);
        } else {
            ASSERT_EQ(sensor_.frames().size(), frames + 1);
            EXPECT_EQ(std::tuple(SentWord(1), SentWord(2)),
                      std::tuple(c.slopeWord, c.interceptWord));
        }
    }
    EXPECT_EQ(Shown(), std::pair(33.25390625, -55.0));
}

class CalibrationDuringRun : public Calibration, public ::testing::WithParamInterface<int> {
  protected:
    CalibrationDuringRun() { scriptedLine_ = false; }
};

// Parameter: extra bytes behind every run answer (0: a sound sensor).
TEST_P(CalibrationDuringRun, CalibrationSentWhileTheRunSequenceMeasuresReachesTheSensor) {
    test::SimPeer sensor;
    bed().attachPeer(1, &sensor);
    InitRS232(1);
    sensor.faults().extraBytes = GetParam();
    sensor.faults().command = CMD_RUN;
    bool activeDuringRun = false;
    std::string afterSend;
    const double t0 = bed().now();
    // The operator works the pop-up while the run sequence measures.
    bed().at(t0 + 0.30, [&] {
        activeDuringRun = sensor.model().calibrationActive();
        Accept(1, 241, 7960);
        Accept(2, 662, 21960);
        Press(POPUP_ButtonDoFit);
    });
    bed().at(t0 + 0.41, [&] { Press(POPUP_ButtonSaveCalValues); });
    bed().at(t0 + 0.52, [&] { afterSend = Status(); });
    bed().at(t0 + 0.80, [&] { Press(POPUP_DiscardCalibration); });

    Activate();

    EXPECT_EQ(afterSend, "New Calibration values in activated in RAM!");
    EXPECT_EQ(Status(), "Calibration stopped successfully!");
    // The sensor and the program hold the new line; every frame reached the
    // sensor whole.
    const auto& ram = sensor.model().ram();
    EXPECT_EQ((std::vector<int>{ram[sim::kSlope], ram[sim::kIntersect], slope, intersect}),
              (std::vector<int>{34052, 29945, 34052, 29945}));
    EXPECT_EQ(std::tuple(activeDuringRun, sensor.model().calibrationActive(),
                         bed().panelVisible(pPopup), stop_flag, sensor.model().bytesDiscarded()),
              std::tuple(true, false, false, 1, 0));
}

INSTANTIATE_TEST_SUITE_P(ExtraBytesBehindRunAnswers, CalibrationDuringRun, ::testing::Values(0, 5));

// Two controls of the main panel beside the calibration: the analogue
// reset reports any answer and a time-out; the tolerance entry is mirrored
// at once, without a frame and without touching the parameter.
TEST_F(Calibration, AnalogResetAndToleranceMirror) {
    bed().operate(pHandle, PANEL_NEDITTolerance, Value::ofInt(321));
    bed().advance(0.1);
    EXPECT_EQ(
        std::tuple(bed().intValue(pHandle, PANEL_NUMTolDisplay), tTol, sensor_.frames().size()),
        std::tuple(321L, 100, 0ul));

    sensor_.answer({0xFFFF, 0xFFFF});
    pp[5] = 777;
    // Boards with an analogue output have the reset operable.
    SetCtrlAttribute(pHandle, PANEL_ButtonReset, ATTR_DIMMED, 0);
    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Reset of analog-output Max/Min OK!");
    // The packet as it stands; the answer is not used.
    EXPECT_EQ(std::tuple(LinePeer::commandOf(sensor_.frames()[0]), SentWord(5), slope),
              std::tuple(11, 777, 1024));
    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
}

// ---- line fit and array helpers ---------------------------------------------

TEST(LinFit, LeastSquaresLineFittedValuesAndMeanSquaredError) {
    const struct {
        std::vector<double> x, y, fitted;
        double m, b, err, tolerance;
    } cases[] = {
        // Two calibration points: the line through both.
        {{241, 662}, {7960, 21960}, {7960, 21960}, 14000.0 / 421.0, -22840.0 / 421.0, 0.0, 1e-9},
        {{1, 2, 3},
         {2, 4, 7},
         {11.0 / 6.0, 13.0 / 3.0, 41.0 / 6.0},
         2.5,
         -2.0 / 3.0,
         1.0 / 18.0,
         1e-12},
    };
    for (const auto& c : cases) {
        std::vector<double> fitted(c.x.size(), -1.0);
        double m = 0.0, b = 0.0, err = -1.0;
        ASSERT_EQ(LinFit(c.x.data(), c.y.data(), static_cast<int>(c.x.size()), fitted.data(), &m,
                         &b, &err),
                  0);
        EXPECT_NEAR(m, c.m, 1e-12);
        EXPECT_NEAR(b, c.b, c.tolerance);
        EXPECT_NEAR(err, c.err, 1e-12);
        for (std::size_t i = 0; i < fitted.size(); ++i) {
            EXPECT_NEAR(fitted[i], c.fitted[i], c.tolerance) << i;
        }
    }
}

TEST(LinFit, EqualXValuesGiveANonFiniteLineAndTooFewPointsAreRejected) {
    const double x[2] = {5.0, 5.0};
    const double y[2] = {1.0, 2.0};
    double fitted[2] = {9.0, 9.0};
    double m = 7.0, b = 8.0, err = 6.0;
    for (const int n : {1, 0, -1, INT_MIN}) {
        EXPECT_EQ(LinFit(x, y, n, fitted, &m, &b, &err), kFitTooFewPoints) << n;
        EXPECT_EQ((std::array<double, 5>{fitted[0], fitted[1], m, b, err}),
                  (std::array<double, 5>{9.0, 9.0, 7.0, 8.0, 6.0}));
    }
    EXPECT_EQ(LinFit(x, y, 2, fitted, &m, &b, &err), 0);
    EXPECT_FALSE(std::isfinite(m) || std::isfinite(b));
}

// Every shift of five values, and the strip chart's history of 500 moved by
// one answer, into a separate array and in place.
TEST(Shift, MovesTowardsEitherEndZeroFillsAndWorksInPlace) {
    std::vector<std::pair<int, int>> cases = {{500, -5}};
    for (int s = -4; s <= 4; ++s) {
        cases.emplace_back(5, s);
    }
    for (const auto& [n, s] : cases) {
        std::vector<double> in(n), expected(n, 0.0), out(n, -1.0);
        for (int i = 0; i < n; ++i) {
            in[i] = i + 1;
            if (i - s >= 0 && i - s < n) {
                expected[i] = i - s + 1;
            }
        }
        ASSERT_EQ(Shift(in.data(), n, s, out.data()), 0);
        EXPECT_EQ(out, expected) << n << " by " << s;
        ASSERT_EQ(Shift(in.data(), n, s, in.data()), 0);
        EXPECT_EQ(in, expected) << n << " by " << s << " in place";
    }
}

TEST(ArrayHelpers, CopyAndRejectedArgumentsThatLeaveTheOutputUntouched) {
    using Five = std::array<double, 5>;
    const Five abcde = {1.0, 2.0, 3.0, 4.0, 5.0};
    const Five sentinel = {9.0, 9.0, 9.0, 9.0, 9.0};
    Five out{};
    ASSERT_EQ(Copy1D(abcde.data(), 5, out.data()), 0);
    EXPECT_EQ(out, abcde);
    for (const int s : {5, -5, 6, INT_MAX, INT_MIN}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), 5, s, out.data()), kShiftTooFar) << s;
        EXPECT_EQ(out, sentinel);
    }
    for (const int n : {0, -1, -3}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), n, 0, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(Copy1D(abcde.data(), n, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(out, sentinel);
    }
}

} // namespace
} // namespace korven
