// The uninstaller's progress window, in the wizard's look: the progress
// page's template and frame, with a title of its own. It starts the
// uninstall worker when it opens and shows what the worker reports through
// the application's ProgressSink (the three progress integers and the stage
// text); a 150 ms timer moves the bar one unit towards the target. Only the
// worker's final word ends it, after a success and after a failure alike;
// nothing the user does stops the worker halfway.
#pragma once

#include "framework/ProgressCtrl.h"
#include "framework/Static.h"
#include "process/ProgressProtocol.h"
#include "process/ProgressSink.h"
#include "ui/WizardPage.h"

#include <string>

class CUninstallApp;

class CUninstallProgressPage : public CWizardPage {
public:
    CUninstallProgressPage();
    ~CUninstallProgressPage() override;

    // Links given by the application before the page is shown: the
    // application that starts the worker, and its ProgressSink, which is
    // pointed at this page's integers now and at the stage label when the
    // window opens. Also SetHeaderFont (no shared rectangle: the window
    // centres itself).
    void SetApplication(CUninstallApp* app) { m_app = app; }
    void SetProgressSink(ProgressSink* sink);

    static constexpr UINT_PTR TIMER_ID = 222;
    static constexpr UINT TIMER_PERIOD_MS = 150;

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    // Enter and the close box: ignored until the worker's final word.
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    void OnTimer();
    // The title is longer than the setup's: it gets the header band's width
    // up to the logo, on as many lines as it needs.
    void WidenTitle() const;
    // The only window of its program: in the middle of the screen's work area.
    void CenterOnWorkArea() const;
    void Finish();

    fw::CStatic m_title;
    fw::CStatic m_taskLabel;
    fw::CProgressCtrl m_bar;
    std::string m_titleText;
    bool m_finished = false;
    ProgressValues m_values;
    ProgressSink* m_sink = nullptr;
    CUninstallApp* m_app = nullptr;
};
