// The last page after an installation that needs no restart: it says whether
// the installation succeeded and, after a success, offers to launch the
// product and to open its quick-start page. Finish (and Enter, which acts the
// same) stores both choices into the application; after a failure both stay 0.
#pragma once

#include "ui/WizardPage.h"

#include <cstdint>
#include <string>

class CFinishDlg : public CWizardPage {
public:
    CFinishDlg();
    ~CFinishDlg() override;

    // Links given by the application before the first showing: its launch,
    // quick-start and failed flags. Also SetSharedRect.
    void SetFlags(int32_t* launchProduct, int32_t* openQuickStart, const int32_t* installFailed)
    {
        m_launchProduct = launchProduct;
        m_openQuickStart = openQuickStart;
        m_installFailed = installFailed;
    }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    // Enter: as Finish, so the check boxes are never lost.
    void OnOK() override;
    // Finish (the button has the Cancel command's id).
    void OnCancel() override;
    bool IsOnWhite(int controlId) const override;
    bool IsRed(int controlId) const override;

private:
    bool Failed() const { return m_installFailed != nullptr && *m_installFailed != 0; }

    fw::CStatic m_sidePicture;
    fw::CStatic m_title;
    std::string m_titleText;
    std::string m_bodyText;
    int m_launch = 0;
    int m_quickStart = 0;
    int32_t* m_launchProduct = nullptr;
    int32_t* m_openQuickStart = nullptr;
    const int32_t* m_installFailed = nullptr;
};
