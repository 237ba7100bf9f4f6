// The Start Menu page: the name of the program group under the Start Menu's
// Programs folder, typed or chosen with the shell's folder browser. Linked
// with SetFolder(&choices.startMenuFolder).
#pragma once

#include "ui/FolderPage.h"

class CProgramMenuFolderDlg : public CFolderPage {
public:
    CProgramMenuFolderDlg();
    ~CProgramMenuFolderDlg() override;

protected:
    bool BrowseForValue(std::string* folder) override;
};
