#include "ui/FinishRestDlg.h"

#include "framework/Text.h"
#include "product/ProductConfig.h"
#include "res/resource.h"

CFinishRestDlg::CFinishRestDlg() : CWizardPage(IDD_FINISH_RESTART, PageKind::Full) {}

CFinishRestDlg::~CFinishRestDlg() = default;

void CFinishRestDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_SIDE_PICTURE, m_sidePicture);
    fw::DDX_Control(dx, IDC_TITLE, m_title);
    if (dx.ToControls()) {
        fw::DDX_Text(dx, IDC_BODY, m_bodyText);
        fw::DDX_Text(dx, IDC_TITLE, m_titleText);
    }
}

bool CFinishRestDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    BuildTitleFont(IDC_TITLE);

    const bool restartNow = m_restartFlag != nullptr && *m_restartFlag != 0;
    ::CheckRadioButton(m_hWnd, IDC_RESTART_NOW, IDC_RESTART_LATER, restartNow ? IDC_RESTART_NOW : IDC_RESTART_LATER);
    GroupRadioButtons(IDC_RESTART_NOW, IDC_RESTART_LATER);

    const char* product = Product().productName;
    m_titleText = ProductText(Failed() ? IDS_FAILED_TITLE : IDS_FINISH_TITLE);
    m_bodyText = Failed() ? fw::FormatText(IDS_FAILED_RESTART_TEXT, product, product)
                          : ProductText(IDS_RESTART_QUESTION);

    SetCaption();
    MoveToSharedRect(false);
    ComputeWhiteArea();
    ResizeSidePicture();
    SetPageIcon();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

void CFinishRestDlg::OnOK()
{
    EndDialog(PAGE_CANCELLED);
}

bool CFinishRestDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && m_restartFlag != nullptr) {
        if (LOWORD(wParam) == IDC_RESTART_NOW || LOWORD(wParam) == IDC_RESTART_LATER) {
            *m_restartFlag = LOWORD(wParam) == IDC_RESTART_NOW ? 1 : 0;
            result = 0;
            return true;
        }
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CFinishRestDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_TITLE || controlId == IDC_BODY || controlId == IDC_RESTART_NOW ||
           controlId == IDC_RESTART_LATER;
}

bool CFinishRestDlg::IsRed(int controlId) const
{
    return controlId == IDC_TITLE && Failed();
}
