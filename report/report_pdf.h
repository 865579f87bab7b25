// The setup and calibration report as a PDF page set, drawn with Qt's own
// PDF writer from a record snapshot alone: no widgets, so that the desktop
// program and a command-line program can both use it. Needs a
// QGuiApplication (fonts).
#pragma once

#include "app/setup_record.h"

#include <string>

namespace korven::report {

// The PDF's bytes; "" with a reason in *error when it cannot be made.
std::string RenderReportPdf(const record::SetupRecord& record, const record::ReportHeader& header,
                            std::string* error);

} // namespace korven::report
