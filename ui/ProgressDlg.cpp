#include "ui/ProgressDlg.h"

#include "framework/Text.h"
#include "res/resource.h"

namespace {

constexpr int BAR_LOWEST = 0;
constexpr int BAR_HIGHEST = 100;

}  // namespace

CProgressDlg::CProgressDlg() : CWizardPage(IDD_PROGRESS, PageKind::Interior) {}

CProgressDlg::~CProgressDlg() = default;

void CProgressDlg::SetProgressSink(ProgressSink* sink)
{
    m_sink = sink;
    if (m_sink != nullptr) {
        m_sink->links = ProgressLinks::To(m_values);
        m_sink->statusWindow = nullptr;
    }
}

void CProgressDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_PROGRESS_TITLE, m_title);
    fw::DDX_Control(dx, IDC_PROGRESS_BAR, m_bar);
    fw::DDX_Control(dx, IDC_TASK_LABEL, m_taskLabel);
    // The task label belongs to the worker: its text is never exchanged.
    if (dx.ToControls())
        fw::DDX_Text(dx, IDC_PROGRESS_TITLE, m_titleText);
}

bool CProgressDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    m_finished = false;
    m_bar.SetRange(BAR_LOWEST, BAR_HIGHEST);
    m_bar.SetPos(BAR_LOWEST);

    m_values.target = 1;
    m_values.displayed = 1;
    m_values.direction = PROGRESS_FORWARD;

    ApplyHeaderFont(IDC_PROGRESS_TITLE);
    m_titleText = TitleText();
    m_timer = ::SetTimer(m_hWnd, TIMER_ID, TIMER_PERIOD_MS, nullptr);

    // The label must be in place before the worker's first report.
    if (m_sink != nullptr)
        m_sink->statusWindow = m_taskLabel.GetSafeHwnd();
    if (!m_startWorker || m_startWorker(m_hWnd) != 0) {
        // The application has told the user why.
        m_finished = true;
        EndDialog(PAGE_CANCELLED);
    }

    ArrangeWindow();
    SetPageIcon();
    ComputeWhiteArea();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

std::string CProgressDlg::TitleText() const
{
    return fw::LoadText(IDS_PROGRESS_TITLE);
}

void CProgressDlg::ArrangeWindow()
{
    MoveToSharedRect(false);
    SetCaption();
}

void CProgressDlg::OnOK()
{
    // Enter reaches the hidden Next too; before the worker's final word it
    // would leave the worker running behind the finish page.
    if (m_values.finished.load() != 0)
        Finish();
}

void CProgressDlg::OnCancel() {}

void CProgressDlg::Finish()
{
    if (m_finished)
        return;
    m_finished = true;
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CProgressDlg::OnTimer()
{
    if (m_finished)
        return;
    const ProgressStep step = StepProgress(ProgressLinks::To(m_values));
    if (step.finished) {
        Finish();
        return;
    }
    m_bar.SetPos(step.position);
}

bool CProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_TIMER:
        OnTimer();
        // The default handling sees every tick as well.
        return false;
    case WM_DESTROY:
        result = Default(message, wParam, lParam);
        ::KillTimer(m_hWnd, TIMER_ID);
        m_timer = 0;
        return true;
    default:
        return CWizardPage::OnMessage(message, wParam, lParam, result);
    }
}

bool CProgressDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_PROGRESS_TITLE;
}
