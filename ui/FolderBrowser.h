// The shell's folder browser as the folder pages use it, and how each page
// turns the chosen folder into its value.
#pragma once

#include <windows.h>
#include <shtypes.h>

#include <string>

// Shows the shell's folder browser owned by `owner`, rooted at `root` (none:
// the whole shell name space), with `title` above the tree. True, with the
// chosen folder's path, when the user chose a folder of the file system;
// false when the browser was cancelled or the choice has no path.
bool BrowseForFolder(HWND owner, const ITEMIDLIST* root, const std::string& title, std::string* path);

// The install folder for a chosen folder: the product gets a folder of its
// own inside it ("D:\Apps" and "C:\" give "D:\Apps\<product>" and
// "C:\<product>").
std::string DestinationFolderFor(const std::string& chosenPath, const std::string& productName);

// The Start Menu folder for a chosen folder below Programs: the chosen
// folder's own name and the product's ("...\Programs\Tools" gives
// "Tools\<product>"). False for a path without a backslash, which leaves the
// page's value as it was.
bool StartMenuFolderFor(const std::string& chosenPath, const std::string& productName, std::string* folder);
