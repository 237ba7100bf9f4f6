#include "ui/FinishDlg.h"

#include "framework/Text.h"
#include "product/ProductConfig.h"
#include "res/resource.h"

CFinishDlg::CFinishDlg() : CWizardPage(IDD_FINISH, PageKind::Full) {}

CFinishDlg::~CFinishDlg() = default;

void CFinishDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_SIDE_PICTURE, m_sidePicture);
    fw::DDX_Control(dx, IDC_TITLE, m_title);
    fw::DDX_Check(dx, IDC_QUICK_START, m_quickStart);
    fw::DDX_Check(dx, IDC_LAUNCH, m_launch);
    if (dx.ToControls()) {
        fw::DDX_Text(dx, IDC_BODY, m_bodyText);
        fw::DDX_Text(dx, IDC_TITLE, m_titleText);
    }
}

bool CFinishDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    BuildTitleFont(IDC_TITLE);

    const char* product = Product().productName;
    ::SetDlgItemTextA(m_hWnd, IDC_LAUNCH, ProductText(IDS_LAUNCH_PRODUCT).c_str());
    if (Failed()) {
        m_titleText = ProductText(IDS_FAILED_TITLE);
        m_bodyText = fw::FormatText(IDS_FAILED_TEXT, product, product);
        m_launch = 0;
        m_quickStart = 0;
        for (int id : {IDC_LAUNCH, IDC_QUICK_START}) {
            HWND box = GetDlgItem(id);
            ::ShowWindow(box, SW_HIDE);
            ::EnableWindow(box, FALSE);
        }
    } else {
        m_titleText = ProductText(IDS_FINISH_TITLE);
        m_bodyText = ProductText(IDS_FINISH_TEXT);
        ::SetDlgItemTextA(m_hWnd, IDC_QUICK_START, fw::LoadText(IDS_OPEN_QUICK_START).c_str());
        m_launch = BST_CHECKED;
        m_quickStart = BST_CHECKED;
    }

    SetCaption();
    MoveToSharedRect(false);
    ComputeWhiteArea();
    ResizeSidePicture();
    SetPageIcon();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

void CFinishDlg::OnOK()
{
    OnCancel();
}

void CFinishDlg::OnCancel()
{
    UpdateData(fw::DataDirection::FromControls);
    const bool failed = Failed();
    if (m_launchProduct != nullptr)
        *m_launchProduct = !failed && m_launch == BST_CHECKED ? 1 : 0;
    if (m_openQuickStart != nullptr)
        *m_openQuickStart = !failed && m_quickStart == BST_CHECKED ? 1 : 0;
    EndDialog(PAGE_CANCELLED);
}

bool CFinishDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_TITLE || controlId == IDC_BODY || controlId == IDC_LAUNCH ||
           controlId == IDC_QUICK_START;
}

bool CFinishDlg::IsRed(int controlId) const
{
    return controlId == IDC_BODY && Failed();
}
