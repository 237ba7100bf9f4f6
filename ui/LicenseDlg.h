// The licence page: the licence agreement from the package, shown in a Rich
// Edit control, and the choice to accept it, without which Next stays
// disabled.
#pragma once

#include "framework/RichEditCtrl.h"
#include "ui/WizardPage.h"

#include <richedit.h>

#include <cstdint>
#include <string>

class CInstallApp;

class CLicenseDlg : public CWizardPage {
public:
    CLicenseDlg();
    ~CLicenseDlg() override;

    // Links given by the application before the first showing: the
    // application itself, whose package holds the licence text
    // (CInstallApp::LicenseText), and its licence-accepted flag
    // (CInstallApp::licenseAccepted), which the radio buttons set. Also
    // SetSharedRect, SetHeaderFont.
    void SetApplication(const CInstallApp* app) { m_app = app; }
    void SetAccepted(int32_t* licenseAccepted) { m_licenseAccepted = licenseAccepted; }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    // The Rich Edit control's stream reader; the cookie is the page.
    static DWORD CALLBACK ReadLicense(DWORD_PTR cookie, LPBYTE buffer, LONG requested, LONG* read);
    void OnAcceptChosen(bool accepted);
    bool Accepted() const { return m_licenseAccepted != nullptr && *m_licenseAccepted != 0; }

    fw::CRichEditCtrl m_licenseText;
    fw::CWnd m_nextButton;
    fw::CStatic m_title;
    std::string m_subtitleText;
    std::string m_titleText;
    const CInstallApp* m_app = nullptr;
    int32_t* m_licenseAccepted = nullptr;

    // The licence bytes as the control reads them: valid while the page is
    // shown, since the package stays loaded.
    const uint8_t* m_streamData = nullptr;
    int32_t m_streamSize = 0;
    int32_t m_streamPosition = 0;
};
