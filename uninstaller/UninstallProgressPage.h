// The uninstaller's progress window: the setup's progress page, with the
// uninstaller's title and caption, the only window of its program and so in
// the middle of the screen. Only the worker's final word ends it, after a
// success and after a failure alike; nothing the user does stops the worker
// halfway.
#pragma once

#include "ui/ProgressDlg.h"

#include <string>

class CUninstallProgressPage : public CProgressDlg {
protected:
    std::string TitleText() const override;
    void ArrangeWindow() override;

private:
    // The title is longer than the setup's: it gets the header band's width
    // up to the logo, on as many lines as it needs.
    void WidenTitle() const;
    void CenterOnWorkArea() const;
};
