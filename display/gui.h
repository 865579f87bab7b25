// Panel exchange and display: moving the parameter set between globals
// and panels, the read-back and run sequences, and the drawing of video
// curve, edge graph and strip chart.
#pragma once

#include "app/KORVENDarir23.h"

namespace korven {

void GetPanelValues();
void SetPanelValues();

// Copies the words of a measurement answer from pp into the display globals.
void TakeRunAnswer();

void PushGET(int source);
void PushRUN();

int PlotVIDEOCurve(const u16* y, const double* x);
void PlotVIDEOBarGraph();
void PlotRAWGraphX8();

} // namespace korven
