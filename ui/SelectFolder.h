// The destination page: the folder the product is installed into, typed or
// chosen with the shell's folder browser, which then gets a folder of the
// product's own. Linked with SetFolder(&choices.destinationFolder).
#pragma once

#include "ui/FolderPage.h"

class CSelectFolder : public CFolderPage {
public:
    CSelectFolder();
    ~CSelectFolder() override;

protected:
    bool BrowseForValue(std::string* folder) override;
};
