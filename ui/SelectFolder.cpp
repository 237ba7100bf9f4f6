#include "ui/SelectFolder.h"

#include "framework/Text.h"
#include "res/resource.h"
#include "ui/FolderBrowser.h"

namespace {

const CFolderPage::Layout DESTINATION_LAYOUT = {
    IDD_SELECT_FOLDER, IDC_DESTINATION_TITLE,  IDC_DESTINATION_IMAGE,
    IDR_RAW_DESTINATION, IDS_DESTINATION_TITLE, IDS_DESTINATION_SUBTITLE,
};

}  // namespace

CSelectFolder::CSelectFolder() : CFolderPage(DESTINATION_LAYOUT) {}

CSelectFolder::~CSelectFolder() = default;

bool CSelectFolder::BrowseForValue(std::string* folder)
{
    // The whole shell name space: the product may go anywhere.
    std::string chosen;
    if (!BrowseForFolder(m_hWnd, nullptr, fw::LoadText(IDS_BROWSE_TITLE), &chosen))
        return false;
    *folder = DestinationFolderFor(chosen, ProductName());
    return true;
}
