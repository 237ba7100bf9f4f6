#include "ui/ProgramMenuFolderDlg.h"

#include "framework/Handles.h"
#include "framework/Text.h"
#include "res/resource.h"
#include "ui/FolderBrowser.h"

#include <shlobj.h>

CProgramMenuFolderDlg::CProgramMenuFolderDlg() : CWizardPage(IDD_PROGRAM_MENU_FOLDER, PageKind::Interior) {}

CProgramMenuFolderDlg::~CProgramMenuFolderDlg() = default;

void CProgramMenuFolderDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_START_MENU_IMAGE, m_image);
    fw::DDX_Control(dx, IDC_FOLDER_SUBTITLE, m_subtitle);
    fw::DDX_Control(dx, IDC_START_MENU_TITLE, m_title);
    fw::DDX_Text(dx, IDC_FOLDER_EDIT, m_folderText);
    fw::DDX_Text(dx, IDC_START_MENU_TITLE, m_titleText);
    fw::DDX_Text(dx, IDC_FOLDER_SUBTITLE, m_subtitleText);
}

bool CProgramMenuFolderDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    ApplyHeaderFont(IDC_START_MENU_TITLE);
    m_titleText = fw::LoadText(IDS_START_MENU_TITLE);
    m_subtitleText = fw::LoadText(IDS_START_MENU_SUBTITLE);
    m_image.Load(IDR_RAW_START_MENU);
    m_folderText = m_startMenuFolder != nullptr ? *m_startMenuFolder : std::string();
    MoveToSharedRect(false);
    UpdateData(fw::DataDirection::ToControls);
    SetCaption();
    SetPageIcon();
    ComputeWhiteArea();
    return true;
}

void CProgramMenuFolderDlg::OnOK()
{
    UpdateData(fw::DataDirection::FromControls);
    if (m_startMenuFolder != nullptr)
        *m_startMenuFolder = m_folderText;
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CProgramMenuFolderDlg::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CProgramMenuFolderDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
        case IDC_BROWSE:
            OnBrowse();
            result = 0;
            return true;
        case IDC_BACK:
            EndDialog(PAGE_BACK);
            result = 0;
            return true;
        default:
            break;
        }
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CProgramMenuFolderDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_FOLDER_SUBTITLE || controlId == IDC_START_MENU_TITLE;
}

void CProgramMenuFolderDlg::OnBrowse()
{
    // Rooted at the common Programs folder when the shell can name it; the
    // whole name space otherwise.
    fw::CComPtr<IMalloc> allocator;
    fw::CItemIdList root;
    if (SUCCEEDED(::SHGetMalloc(allocator.put())))
        ::SHGetFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, root.put());

    std::string chosen;
    if (!BrowseForFolder(m_hWnd, root.get(), fw::LoadText(IDS_BROWSE_TITLE), &chosen))
        return;
    if (!StartMenuFolderFor(chosen, ProductName(), &m_folderText))
        return;
    if (m_startMenuFolder != nullptr)
        *m_startMenuFolder = m_folderText;
    ::SetDlgItemTextA(m_hWnd, IDC_FOLDER_EDIT, m_folderText.c_str());
}
