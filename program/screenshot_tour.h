// A scripted walk through the program for the documentation pictures:
// run mode, video mode and the calibration pop-up, each saved as a PNG.
#pragma once

#include <QString>

namespace korven::rt::qt {

// Starts the walk once the main panel is shown; it presses the panel's
// buttons like an operator, saves "main-run.png", "main-video.png" and
// "calibration.png" into directory and then closes the main panel.
void StartScreenshotTour(const QString& directory);

} // namespace korven::rt::qt
