// The welcome page, first of the wizard. Each showing runs the setup's
// start-up checks on a thread of its own: whether a running, newer copy of
// the product rules this setup out, then the package load. Next is enabled
// only when both pass; otherwise the reason is shown in red and Cancel reads
// "Exit".
#pragma once

#include "framework/WinThread.h"
#include "ui/WizardPage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CInstallApp;
struct FaultInfo;

class CWelcomeDlg : public CWizardPage {
public:
    CWelcomeDlg();
    // Ends a checking thread that is still there (see EndInitWorker).
    ~CWelcomeDlg() override;

    // Link given by the application before the first showing: the
    // application whose checks the page runs (CInstallApp::
    // CheckInstalledVersion, CheckSetupModules). Also SetSharedRect.
    void SetApplication(CInstallApp* app) { m_app = app; }

    // 0 while nothing blocks the setup, else the result of the failed check.
    int32_t BlockingResult() const { return m_blockingResult; }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;
    bool IsRed(int controlId) const override;

private:
    static UINT InitWorkerMain(void* page);
    // The checks and what they show; runs under the fault guard.
    void RunChecks();
    void ReportFault(const FaultInfo& fault);
    // Waits up to 10 s for the checking thread, then ends it the hard way,
    // and deletes its object. The page's window keeps answering the
    // thread's messages meanwhile, so a thread still setting texts can end.
    void EndInitWorker();
    void PaintIconic();

    fw::CStatic m_sidePicture;
    fw::CWnd m_cancelButton;
    fw::CWnd m_nextButton;
    fw::CWnd m_backButton;
    fw::CStatic m_body;
    fw::CStatic m_title;
    std::string m_titleText;
    std::string m_bodyText;
    fw::CGdiObject m_bodyFont;
    HICON m_icon = nullptr;
    std::unique_ptr<fw::CWinThread> m_initWorker;
    // Written by the checking thread, read by the colours and by Cancel.
    std::atomic<int32_t> m_blockingResult{0};
    CInstallApp* m_app = nullptr;
};
