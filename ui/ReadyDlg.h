// The ready page: the summary of the user's choices, read-only, and the
// Install button that starts the installation.
#pragma once

#include "framework/Edit.h"
#include "ui/WizardPage.h"

#include <string>

class CReadyDlg : public CWizardPage {
public:
    CReadyDlg();
    ~CReadyDlg() override;

    // The summary to show (CInstallApp::ComposeSummary), set by the
    // application before every forward move onto this page. Also
    // SetSharedRect, SetHeaderFont.
    void SetSummary(const std::string& summary) { m_summaryText = summary; }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    fw::CStatic m_title;
    fw::CEdit m_summary;
    std::string m_titleText;
    std::string m_subtitleText;
    std::string m_summaryText;
};
