// What a window looks like on the screen, as the user sees it: saved as a
// PNG for a person to look at, or examined for red text.
#pragma once

#include <windows.h>

#include <string>

namespace wizardtest {

// The window's screen area, written to `path` as a PNG (8-bit RGB).
bool SaveWindowPng(HWND window, const std::string& path);

// How many pixels of the window's screen area are clearly red.
int RedPixels(HWND window);

}  // namespace wizardtest
