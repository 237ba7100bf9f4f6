#include "ui/ReadyDlg.h"

#include "framework/Text.h"
#include "res/resource.h"

CReadyDlg::CReadyDlg() : CWizardPage(IDD_READY, PageKind::Interior) {}

CReadyDlg::~CReadyDlg() = default;

void CReadyDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_READY_TITLE, m_title);
    fw::DDX_Control(dx, IDC_SUMMARY, m_summary);
    // Shown only: the summary box is read-only, so nothing comes back.
    if (dx.ToControls()) {
        fw::DDX_Text(dx, IDC_READY_TITLE, m_titleText);
        fw::DDX_Text(dx, IDC_READY_SUBTITLE, m_subtitleText);
        fw::DDX_Text(dx, IDC_SUMMARY, m_summaryText);
    }
}

bool CReadyDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    m_titleText = fw::LoadText(IDS_READY_TITLE);
    ApplyHeaderFont(IDC_READY_TITLE);
    m_subtitleText = fw::LoadText(IDS_READY_SUBTITLE);
    FinishInitialisation();
    m_summary.ShowFromStart();
    // The focus starts on Install, so that Enter installs.
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(IDOK)), TRUE);
    return false;
}

void CReadyDlg::OnOK()
{
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CReadyDlg::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CReadyDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_BACK) {
        EndDialog(PAGE_BACK);
        result = 0;
        return true;
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CReadyDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_READY_TITLE || controlId == IDC_READY_SUBTITLE;
}
