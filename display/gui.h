// Panel exchange and display: moving the parameter set between globals
// and panels, the read-back and run sequences, and the drawing of video
// curve, edge graph and strip chart.
#pragma once

#include "analysis/compare.h"
#include "app/KORVENDarir23.h"

namespace korven {

void GetPanelValues();
void SetPanelValues();

// Fixed-point scale of the calibration slope word for the connected sensor
// type (slope 1.0 is this many counts).
int SlopeScale();

// Copies the words of a measurement answer from pp into the display globals.
void TakeRunAnswer();

void PushGET(int source);
void PushRUN();
// Reads the sensor's RAM or EEPROM set (command 2 or 4) with the read-back
// exchange, without touching the panel or the parameter globals; pp holds
// the answer after it, as after any exchange. False when no answer came.
bool ReadParameterSet(int command, analysis::ParameterWords& out);

// The run sequence and the live video loop measure with the parameter set
// in RAM; the radio buttons show that.
void SelectRamTarget();
// While a loop runs, the controls that would disturb it are dimmed.
void DimLoopControls();
void UndimLoopControls();

int PlotVIDEOCurve(const u16* y, const double* x);
void PlotVIDEOBarGraph();
void PlotRAWGraphX8();
// Upper end of the strip chart's y axis when it is not zoomed: the sensor's
// whole line in the units of the values it reports.
double StripChartTop();

} // namespace korven
