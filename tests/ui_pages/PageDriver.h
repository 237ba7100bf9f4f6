// Drives one wizard page in-process: the page runs modally on the test's
// main thread while a driver thread finds it by its caption and a control of
// its own, reads what it shows and presses its buttons. In-process, the
// driver can also hand pointers to the shell's folder browser.
#pragma once

#include "framework/Dialog.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace pagetest {

// What the pages' windows are called and what their message boxes say.
#ifdef UI_PAGES_CLIENT
const char PRODUCT[] = "Velloran Client";
const char VERSION_TEXT[] = "Version 6.2.2";
#else
const char PRODUCT[] = "Velloran";
const char VERSION_TEXT[] = "Version 6.1";
#endif
std::string Caption();  // "Setup - <product>"

// Shows `page` and returns its end code. `drive` gets the page's window once
// it is there (found by the caption and `controlId`, which only this page
// has); when it returns with the page still open, the test fails and the
// page is ended with -2.
INT_PTR RunPage(fw::CDialog& page, int controlId, const std::function<void(HWND)>& drive);

// Waits until `predicate` holds, polling; false after `timeoutMs`.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs);

// The texts of every child control of `dialog` with id `controlId`.
std::vector<std::string> TextsOfControls(HWND dialog, int controlId);

// How many pixels of `control`, as it is painted now, are clearly red.
int RedPixels(HWND control);

// The shell's folder browser owned by `owner`, once it is shown.
HWND WaitForFolderBrowser(HWND owner, DWORD timeoutMs);
// Selects `path` in the folder browser (an empty one: the browser's root)
// and presses OK; false when the folder could not be selected.
bool ChooseInFolderBrowser(HWND browser, const std::string& path);
void CancelFolderBrowser(HWND browser);

// Clicks `controlId`, then answers the message box of caption PRODUCT with
// `answer`; returns the box's text (empty when none came within 5 s).
std::string ClickAndAnswer(HWND dialog, int controlId, int answer);

}  // namespace pagetest
