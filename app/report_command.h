// The REPORT command: a pop-up for the operator's name, the reference
// objects and the calibration tolerance, the readings of the calibration
// objects taken again, and the writing of the report as PDF and JSON.
#pragma once

#include "app/setup_record.h"

#include <string>

namespace korven {

// Draws the report's PDF; returns its bytes, or "" with a reason in
// *error. The desktop program installs one (it needs the GUI library);
// without one no report is written.
using ReportPdfRenderer = std::string (*)(const record::SetupRecord& record,
                                          const record::ReportHeader& header, std::string* error);
void InstallReportPdfRenderer(ReportPdfRenderer renderer);

// The file name proposed for a report made at the local time `created`
// ("YYYY-MM-DD HH:MM:SS..."): "KRVN-report-YYYYMMDD-HHMMSS.pdf".
std::string DefaultReportName(const std::string& created);
// The lines of the pop-up's summary: the calibration, its readings and the
// verdict at the tolerance.
std::string CalibrationSummary(const record::Calibration& c, double toleranceUm);

// Forgets the pop-up (a fresh start for tests).
void ResetReportCommand();

int CC_BTNReport(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
int CC_REPORT(int panel, int event, void* callbackData, int eventData1, int eventData2);
int CC_NUMTolerance(int panel, int control, int event, void* callbackData, int eventData1,
                    int eventData2);
int CC_BTNTakeObject1(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);
int CC_BTNTakeObject2(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);
int CC_BTNWriteReport(int panel, int control, int event, void* callbackData, int eventData1,
                      int eventData2);

} // namespace korven
