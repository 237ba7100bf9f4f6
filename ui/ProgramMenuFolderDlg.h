// The Start Menu page: the name of the program group under the Start Menu's
// Programs folder, typed or chosen with the shell's folder browser.
#pragma once

#include "ui/AlphaImage.h"
#include "ui/WizardPage.h"

#include <string>

class CProgramMenuFolderDlg : public CWizardPage {
public:
    CProgramMenuFolderDlg();
    ~CProgramMenuFolderDlg() override;

    // Link given by the application before the first showing: its Start
    // Menu folder (CInstallApp::choices.startMenuFolder). Each showing starts
    // from it; Next and Browse write it. Also SetSharedRect, SetHeaderFont.
    void SetFolder(std::string* startMenuFolder) { m_startMenuFolder = startMenuFolder; }

protected:
    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    void OnBrowse();

    CAlphaImage m_image;
    fw::CStatic m_subtitle;
    fw::CStatic m_title;
    std::string m_folderText;
    std::string m_titleText;
    std::string m_subtitleText;
    std::string* m_startMenuFolder = nullptr;
};
