// The additional-tasks page: Windows Firewall rules, a desktop icon and a
// Quick Launch icon, each a check box.
#pragma once

#include "ui/WizardPage.h"

#include <cstdint>
#include <string>

class CAdditionalTaskDlg : public CWizardPage {
public:
    CAdditionalTaskDlg();
    ~CAdditionalTaskDlg() override;

    // Links given by the application before the first showing: its three
    // task flags (CInstallApp::choices.desktopIcon, .quickLaunchIcon,
    // .firewallRules). Each showing starts from them; Next and Back write
    // them. Also SetSharedRect, SetHeaderFont.
    void SetFlags(int32_t* desktopIcon, int32_t* quickLaunchIcon, int32_t* firewallRules)
    {
        m_desktopIconFlag = desktopIcon;
        m_quickLaunchFlag = quickLaunchIcon;
        m_firewallFlag = firewallRules;
    }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    // The check boxes into the values and the values into the application.
    void StoreFlags();

    fw::CStatic m_iconsGroup;
    fw::CStatic m_firewallGroup;
    fw::CWnd m_firewallBox;
    fw::CWnd m_desktopIconBox;
    fw::CWnd m_quickLaunchBox;
    fw::CStatic m_title;
    std::string m_titleText;
    std::string m_subtitleText;
    int m_desktopIcon = 1;
    int m_quickLaunch = 1;
    int m_firewall = 1;
    int32_t* m_desktopIconFlag = nullptr;
    int32_t* m_quickLaunchFlag = nullptr;
    int32_t* m_firewallFlag = nullptr;
};
