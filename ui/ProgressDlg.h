// The progress page: starts the install worker when it opens and shows what
// the worker reports. The worker never sends this page progress messages; it
// writes the page's three progress integers (through the application's
// ProgressSink) and the task label's text, and a 150 ms timer moves the bar
// one unit towards the target. The page ends with Next once the displayed
// position reaches 100, which is the worker's last word after a success and
// after a failure alike. The uninstaller's progress window is this page
// with a title, caption and place of its own.
#pragma once

#include "framework/ProgressCtrl.h"
#include "process/ProgressProtocol.h"
#include "process/ProgressSink.h"
#include "ui/WizardPage.h"

#include <functional>
#include <string>

class CProgressDlg : public CWizardPage {
public:
    CProgressDlg();
    ~CProgressDlg() override;

    // Starts the worker for the page's window: 0 once it runs; otherwise
    // the application has told the user why, and the page closes.
    using WorkerStarter = std::function<int(HWND page)>;

    // Links given by the application before the first showing: what starts
    // the worker, and the application's ProgressSink, which is pointed at
    // this page's integers now and at the task label whenever the page's
    // window opens. Also SetSharedRect, SetHeaderFont.
    void SetWorkerStarter(WorkerStarter start) { m_startWorker = std::move(start); }
    void SetProgressSink(ProgressSink* sink);

    static constexpr UINT_PTR TIMER_ID = 222;
    static constexpr UINT TIMER_PERIOD_MS = 150;

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    // Only the finished worker ends this page.
    void OnOK() override;
    // Escape and the close box while the worker runs: nothing can stop the
    // worker halfway, so the request is ignored.
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;
    // The header's text, and the window's caption and place once the
    // worker runs: the wizard's by default.
    virtual std::string TitleText() const;
    virtual void ArrangeWindow();

private:
    void OnTimer();
    // Stores the window's place for the finish page and ends with Next.
    void Finish();

    fw::CStatic m_title;
    fw::CStatic m_taskLabel;
    fw::CProgressCtrl m_bar;
    std::string m_titleText;
    UINT_PTR m_timer = 0;
    bool m_finished = false;
    ProgressValues m_values;
    ProgressSink* m_sink = nullptr;
    WorkerStarter m_startWorker;
};
