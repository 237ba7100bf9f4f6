#include "ui/SelectFolder.h"

#include "framework/Text.h"
#include "res/resource.h"
#include "ui/FolderBrowser.h"

CSelectFolder::CSelectFolder() : CWizardPage(IDD_SELECT_FOLDER, PageKind::Interior) {}

CSelectFolder::~CSelectFolder() = default;

void CSelectFolder::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_DESTINATION_IMAGE, m_image);
    fw::DDX_Control(dx, IDC_FOLDER_SUBTITLE, m_subtitle);
    fw::DDX_Control(dx, IDC_DESTINATION_TITLE, m_title);
    fw::DDX_Text(dx, IDC_FOLDER_EDIT, m_folderText);
    fw::DDX_Text(dx, IDC_DESTINATION_TITLE, m_titleText);
    fw::DDX_Text(dx, IDC_FOLDER_SUBTITLE, m_subtitleText);
}

bool CSelectFolder::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    ApplyHeaderFont(IDC_DESTINATION_TITLE);
    m_titleText = fw::LoadText(IDS_DESTINATION_TITLE);
    m_subtitleText = ProductText(IDS_DESTINATION_SUBTITLE);
    m_image.Load(IDR_RAW_DESTINATION);
    m_folderText = m_destinationFolder != nullptr ? *m_destinationFolder : std::string();
    SetCaption();
    MoveToSharedRect(false);
    SetPageIcon();
    ComputeWhiteArea();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

void CSelectFolder::OnOK()
{
    UpdateData(fw::DataDirection::FromControls);
    // Taken as typed: the install plan reports a folder it cannot create.
    if (m_destinationFolder != nullptr)
        *m_destinationFolder = m_folderText;
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CSelectFolder::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CSelectFolder::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
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

bool CSelectFolder::IsOnWhite(int controlId) const
{
    return controlId == IDC_DESTINATION_TITLE || controlId == IDC_FOLDER_SUBTITLE;
}

void CSelectFolder::OnBrowse()
{
    std::string chosen;
    if (!BrowseForFolder(m_hWnd, nullptr, fw::LoadText(IDS_BROWSE_TITLE), &chosen))
        return;
    m_folderText = DestinationFolderFor(chosen, ProductName());
    // Kept at once: Back and Cancel leave a browsed folder in place.
    if (m_destinationFolder != nullptr)
        *m_destinationFolder = m_folderText;
    ::SetDlgItemTextA(m_hWnd, IDC_FOLDER_EDIT, m_folderText.c_str());
}
