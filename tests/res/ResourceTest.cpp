// One setup's resources as its program loads them. Built twice: against the
// server's script and (RES_TEST_CLIENT) against the client's.
#include "framework/Handles.h"
#include "framework/Text.h"
#include "res/resource.h"
#include "tests/res/DialogTemplate.h"
#include "tests/support/TestSupport.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace testsupport;

namespace {

#ifdef RES_TEST_CLIENT
const bool CLIENT = true;
const char BUILD[] = "client";
const char PRODUCT[] = "Velloran Client";
const WORD VERSION[4] = {6, 2, 2, 2511};
#else
const bool CLIENT = false;
const char BUILD[] = "server";
const char PRODUCT[] = "Velloran";
const WORD VERSION[4] = {6, 1, 1, 2460};
#endif

const UINT PAGES[] = {IDD_WELCOME,  IDD_LICENSE,  IDD_SELECT_FOLDER, IDD_PROGRAM_MENU_FOLDER, IDD_ADDITIONAL_TASKS,
                      IDD_READY,    IDD_PROGRESS, IDD_FINISH,        IDD_FINISH_RESTART};

std::map<UINT, std::string> ExpectedStrings()
{
    std::map<UINT, std::string> texts = {
        {2, "The Setup Wizard will allow you to install %s %s on your computer. Click Next to continue or Cancel to exit the setup."},
        {3, "Are you sure you wish to cancel %s installation?"},
        {4, "License Agreement"},
        {5, "Please read the following important information before continuing!"},
        {6, "Select Destination Location"},
        {7, "Where should %s be installed?"},
        {8, "Select Start Menu Folder"},
        {9, "Where should Setup place the program shortcuts?"},
        {10, "Select Additional Tasks"},
        {11, "Which additional tasks should be performed?"},
        {12, "Ready to Install"},
        {13, "Now Setup is ready to begin installation on your computer"},
        {14, "Destination location:"},
        {15, "Start Menu folder:"},
        {16, CLIENT ? "Additional Tasks:" : "Additional Task:"},
        {17, "Additionals Icons:"},
        {18, "Create a desktop icon"},
        {19, "Create a Quick Launch icon"},
        {20, "You have to be logged in as an administrator while installing this program!"},
        {21, "Setup Wizard initialization error"},
        {22, "Error while unpacking modules"},
        {23, "Installation package is damaged! Please download the latest version of %s from our web site and try again!"},
        {24, "Not enough system resourses to complete the installation"},
        {25, "There is an error occurred while initializing the setup modules "},
        {26, "To install %s, license must be accepted!"},
        {27, CLIENT ? "Copying files..." : "Copying files is in progress..."},
        {28, "Installing kernel mode drivers..."},
        {29, "Installing main program module..."},
        {30, "Starting drivers..."},
        {31, "Creating start menu items..."},
        {32, "Finishing installation..."},
        {33, "Install"},
        {34, "Exception during Setup initialization!\nException code = 0x%.8x\nException address = 0x%.8x"},
        {35, "Exception during installation!\nException code = 0x%.8x\nException address = 0x%.8x"},
        {36, "Please wait while Setup Wizard completes initialization!"},
        {37, "System Error = 0x%.8x"},
        {38, "Completing %s Setup Wizard."},
        {39, "Setup has finished the installation of %s on your computer. Click Finish to exit."},
        {40, "To complete the installation of %s, the Setup must restart your computer. Would you like to restart now?"},
        {41, "Launch %s now."},
        {42, "To complete the installation %s, you must restart your computer."},
        {43, "You are trying to install older version of the software on your computer. Before installing version %s you need to uninstall %s first.\n"},
        {44, "Error during installation.\nError code = 0x%.8x\nError arg0 = 0x%.8x"},
        {45, "Stopping services..."},
        {46, "Removing installed services..."},
        {47, "Clearing registry entries..."},
        {48, "Deleting created files..."},
        {49, "Restoring overwritten files..."},
        {50, "Deleting directory..."},
        {51, "Error occured while installing %s on your computer. Setup has restored your system to the original state. Please download the latest version of %s from our web site and try again!"},
        {52, "Error occured while installing %s on your computer. Setup has restored your system to the original state, but some files were in use by operation system. You need to restart your computer to complete the procedure. After this please download the latest version of %s from our web site and try the installation again!"},
        {53, "Setup Wizard did not complete the installation of %s on your computer."},
        {54, "Select folder in the list below, then click OK"},
        {55, "Setup - %s"},
        {57, "To resolve installation issue please send installation log file [%s] to our support team."},
        {58, CLIENT ? "Open \"Quick Start\" page." : "Open \"Quick start\" page."},
        {61, "Additional Firewall setup:"},
        {62, "Create Windows Firewall rules"},
        {63, "Welcome to %s %s Setup Wizard"},
        {64, CLIENT ? "Error occured while creating firewall rules.\nError code = 0x%.8x\nError arg0 = 0x%.8x"
                    : "Error during creating firewall rules.\nError code = 0x%.8x\nError arg0 = 0x%.8x"},
    };
    return texts;
}

// One control of a template as the pages rely on it; style 0 is not checked.
struct ExpectedItem {
    UINT page;
    int id;
    const char* className;
    const char* text;  // nullptr: not checked
    int x, y, cx, cy;
    DWORD style;
};

std::vector<ExpectedItem> ExpectedItems()
{
    const int taskLabelX = CLIENT ? 27 : 29;
    const int summaryY = CLIENT ? 67 : 61;
    const int summaryCy = CLIENT ? 99 : 105;
    const char* intro = CLIENT ? "Select additional tasks you would like Setup to perform while installing, then click Next"
                               : "Select the additional task you would like Setup to perform while installing, then click Next";
    std::vector<ExpectedItem> items = {
        {IDD_WELCOME, IDC_SIDE_PICTURE, "Static", "#135", 0, 0, 137, 172, 0x5000000E},
        {IDD_WELCOME, IDC_TITLE, "Static", nullptr, 140, 7, 172, 60, 0},
        {IDD_WELCOME, IDC_BODY, "Static", nullptr, 140, 70, 172, 96, 0},
        {IDD_WELCOME, IDC_SEPARATOR, "Static", "", 0, 172, 319, 1, 0x50000010},
        {IDD_LICENSE, IDC_LICENSE_TEXT, "RICHEDIT", nullptr, 27, 46, 266, 91, 0x50A110C4},
        {IDD_LICENSE, IDC_ACCEPT, "Button", "I accept the agreement", 27, 145, 266, 10, 0x50000009},
        {IDD_LICENSE, IDC_DECLINE, "Button", "I do not accept the agreement", 27, 157, 266, 10, 0x50000009},
        {IDD_LICENSE, IDC_LICENSE_TITLE, "Static", nullptr, 14, 5, 143, 8, 0},
        {IDD_SELECT_FOLDER, IDC_DESTINATION_IMAGE, "Static", nullptr, 24, 46, 19, 19, 0},
        {IDD_SELECT_FOLDER, IDC_FOLDER_EDIT, "Edit", nullptr, 27, 84, 211, 14, 0x50810080},
        {IDD_SELECT_FOLDER, IDC_BROWSE, "Button", "Browse", 243, 84, 50, 14, 0},
        {IDD_SELECT_FOLDER, -1, "Static", "Setup will install program into the following folder.", 57, 54, 256, 8, 0},
        {IDD_PROGRAM_MENU_FOLDER, -1, "Static", "Setup will create the program shortcuts in the following Start Menu folder",
         57, 54, 256, 8, 0},
        {IDD_PROGRAM_MENU_FOLDER, -1, "Static",
         "To continue, please, click Next. If you wish to select a different folder, click Browse", 27, 68, 266, 16, 0},
        {IDD_PROGRAM_MENU_FOLDER, IDC_START_MENU_IMAGE, "Static", nullptr, 27, 46, 19, 19, 0},
        {IDD_PROGRAM_MENU_FOLDER, IDC_START_MENU_TITLE, "Static", nullptr, 14, 5, 143, 8, 0},
        {IDD_PROGRAM_MENU_FOLDER, IDC_FOLDER_EDIT, "Edit", nullptr, 27, 84, 211, 14, 0x50810080},
        {IDD_ADDITIONAL_TASKS, -1, "Static", intro, 27, 44, 266, 16, 0},
        {IDD_ADDITIONAL_TASKS, IDC_FIREWALL_GROUP, "Static", "Firewall settings", 27, 64, 200, 8, 0},
        {IDD_ADDITIONAL_TASKS, IDC_FIREWALL, "Button", "Create Windows Firewall rules", 35, 78, 200, 10, 0x50010003},
        {IDD_ADDITIONAL_TASKS, IDC_ICONS_GROUP, "Static", "Additional icon", 27, 97, 200, 8, 0},
        {IDD_ADDITIONAL_TASKS, IDC_DESKTOP_ICON, "Button", "Create a desktop icon", 35, 111, 200, 10, 0x50010003},
        {IDD_ADDITIONAL_TASKS, IDC_QUICK_LAUNCH_ICON, "Button", "Create a Quick Launch icon", 35, 126, 200, 10, 0x50010003},
        {IDD_READY, IDOK, "Button", "Install", 190, 179, 50, 14, 0},
        {IDD_READY, IDC_SUMMARY, "Edit", nullptr, 27, summaryY, 266, summaryCy, 0x50B118C4},
        {IDD_READY, IDC_READY_SUBTITLE, "Static", nullptr, 27, 15, 250, 14, 0},
        {IDD_PROGRESS, IDC_TASK_LABEL, "Static", "Task:", taskLabelX, 44, 147, 8, 0},
        {IDD_PROGRESS, IDC_PROGRESS_BAR, "msctls_progress32", nullptr, 27, 62, 266, 11, 0x50800001},
        {IDD_PROGRESS, IDOK, "Button", "Next>", 190, 179, 50, 14, 0x48010001},
        {IDD_PROGRESS, IDCANCEL, "Button", "Cancel", 263, 179, 50, 14, 0x58010000},
        {IDD_FINISH, IDC_TITLE, "Static", nullptr, 138, 7, 172, 60, 0},
        {IDD_FINISH, IDC_BODY, "Static", nullptr, 138, 70, 172, 44, 0},
        {IDD_FINISH, IDC_LAUNCH, "Button", "", 138, 115, 171, 19, 0x50010003},
        {IDD_FINISH, IDC_QUICK_START, "Button", "", 138, 139, 171, 8, 0x50010003},
        {IDD_FINISH, IDCANCEL, "Button", "Finish", 263, 179, 50, 14, 0},
        {IDD_FINISH_RESTART, IDC_SIDE_PICTURE, "Static", "#135", 0, 0, 107, 172, 0x5000000E},
        {IDD_FINISH_RESTART, IDC_TITLE, "Static", nullptr, 140, 7, 170, 60, 0},
        {IDD_FINISH_RESTART, IDC_BODY, "Static", nullptr, 140, 73, 170, 55, 0},
        {IDD_FINISH_RESTART, IDC_RESTART_NOW, "Button", "Yes, restart  the computer now.", 140, 133, 170, 10, 0x50000009},
        {IDD_FINISH_RESTART, IDC_RESTART_LATER, "Button", "No, I will restart the computer later.", 140, 148, 170, 10, 0x50000009},
        {IDD_FINISH_RESTART, IDCANCEL, "Button", "Finish", 263, 179, 50, 14, 0},
    };
    for (UINT page : {IDD_LICENSE, IDD_SELECT_FOLDER, IDD_PROGRAM_MENU_FOLDER, IDD_ADDITIONAL_TASKS, IDD_READY, IDD_PROGRESS}) {
        items.push_back({page, IDC_SEPARATOR, "Static", "", 0, 34, 319, 1, 0x50000010});
        items.push_back({page, -1, "Static", "#139", 283, 1, 34, 30, 0x5000000E});
    }
    for (UINT page : {IDD_WELCOME, IDD_LICENSE, IDD_SELECT_FOLDER, IDD_PROGRAM_MENU_FOLDER, IDD_ADDITIONAL_TASKS}) {
        items.push_back({page, IDC_BACK, "Button", "<Back", 140, 179, 50, 14, 0});
        items.push_back({page, IDOK, "Button", "Next>", 190, 179, 50, 14, 0x50010001});
        items.push_back({page, IDCANCEL, "Button", "Cancel", 263, 179, 50, 14, 0});
    }
    return items;
}

const TemplateItem* FindItem(const DialogTemplate& dialog, const ExpectedItem& expected)
{
    if (expected.id != -1)
        return dialog.Item(expected.id);
    for (const TemplateItem& item : dialog.items) {
        if (item.id == -1 && expected.text != nullptr && item.text == expected.text)
            return &item;
    }
    return nullptr;
}

INT_PTR CALLBACK QuietDialog(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG;
}

// Writes what the screen shows of `window` as a 24-bit BMP file.
void SaveScreenshot(HWND window, const std::string& path)
{
    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    fw::CMemoryDc memory(CreateCompatibleDC(screen));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    fw::CGdiObject bitmap(CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory.get(), old);
    ReleaseDC(nullptr, screen);
    GdiFlush();
    const size_t imageSize = static_cast<size_t>((width * 3 + 3) & ~3) * height;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + imageSize);
    std::string bytes(reinterpret_cast<const char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(bits), imageSize);
    WriteFileBytes(path, bytes);
}

struct ControlClasses {
    ControlClasses()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        LoadLibraryA("Riched32.dll");
    }
} g_controlClasses;

}  // namespace

TEST(Resources, StringTableHoldsEveryMessageByteForByte)
{
    for (const auto& entry : ExpectedStrings())
        EXPECT_EQ(fw::LoadText(entry.first), entry.second) << "string " << entry.first;
}

TEST(Resources, EveryPageTemplateHasTheFrameAndTheControlsThePagesUse)
{
    for (UINT page : PAGES) {
        SCOPED_TRACE("template " + std::to_string(page));
        DialogTemplate dialog;
        ASSERT_TRUE(ReadDialogTemplate(page, &dialog));
        EXPECT_EQ(dialog.cx, 320);
        EXPECT_EQ(dialog.cy, 200);
        EXPECT_EQ(dialog.font, "MS Shell Dlg");
        EXPECT_EQ(dialog.pointSize, 8);
        if (page == IDD_WELCOME) {
            EXPECT_TRUE(dialog.extended);
            EXPECT_EQ(dialog.style, 0x90C800C0u);
            EXPECT_EQ(dialog.exStyle, 0x00040000u);
        } else {
            EXPECT_EQ(dialog.style, 0x80C800C0u);
        }
    }
    for (const ExpectedItem& expected : ExpectedItems()) {
        SCOPED_TRACE("template " + std::to_string(expected.page) + " control " + std::to_string(expected.id) +
                     (expected.text ? std::string(" ") + expected.text : std::string()));
        DialogTemplate dialog;
        ASSERT_TRUE(ReadDialogTemplate(expected.page, &dialog));
        const TemplateItem* item = FindItem(dialog, expected);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(_stricmp(item->className.c_str(), expected.className), 0) << item->className;
        if (expected.text != nullptr) {
            EXPECT_EQ(item->text, expected.text);
        }
        EXPECT_EQ(item->x, expected.x);
        EXPECT_EQ(item->y, expected.y);
        EXPECT_EQ(item->cx, expected.cx);
        EXPECT_EQ(item->cy, expected.cy);
        if (expected.style != 0) {
            EXPECT_EQ(item->style, expected.style);
        }
    }
    // The pages without a way back or forward.
    DialogTemplate progress;
    ASSERT_TRUE(ReadDialogTemplate(IDD_PROGRESS, &progress));
    EXPECT_EQ(progress.Item(IDC_BACK), nullptr);
    for (UINT page : {IDD_FINISH, IDD_FINISH_RESTART}) {
        DialogTemplate finish;
        ASSERT_TRUE(ReadDialogTemplate(page, &finish));
        EXPECT_EQ(finish.Item(IDC_BACK), nullptr);
        EXPECT_EQ(finish.Item(IDOK), nullptr);
    }
}

TEST(Resources, EveryPageOpensWithItsPicturesAndButtons)
{
    const std::string shots = BuildDir() + "\\screenshots";
    CreateDirectoryA(shots.c_str(), nullptr);
    for (UINT page : PAGES) {
        SCOPED_TRACE("template " + std::to_string(page));
        HWND window = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(page), nullptr, &QuietDialog, 0);
        ASSERT_NE(window, nullptr) << GetLastError();
        EXPECT_EQ(IsWindowVisible(window) != FALSE, page == IDD_WELCOME);

        // Each bitmap static shows its bitmap: the side picture or the logo.
        int bitmaps = 0;
        for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            char className[32] = {};
            GetClassNameA(child, className, sizeof className);
            if (_stricmp(className, "Static") != 0 || (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP)
                continue;
            const int id = GetDlgCtrlID(child);
            if (id == IDC_DESTINATION_IMAGE || id == IDC_START_MENU_IMAGE)
                continue;  // painted by the image control
            HBITMAP shown = reinterpret_cast<HBITMAP>(SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
            EXPECT_NE(shown, nullptr) << "static " << id;
            BITMAP info{};
            GetObjectA(shown, sizeof info, &info);
            EXPECT_EQ(info.bmWidth, id == IDC_SIDE_PICTURE ? 205 : 51);
            ++bitmaps;
        }
        EXPECT_EQ(bitmaps, 1);

        if (page == IDD_PROGRESS) {
            EXPECT_FALSE(GetWindowLongA(GetDlgItem(window, IDOK), GWL_STYLE) & WS_VISIBLE);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDOK)));
            EXPECT_TRUE(GetWindowLongA(GetDlgItem(window, IDCANCEL), GWL_STYLE) & WS_VISIBLE);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDCANCEL)));
        }

        // A picture of the page, for a look by eye; texts as a page would set them.
        const std::map<UINT, std::string> texts = ExpectedStrings();
        const std::pair<int, UINT> labels[] = {
            {IDC_LICENSE_TITLE, IDS_LICENSE_TITLE},       {IDC_LICENSE_SUBTITLE, IDS_LICENSE_SUBTITLE},
            {IDC_DESTINATION_TITLE, IDS_DESTINATION_TITLE}, {IDC_START_MENU_TITLE, IDS_START_MENU_TITLE},
            {IDC_TASKS_TITLE, IDS_TASKS_TITLE},           {IDC_TASKS_SUBTITLE, IDS_TASKS_SUBTITLE},
            {IDC_READY_TITLE, IDS_READY_TITLE},           {IDC_READY_SUBTITLE, IDS_READY_SUBTITLE},
            {IDC_PROGRESS_TITLE, IDS_PROGRESS_TITLE},     {IDC_FOLDER_SUBTITLE, IDS_START_MENU_SUBTITLE},
            {IDC_TITLE, IDS_FINISH_TITLE},                {IDC_BODY, IDS_FINISH_TEXT},
            {IDC_LAUNCH, IDS_LAUNCH_PRODUCT},             {IDC_QUICK_START, IDS_OPEN_QUICK_START},
        };
        for (const auto& label : labels)
            SetDlgItemTextA(window, label.first, fw::Format(texts.at(label.second).c_str(), PRODUCT).c_str());
        SetWindowTextA(window, fw::Format(texts.at(IDS_CAPTION).c_str(), PRODUCT).c_str());
        ShowWindow(window, SW_SHOW);
        UpdateWindow(window);
        SaveScreenshot(window, shots + "\\" + BUILD + "-" + std::to_string(page) + ".bmp");
        DestroyWindow(window);
    }
}

TEST(Resources, PicturesIconManifestAndVersion)
{
    HMODULE module = GetModuleHandleA(nullptr);
    const struct {
        UINT id;
        LONG width, height;
    } bitmaps[] = {{IDB_SIDE_PICTURE, 205, 280}, {IDB_HEADER_LOGO, 51, 48}};
    for (const auto& expected : bitmaps) {
        fw::CGdiObject bitmap(LoadImageA(module, MAKEINTRESOURCEA(expected.id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
        ASSERT_TRUE(bitmap) << expected.id;
        DIBSECTION section{};
        ASSERT_EQ(GetObjectA(bitmap.get(), sizeof section, &section), static_cast<int>(sizeof section));
        EXPECT_EQ(section.dsBmih.biWidth, expected.width);
        EXPECT_EQ(std::abs(section.dsBmih.biHeight), expected.height);
        EXPECT_EQ(section.dsBmih.biBitCount, 8);
    }

    for (UINT id : {IDR_RAW_DESTINATION, IDR_RAW_START_MENU}) {
        const std::string name = "#" + std::to_string(id);
        HRSRC raw = FindResourceA(module, name.c_str(), "RAW");
        ASSERT_NE(raw, nullptr) << id;
        EXPECT_EQ(SizeofResource(module, raw), 4140u);
    }

    // The icon group: 16, 32 and 48 pixels.
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(IDI_SETUP), MAKEINTRESOURCEA(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const BYTE* directory = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    ASSERT_EQ(directory[4], 3);
    const int sizes[] = {16, 32, 48};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(directory[6 + 14 * i], sizes[i]);
        EXPECT_EQ(directory[6 + 14 * i + 6], 32);  // bits per pixel
    }
    HICON icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(IDI_SETUP), IMAGE_ICON, 48, 48, 0));
    EXPECT_NE(icon, nullptr);
    DestroyIcon(icon);

    HRSRC manifestResource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(manifestResource, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, manifestResource))),
                               SizeofResource(module, manifestResource));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    // Without compatibility entries Windows 8 and later report version 6.2.
    EXPECT_EQ(manifest.find("supportedOS"), std::string::npos);

    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, &block[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), VERSION[0]);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), VERSION[1]);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), VERSION[2]);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), VERSION[3]);
    char* productName = nullptr;
    UINT nameSize = 0;
    ASSERT_TRUE(VerQueryValueA(&block[0], "\\StringFileInfo\\040904b0\\ProductName",
                               reinterpret_cast<void**>(&productName), &nameSize));
    EXPECT_STREQ(productName, PRODUCT);
}
