#include "ui/FolderPage.h"

#include "framework/Text.h"
#include "res/resource.h"

CFolderPage::CFolderPage(const Layout& layout)
    : CWizardPage(layout.templateId, PageKind::Interior), m_layout(layout)
{
}

CFolderPage::~CFolderPage() = default;

void CFolderPage::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, m_layout.imageId, m_image);
    fw::DDX_Control(dx, IDC_FOLDER_SUBTITLE, m_subtitle);
    fw::DDX_Control(dx, m_layout.titleId, m_title);
    fw::DDX_Text(dx, IDC_FOLDER_EDIT, m_folderText);
    fw::DDX_Text(dx, m_layout.titleId, m_titleText);
    fw::DDX_Text(dx, IDC_FOLDER_SUBTITLE, m_subtitleText);
}

bool CFolderPage::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    ApplyHeaderFont(m_layout.titleId);
    m_titleText = fw::LoadText(m_layout.titleText);
    m_subtitleText = ProductText(m_layout.subtitleText);
    m_image.Load(m_layout.imageResource);
    m_folderText = m_folder != nullptr ? *m_folder : std::string();
    FinishInitialisation();
    return true;
}

void CFolderPage::OnOK()
{
    UpdateData(fw::DataDirection::FromControls);
    // Taken as typed: the install plan reports a folder it cannot create.
    if (m_folder != nullptr)
        *m_folder = m_folderText;
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CFolderPage::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CFolderPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
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

bool CFolderPage::IsOnWhite(int controlId) const
{
    return controlId == m_layout.titleId || controlId == IDC_FOLDER_SUBTITLE;
}

void CFolderPage::OnBrowse()
{
    if (!BrowseForValue(&m_folderText))
        return;
    // Kept at once: Back and Cancel leave a browsed folder in place.
    if (m_folder != nullptr)
        *m_folder = m_folderText;
    ::SetDlgItemTextA(m_hWnd, IDC_FOLDER_EDIT, m_folderText.c_str());
}
