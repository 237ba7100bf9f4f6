// The last page when Windows must be restarted to complete the installation:
// it says whether the installation succeeded and asks whether to restart now
// or later. The radio buttons write the application's restart flag as they
// are clicked; Finish (and Enter) only end the page.
#pragma once

#include "ui/WizardPage.h"

#include <cstdint>
#include <string>

class CFinishRestDlg : public CWizardPage {
public:
    CFinishRestDlg();
    ~CFinishRestDlg() override;

    // Links given by the application before the first showing: its restart
    // flag (1: restart now) and failed flag. Also SetSharedRect.
    void SetFlags(int32_t* restartFlag, const int32_t* installFailed)
    {
        m_restartFlag = restartFlag;
        m_installFailed = installFailed;
    }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    // Enter: as Finish.
    void OnOK() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;
    bool IsRed(int controlId) const override;

private:
    bool Failed() const { return m_installFailed != nullptr && *m_installFailed != 0; }

    fw::CStatic m_sidePicture;
    fw::CStatic m_title;
    std::string m_titleText;
    std::string m_bodyText;
    int32_t* m_restartFlag = nullptr;
    const int32_t* m_installFailed = nullptr;
};
