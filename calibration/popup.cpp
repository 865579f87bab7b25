// Calibration: linear fit and array helpers, and the calibration pop-up.
#include "calibration/popup.h"

#include "analysis/panel.h"
#include "app/line_owner.h"
#include "app/setup_record.h"
#include "display/gui.h"
#include "link/com232.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

namespace korven {

// ---- Linear fit and array helpers --------------------------------------

int Copy1D(const double* input, int count, double* output) {
    if (count < 1) {
        return kArrayCountTooSmall;
    }
    for (int i = 0; i < count; ++i) {
        output[i] = input[i];
    }
    return 0;
}

int LinFit(const double* x, const double* y, int n, double* fitted, double* slopeOut,
           double* interceptOut, double* mseOut) {
    if (n < 2) {
        return kFitTooFewPoints;
    }
    double sx = 0.0, sxx = 0.0, sy = 0.0, sxy = 0.0;
    for (int i = 0; i < n; ++i) {
        sx += x[i];
        sxx += x[i] * x[i];
        sy += y[i];
        sxy += x[i] * y[i];
    }
    const double count = static_cast<double>(n);
    // No test of d: equal x values give IEEE infinities or NaN, and the
    // caller decides what to do with them.
    const double d = sx * sx - count * sxx;
    *slopeOut = (sx * sy - count * sxy) / d;
    *interceptOut = (sx * sxy - sxx * sy) / d;
    *mseOut = 0.0;
    for (int i = 0; i < n; ++i) {
        fitted[i] = *slopeOut * x[i] + *interceptOut;
        const double r = fitted[i] - y[i];
        *mseOut += r * r;
    }
    *mseOut /= count;
    return 0;
}

int Shift(const double* input, int count, int shift, double* output) {
    if (count < 1) {
        return kArrayCountTooSmall;
    }
    // Compare in 64 bits so that the magnitude of INT_MIN is representable.
    const long long magnitude = std::llabs(static_cast<long long>(shift));
    if (magnitude >= count) {
        return kShiftTooFar;
    }
    if (shift == 0) {
        return Copy1D(input, count, output);
    }
    if (shift > 0) {
        // From the end downwards, so that output == input works in place.
        for (int i = count - 1; i >= shift; --i) {
            output[i] = input[i - shift];
        }
        for (int i = 0; i < shift; ++i) {
            output[i] = 0.0;
        }
    } else {
        const int k = -shift;
        // From the start upwards, so that output == input works in place.
        for (int i = 0; i < count - k; ++i) {
            output[i] = input[i + k];
        }
        for (int i = count - 1; i >= count - k; --i) {
            output[i] = 0.0;
        }
    }
    return 0;
}

// ---- Calibration pop-up ---------------------------------------------------

namespace {

void Dim(int panel, int control, int dimmed) {
    SetCtrlAttribute(panel, control, ATTR_DIMMED, dimmed);
}

// Sends command `command` with the packet as it stands (the caller has set
// its first `setWords` words) and waits for the answer frame. Returns 1
// when it came in time, 0 after a time-out ("Timeout-RS-232..." shown).
//
// While a loop or another command uses the line, the callbacks below are
// held until it has nothing on the line (HoldWhileLineInUse), so the answer
// taken here is never a measurement, a video block or another's answer.
int Exchange(int command, int setWords) {
    const u16 words[3] = {pp[0], pp[1], pp[2]};

    FlushInQ(com);
    FlushOutQ(com);
    rx_flag = 0;
    // The words set by the caller survive anything the notification took
    // in meanwhile.
    for (int k = 0; k < setWords; ++k) {
        pp[k] = words[k];
    }
    order = command;
    FillTxBuf(order, pp);
    WriteFrame(com);
    SetCtrlVal(pHandle, PANEL_STATUS, "Reset Max/Min values...");

    tstart = Timer();
    do {
        ProcessSystemEvents();
        if (rx_flag == 1) {
            break;
        }
        tdiff = Timer() - tstart;
    } while (tdiff < TIMEOUT);

    if (rx_flag != 1) {
        SetStatusText("Timeout-RS-232...");
        ShowStatus();
        return 0;
    }
    if (command == CMD_CALIBRATION) {
        GetRxBuf(PNUM);
        slope = pp[0];
        intersect = pp[1];
    }
    // Our answer is no measurement: a run sequence that held us back must
    // not draw it, but asks for its next measurement at once.
    graphrefresh = 0;
    return 1;
}

// Shows the sensor's current slope and intercept in the pop-up.
void ShowSensorValues() {
    SetCtrlVal(pPopup, POPUP_NUMSlope, static_cast<double>(slope) / SlopeScale());
    SetCtrlVal(pPopup, POPUP_NUMOffset, static_cast<double>(static_cast<int>(intersect) - YOFFSET));
}

// Back to idle: the six workflow controls dimmed, both boxes off, no object
// accepted.
void ResetWorkflow() {
    for (const int control :
         {POPUP_ButtonAcceptObject1, POPUP_ButtonAcceptObject2, POPUP_CheckStep1, POPUP_CheckStep2,
          POPUP_ButtonDoFit, POPUP_ButtonSaveCalValues}) {
        Dim(pPopup, control, 1);
    }
    SetCtrlVal(pPopup, POPUP_CheckStep1, 0);
    SetCtrlVal(pPopup, POPUP_CheckStep2, 0);
    flagstep1 = 0;
    flagstep2 = 0;
}

// Set from an activation (which put the panel into mode 2 and saved the
// mode in oldMode) until the mode is restored.
bool evalModeSaved = false;
// Set from a confirmed activation until a stop: the sensor is calibrating.
bool calibrating = false;

void RestoreEvalMode() {
    evalModeSaved = false;
    eMode = oldMode;
    SetCtrlVal(pHandle, PANEL_DropEvalMode, static_cast<int>(eMode));
}

// The device word of a fitted value: truncated toward zero. Returns false
// when the value is not a number or the word would exceed `largest`, the
// largest word the sensor keeps.
bool ToWord(double value, int largest, u16& word) {
    if (!std::isfinite(value)) {
        return false;
    }
    const double whole = std::trunc(value);
    if (whole < 0.0 || whole > largest) {
        return false;
    }
    word = static_cast<u16>(whole);
    return true;
}

// Arms one step: its box on turns the other box off and makes only its own
// accept button operable; off dims both accept buttons.
void ArmStep(int box, int otherBox, int accept, int otherAccept) {
    int on = 0;
    GetCtrlVal(pPopup, box, &on);
    if (on == 1) {
        SetCtrlVal(pPopup, otherBox, 0);
        Dim(pPopup, accept, 0);
        Dim(pPopup, otherAccept, 1);
    } else {
        Dim(pPopup, POPUP_ButtonAcceptObject1, 1);
        Dim(pPopup, POPUP_ButtonAcceptObject2, 1);
    }
}

// Takes the live raw value and the entered size as one calibration point.
void AcceptObject(int index, u16& flag, int sizeEntry, int box, int accept) {
    flag = 1;
    int entered = 0;
    GetCtrlVal(pPopup, sizeEntry, &entered);
    const auto size = static_cast<u16>(static_cast<unsigned int>(entered) & 0xFFFFu);
    pixel[index] = Mvalue;
    umeter[index] = size;
    if (flagstep1 == 1 && flagstep2 == 1) {
        Dim(pPopup, POPUP_ButtonDoFit, 0);
    }
    Dim(pPopup, box, 1);
    Dim(pPopup, accept, 1);
    SetCtrlVal(pPopup, box, 0);
}

} // namespace

void ForgetCalibrationActivation() {
    evalModeSaved = false;
    calibrating = false;
}

int CC_ActivateCalibration(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2) {
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_ActivateCalibration, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    const LineCommand onLine;
    pp[0] = 1;
    if (Exchange(CMD_CALIBRATION, 1) == 0) {
        return 0;
    }
    SetStatusText("Calibration activated!");
    ShowStatus();
    ShowSensorValues();
    oldMode = eMode;
    evalModeSaved = true;
    calibrating = true;
    SetCtrlVal(pHandle, PANEL_DropEvalMode, 2);
    ProcessSystemEvents();
    Dim(pPopup, POPUP_CheckStep1, 0);
    Dim(pPopup, POPUP_CheckStep2, 0);
    // Keeps the live raw value coming while the objects are accepted.
    if (stop_flag == 1) {
        PushRUN();
    }
    return 0;
}

int CC_DiscardCalibration(int panel, int control, int event, void* callbackData, int eventData1,
                          int eventData2) {
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_DiscardCalibration, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    const LineCommand onLine;
    // A running run sequence ends once this callback returns to it.
    stop_flag = 1;
    calibrating = false;
    pp[0] = 0;
    if (Exchange(CMD_CALIBRATION, 1) == 1) {
        SetStatusText("Calibration stopped successfully!");
        ShowStatus();
        ShowSensorValues();
        RestoreEvalMode();
        ProcessSystemEvents();
    } else if (evalModeSaved) {
        // Unconfirmed or not, the calibration is given up here: the panel
        // must not keep mode 2, or the next send would write it.
        RestoreEvalMode();
    }
    ResetWorkflow();
    HidePanel(pPopup);
    SetCtrlVal(pHandle, PANEL_TOGGBTN_ParaII, 0);
    return 0;
}

int CC_CheckStep1(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                  int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        ArmStep(POPUP_CheckStep1, POPUP_CheckStep2, POPUP_ButtonAcceptObject1,
                POPUP_ButtonAcceptObject2);
    }
    return 0;
}

int CC_CheckStep2(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                  int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        ArmStep(POPUP_CheckStep2, POPUP_CheckStep1, POPUP_ButtonAcceptObject2,
                POPUP_ButtonAcceptObject1);
    }
    return 0;
}

int CC_ButtonAcceptObject1(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                           int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        AcceptObject(0, flagstep1, POPUP_NEDITObject1, POPUP_CheckStep1, POPUP_ButtonAcceptObject1);
    }
    return 0;
}

int CC_ButtonAcceptObject2(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                           int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_COMMIT) {
        AcceptObject(1, flagstep2, POPUP_NEDITObject2, POPUP_CheckStep2, POPUP_ButtonAcceptObject2);
    }
    return 0;
}

int CC_ButtonDoFit(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                   int /*eventData1*/, int /*eventData2*/) {
    if (event != EVENT_COMMIT) {
        return 0;
    }
    // With two points the fit cannot be rejected; two points at the same raw
    // value give a non-finite line, which is shown as it is and refused when
    // sending.
    LinFit(pixel, umeter, 2, zarray, &slopeval, &interval, &mse);
    SetCtrlVal(pPopup, POPUP_NUMFitSlope, slopeval);
    SetCtrlVal(pPopup, POPUP_NUMFitOffset, interval);
    Dim(pPopup, POPUP_ButtonSaveCalValues, 0);
    Dim(pPopup, POPUP_ButtonDoFit, 1);
    return 0;
}

int CC_ButtonSaveCalValues(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2) {
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_ButtonSaveCalValues, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    const LineCommand onLine;
    // A line the device words cannot hold is not sent: a wrapped word would
    // load a wrong calibration into the sensor.
    u16 slopeWord = 0;
    u16 interceptWord = 0;
    if (!ToWord(SlopeScale() * slopeval, kLargestSlopeWord, slopeWord)) {
        SetStatusText("Calibration not sent: slope out of range!");
        ShowStatus();
        return 0;
    }
    if (!ToWord(YOFFSET + interval, kLargestInterceptWord, interceptWord)) {
        SetStatusText("Calibration not sent: offset out of range!");
        ShowStatus();
        return 0;
    }
    slope = slopeWord;
    intersect = interceptWord;

    pp[0] = 2;
    pp[1] = slope;
    pp[2] = intersect;
    if (Exchange(CMD_CALIBRATION, 3) == 1) {
        record::NoteCalibrationLoaded(slopeWord, interceptWord);
        NotifyProgramEvent(ProgramEvent(ProgramEventKind::CalibrationSent));
        SetStatusText("New Calibration values in activated in RAM!");
        ShowStatus();
        ShowSensorValues();
        RestoreEvalMode();
        ResetWorkflow();
    } else {
        Dim(pPopup, POPUP_ButtonSaveCalValues, 1);
    }
    ProcessSystemEvents();
    return 0;
}

int CC_POPUP(int /*panel*/, int event, void* /*callbackData*/, int /*eventData1*/,
             int /*eventData2*/) {
    if (event != EVENT_CLOSE) {
        return 0;
    }
    HidePanel(pPopup);
    SetCtrlVal(pHandle, PANEL_TOGGBTN_ParaII, 0);
    // A calibration left running out of sight would keep the sensor in
    // calibration mode and the panel in the calibration's evaluation mode,
    // which the next SEND would write as the operator's: closing ends it as
    // the pop-up's stop does. Otherwise nothing is sent, and the workflow
    // keeps its state for the next showing.
    if (calibrating) {
        CC_DiscardCalibration(pPopup, POPUP_DiscardCalibration, EVENT_COMMIT, nullptr, 0, 0);
    }
    return 0;
}

int CC_ButtonReset(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2) {
    if (event != EVENT_COMMIT || HoldWhileLineInUse(CC_ButtonReset, panel, control, event,
                                                    callbackData, eventData1, eventData2)) {
        return 0;
    }
    const LineCommand onLine;
    if (Exchange(CMD_DATA256_OR_RESET, 0) == 1) {
        SetStatusText("Reset of analog-output Max/Min OK!");
        ShowStatus();
    }
    return 0;
}

int CC_NEDITTolerance(int /*panel*/, int /*control*/, int event, void* /*callbackData*/,
                      int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_VAL_CHANGED) {
        unsigned short tolerance = 0;
        GetCtrlVal(pHandle, PANEL_NEDITTolerance, &tolerance);
        SetCtrlVal(pHandle, PANEL_NUMTolDisplay, static_cast<int>(tolerance));
    }
    return 0;
}

} // namespace korven
