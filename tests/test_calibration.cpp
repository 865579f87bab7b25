// The calibration pop-up: its exchanges, the workflow's states and
// transitions, the conversion of the fit into device words (and the refusal
// of fits the words cannot hold), the analogue reset and the tolerance
// mirror.
#include "app/KORVENDarir23.h"
#include "calibration/popup.h"
#include "link/com232.h"
#include "sim/sensor_model.h"
#include "support/bed.h"
#include "support/line.h"
#include "support/sim_peer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace korven {
namespace {

using rt::Value;
using rt::headless::PeerLink;
using test::Bed;
using test::LinePeer;
using test::Words;

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

class Calibration : public Bed {
  protected:
    void SetUp() override {
        Bed::SetUp();
        LoadPanels();
        InitVars();
        ccdtype = 2;
        DisplayPanel(pPopup);
        SetCtrlVal(pHandle, PANEL_TOGGBTN_ParaII, 1);
    }
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
    // Accepts object `n` (1 or 2) at raw value `raw` with size `size`.
    void Accept(int n, u16 raw, int size) {
        Check(n == 1 ? POPUP_CheckStep1 : POPUP_CheckStep2, 1);
        Mvalue = raw;
        SetCtrlVal(pPopup, n == 1 ? POPUP_NEDITObject1 : POPUP_NEDITObject2, size);
        Press(n == 1 ? POPUP_ButtonAcceptObject1 : POPUP_ButtonAcceptObject2);
    }
    void ExpectIdle() {
        for (const int c : kSix) {
            EXPECT_TRUE(Dimmed(c)) << c;
        }
        EXPECT_EQ(Int(POPUP_CheckStep1), 0);
        EXPECT_EQ(Int(POPUP_CheckStep2), 0);
        EXPECT_EQ(flagstep1, 0);
        EXPECT_EQ(flagstep2, 0);
    }
    // Activation starts the run sequence; against a sensor that does not
    // measure it ends by its own time-out.
    void Activate() { Press(POPUP_ActivateCalibration); }
};

TEST_F(Calibration, PopupOpensIdleAndActivationWithoutSensorTimesOutAndChangesNothing) {
    ExpectIdle();
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    std::string waiting;
    bed().at(bed().now() + 0.5, [&] { waiting = Status(); });

    Activate();

    EXPECT_EQ(waiting, "Reset Max/Min values...");
    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(sensor.commands(), (std::vector<int>{12}));
    EXPECT_EQ(LinePeer::wordOf(sensor.frames()[0], 0), 1);
    EXPECT_TRUE(Dimmed(POPUP_CheckStep1));
    EXPECT_TRUE(Dimmed(POPUP_CheckStep2));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 1);
}

TEST_F(Calibration, WholeWorkflowWithTheDefaultObjectsInEitherOrder) {
    LinePeer sensor;
    CalibrationReply line{2048, 30100};
    sensor.always(12, line.reply());
    test::OpenLine(bed(), &sensor);
    eMode = 1;

    Activate();
    // The sensor's current line is shown, the evaluation mode switched.
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMSlope), 2.0);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMOffset), 100.0);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 2);
    EXPECT_EQ(oldMode, 1);
    EXPECT_FALSE(Dimmed(POPUP_CheckStep1));
    EXPECT_FALSE(Dimmed(POPUP_CheckStep2));
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject1));
    EXPECT_TRUE(Dimmed(POPUP_ButtonDoFit));
    // The run sequence kept the raw value coming until the silent sensor
    // stopped it.
    EXPECT_EQ(sensor.commands(), (std::vector<int>{12, 8}));

    // Arming: one step at a time.
    Check(POPUP_CheckStep2, 1);
    EXPECT_FALSE(Dimmed(POPUP_ButtonAcceptObject2));
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject1));
    Check(POPUP_CheckStep1, 1);
    EXPECT_EQ(Int(POPUP_CheckStep2), 0);
    EXPECT_FALSE(Dimmed(POPUP_ButtonAcceptObject1));
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject2));
    Check(POPUP_CheckStep1, 0);
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject1));
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject2));

    // Object 2 first: one object never makes the fit operable.
    Accept(2, 662, 21960);
    EXPECT_EQ(flagstep2, 1);
    EXPECT_TRUE(Dimmed(POPUP_ButtonDoFit));
    EXPECT_TRUE(Dimmed(POPUP_CheckStep2));
    EXPECT_EQ(Int(POPUP_CheckStep2), 0);
    EXPECT_TRUE(Dimmed(POPUP_ButtonAcceptObject2));
    Accept(1, 241, 7960);
    EXPECT_FALSE(Dimmed(POPUP_ButtonDoFit));

    Press(POPUP_ButtonDoFit);
    EXPECT_NEAR(Double(POPUP_NUMFitSlope), 33.2541567695962, 1e-12);
    EXPECT_NEAR(Double(POPUP_NUMFitOffset), -54.2517814726841, 1e-9);
    EXPECT_TRUE(Dimmed(POPUP_ButtonDoFit));
    EXPECT_FALSE(Dimmed(POPUP_ButtonSaveCalValues));

    Press(POPUP_ButtonSaveCalValues);
    const auto& sent = sensor.frames().back();
    EXPECT_EQ(LinePeer::commandOf(sent), 12);
    EXPECT_EQ(LinePeer::wordOf(sent, 0), 2);
    EXPECT_EQ(LinePeer::wordOf(sent, 1), 34052);
    EXPECT_EQ(LinePeer::wordOf(sent, 2), 29945);
    EXPECT_EQ(Status(), "New Calibration values in activated in RAM!");
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMSlope), 33.25390625);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMOffset), -55.0);
    EXPECT_EQ(slope, 34052);
    EXPECT_EQ(intersect, 29945);
    ExpectIdle();
    EXPECT_TRUE(bed().panelVisible(pPopup));
    EXPECT_EQ(eMode, 1);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 1);
}

TEST_F(Calibration, TimedOutSendKeepsTheObjectsForAnotherTry) {
    LinePeer sensor;
    CalibrationReply line;
    test::OpenLine(bed(), &sensor);
    sensor.then(line.reply()); // activation answered; everything after is silent
    Activate();
    Accept(1, 241, 7960);
    Accept(2, 662, 21960);
    Press(POPUP_ButtonDoFit);

    Press(POPUP_ButtonSaveCalValues);

    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_TRUE(Dimmed(POPUP_ButtonSaveCalValues));
    EXPECT_EQ(flagstep1, 1);
    EXPECT_EQ(flagstep2, 1);
    EXPECT_EQ(slope, 34052); // the unconfirmed words
    EXPECT_EQ(intersect, 29945);

    // A new activation and one object accepted again make the fit operable.
    sensor.then(line.reply());
    Activate();
    EXPECT_FALSE(Dimmed(POPUP_CheckStep1));
    Accept(1, 250, 8000);
    EXPECT_FALSE(Dimmed(POPUP_ButtonDoFit));
    EXPECT_DOUBLE_EQ(pixel[0], 250.0);
    EXPECT_DOUBLE_EQ(umeter[0], 8000.0);
}

TEST_F(Calibration, StopWithSensorRestoresTheModeAndHidesThePopup) {
    LinePeer sensor;
    CalibrationReply line{3072, 29000};
    sensor.always(12, line.reply());
    test::OpenLine(bed(), &sensor);
    oldMode = 0;
    eMode = 2;
    flagstep1 = 1;

    Press(POPUP_DiscardCalibration);

    EXPECT_EQ(Status(), "Calibration stopped successfully!");
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 0), 0);
    EXPECT_EQ(eMode, 0);
    EXPECT_EQ(bed().intValue(pHandle, PANEL_DropEvalMode), 0);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMSlope), 3.0);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMOffset), -1000.0);
    EXPECT_FALSE(bed().panelVisible(pPopup));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_TOGGBTN_ParaII), 0);
    EXPECT_EQ(stop_flag, 1);
    ExpectIdle();
}

TEST_F(Calibration, StopWithoutSensorStillCleansUpButKeepsTheMode) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    oldMode = 0;
    eMode = 2;
    flagstep1 = flagstep2 = 1;
    Dim(POPUP_CheckStep1, 0);

    Press(POPUP_DiscardCalibration);

    EXPECT_EQ(Status(), "Timeout-RS-232...");
    EXPECT_EQ(eMode, 2);
    EXPECT_FALSE(bed().panelVisible(pPopup));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_TOGGBTN_ParaII), 0);
    ExpectIdle();
}

TEST_F(Calibration, CloseBoxHidesWithoutSendingAndKeepsTheState) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    SetCtrlAttribute(pPopup, POPUP_CheckStep1, ATTR_DIMMED, 0);
    flagstep1 = 1;

    bed().firePanel(pPopup, EVENT_CLOSE);
    bed().advance(0.1);

    EXPECT_FALSE(bed().panelVisible(pPopup));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_TOGGBTN_ParaII), 0);
    EXPECT_TRUE(sensor.frames().empty());
    bed().operate(pHandle, PANEL_TOGGBTN_ParaII, Value::ofInt(1));
    EXPECT_TRUE(bed().panelVisible(pPopup));
    EXPECT_FALSE(Dimmed(POPUP_CheckStep1));
    EXPECT_EQ(flagstep1, 1);
}

TEST_F(Calibration, FitsAreConvertedIntoDeviceWordsOrRefusedWhenTheyCannotHoldThem) {
    LinePeer sensor;
    CalibrationReply line;
    sensor.always(12, line.reply());
    test::OpenLine(bed(), &sensor);
    // The same raw value twice gives a non-finite fit: shown, never sent.
    pixel[0] = pixel[1] = 500.0;
    Fire(POPUP_ButtonDoFit);
    EXPECT_FALSE(std::isfinite(slopeval));
    Fire(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(Status(), "Calibration not sent: slope out of range!");
    struct Case {
        double slope, intercept;
        const char* status;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case c : {Case{64.0, 0.0, "Calibration not sent: slope out of range!"},
                         Case{-0.5, 0.0, "Calibration not sent: slope out of range!"},
                         Case{nan, nan, "Calibration not sent: slope out of range!"},
                         Case{-inf, 0.0, "Calibration not sent: slope out of range!"},
                         // The words 65535 and above 60000 come back as the defaults.
                         Case{65535.0 / 1024.0, 0.0, "Calibration not sent: slope out of range!"},
                         Case{1.0, 30001.0, "Calibration not sent: offset out of range!"},
                         Case{1.0, -30001.0, "Calibration not sent: offset out of range!"}}) {
        slope = 1111;
        intersect = 2222;
        slopeval = c.slope;
        interval = c.intercept;
        Fire(POPUP_ButtonSaveCalValues);
        EXPECT_EQ(Status(), c.status) << c.slope << " " << c.intercept;
        EXPECT_EQ(slope, 1111);
        EXPECT_EQ(intersect, 2222);
    }
    bed().advance(0.1);
    EXPECT_TRUE(sensor.frames().empty());

    // The edges of the range are sent as they are.
    slopeval = 65534.0 / 1024.0;
    interval = 30000.0;
    Fire(POPUP_ButtonSaveCalValues);
    ASSERT_FALSE(sensor.frames().empty());
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 1), 65534);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 2), 60000);
    slopeval = 0.0;
    interval = -30000.0;
    Fire(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 1), 0);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 2), 0);

    // A sensor type with half scale gets half the slope word; the confirmed
    // line is shown.
    ccdtype = 104;
    slopeval = 14000.0 / 421.0;
    interval = -54.2517814726841;
    Dim(POPUP_ButtonSaveCalValues);
    Press(POPUP_ButtonSaveCalValues);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 1), 17026);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames().back(), 2), 29945);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMSlope), 33.25390625);
    EXPECT_DOUBLE_EQ(Double(POPUP_NUMOffset), -55.0);
}

class CalibrationDuringRun : public Calibration, public ::testing::WithParamInterface<int> {};

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

    EXPECT_TRUE(activeDuringRun);
    EXPECT_EQ(afterSend, "New Calibration values in activated in RAM!");
    EXPECT_EQ(sensor.model().ram()[sim::kSlope], 34052);
    EXPECT_EQ(sensor.model().ram()[sim::kIntersect], 29945);
    EXPECT_EQ(slope, 34052);
    EXPECT_EQ(intersect, 29945);
    EXPECT_FALSE(sensor.model().calibrationActive());
    EXPECT_EQ(Status(), "Calibration stopped successfully!");
    EXPECT_FALSE(bed().panelVisible(pPopup));
    EXPECT_EQ(stop_flag, 1);
    // Every frame reached the sensor whole.
    EXPECT_EQ(sensor.model().bytesDiscarded(), 0);
}

INSTANTIATE_TEST_SUITE_P(ExtraBytesBehindRunAnswers, CalibrationDuringRun, ::testing::Values(0, 5));

TEST_F(Calibration, AnalogResetReportsAnyAnswerAndATimeOut) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    sensor.answer({0xFFFF, 0xFFFF});
    pp[5] = 777;
    // Boards with an analogue output have the reset operable.
    SetCtrlAttribute(pHandle, PANEL_ButtonReset, ATTR_DIMMED, 0);

    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Reset of analog-output Max/Min OK!");
    EXPECT_EQ(LinePeer::commandOf(sensor.frames()[0]), 11);
    EXPECT_EQ(LinePeer::wordOf(sensor.frames()[0], 5), 777);
    EXPECT_EQ(slope, 1024); // the answer is not used

    bed().pressKey(pHandle, PANEL_ButtonReset);
    EXPECT_EQ(Status(), "Timeout-RS-232...");
}

TEST_F(Calibration, ToleranceEntryIsMirroredAtOnceWithoutAFrame) {
    LinePeer sensor;
    test::OpenLine(bed(), &sensor);
    bed().operate(pHandle, PANEL_NEDITTolerance, Value::ofInt(321));
    EXPECT_EQ(bed().intValue(pHandle, PANEL_NUMTolDisplay), 321);
    EXPECT_EQ(tTol, 100);
    bed().advance(0.1);
    EXPECT_TRUE(sensor.frames().empty());
}

} // namespace
} // namespace korven
