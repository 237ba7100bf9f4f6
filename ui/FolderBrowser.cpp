#include "ui/FolderBrowser.h"

#include "framework/Handles.h"

#include <shlobj.h>

bool BrowseForFolder(HWND owner, const ITEMIDLIST* root, const std::string& title, std::string* path)
{
    char displayName[MAX_PATH] = {};
    BROWSEINFOA info{};
    info.hwndOwner = owner;
    info.pidlRoot = root;
    info.pszDisplayName = displayName;
    info.lpszTitle = title.c_str();
    info.ulFlags = 0;
    info.lpfn = nullptr;
    const fw::CItemIdList chosen(::SHBrowseForFolderA(&info));
    if (!chosen)
        return false;
    char chosenPath[MAX_PATH] = {};
    if (!::SHGetPathFromIDListA(chosen.get(), chosenPath))
        return false;
    *path = chosenPath;
    return true;
}

std::string DestinationFolderFor(const std::string& chosenPath, const std::string& productName)
{
    std::string folder = chosenPath;
    if (folder.empty() || folder.back() != '\\')
        folder += '\\';
    return folder + productName;
}

bool StartMenuFolderFor(const std::string& chosenPath, const std::string& productName, std::string* folder)
{
    const size_t slash = chosenPath.find_last_of('\\');
    if (slash == std::string::npos)
        return false;
    *folder = chosenPath.substr(slash + 1) + "\\" + productName;
    return true;
}
