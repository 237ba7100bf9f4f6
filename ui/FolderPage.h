// What the destination and Start Menu pages share: a folder in an edit box,
// Browse with the shell's folder browser, and the application's folder
// string that Next and Browse write. The two pages differ in their template,
// texts and picture, and in how Browse turns the chosen folder into a value.
#pragma once

#include "ui/AlphaImage.h"
#include "ui/WizardPage.h"

#include <string>

class CFolderPage : public CWizardPage {
public:
    ~CFolderPage() override;

    // Link given by the application before the first showing: the folder
    // string this page edits. Each showing starts from it; Next and Browse
    // write it, Back and Cancel leave it. Also SetSharedRect, SetHeaderFont.
    void SetFolder(std::string* folder) { m_folder = folder; }

    // What tells the two pages apart besides Browse.
    struct Layout {
        UINT templateId;
        int titleId;
        int imageId;
        UINT imageResource;
        UINT titleText;
        UINT subtitleText;  // "%s" takes the product name
    };

protected:
    explicit CFolderPage(const Layout& layout);

    // Shows the folder browser and makes the page's value of the chosen
    // folder; false, with `folder` untouched, when nothing was chosen.
    virtual bool BrowseForValue(std::string* folder) = 0;

    void DoDataExchange(fw::CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool IsOnWhite(int controlId) const override;

private:
    void OnBrowse();

    Layout m_layout;
    CAlphaImage m_image;
    fw::CStatic m_subtitle;
    fw::CStatic m_title;
    std::string m_folderText;
    std::string m_titleText;
    std::string m_subtitleText;
    std::string* m_folder = nullptr;
};
