// Calibration: the linear fit and array helpers, and the calibration
// pop-up's workflow with the analogue reset and the tolerance mirror.
#pragma once

#include "app/KORVENDarir23.h"

namespace korven {

// Status codes of the array helpers.
constexpr int kArrayCountTooSmall = -20003; // Copy1D, Shift: count < 1
constexpr int kFitTooFewPoints = -20006;    // LinFit: count < 2
constexpr int kShiftTooFar = -20102;        // Shift: |shift| >= count

int Copy1D(const double* input, int count, double* output);
int LinFit(const double* x, const double* y, int n, double* fitted, double* slopeOut,
           double* interceptOut, double* mseOut);
int Shift(const double* input, int count, int shift, double* output);

// Forgets an activation whose evaluation mode a discard would restore.
void ForgetCalibrationActivation();

int CC_POPUP(int panel, int event, void* callbackData, int eventData1, int eventData2);
int CC_ActivateCalibration(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int CC_DiscardCalibration(int panel, int control, int event, void* callbackData, int eventData1,
                          int eventData2);
int CC_CheckStep1(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
int CC_CheckStep2(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
int CC_ButtonAcceptObject1(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int CC_ButtonAcceptObject2(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int CC_ButtonDoFit(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int CC_ButtonSaveCalValues(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int CC_ButtonReset(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int CC_NEDITTolerance(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);

} // namespace korven
