// The brand and version header at the top of the main panel.
#pragma once

namespace korven {

void ShowLogo(int variant);
void ShowInfoText(int backgroundColor, int textColor, const char* text, int left, int top,
                  int pointSize);

} // namespace korven
