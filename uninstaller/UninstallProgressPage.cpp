#include "uninstaller/UninstallProgressPage.h"

#include "framework/Text.h"
#include "res/resource.h"
#include "uninstaller/UninstallApp.h"

namespace {

constexpr int BAR_LOWEST = 0;
constexpr int BAR_HIGHEST = 100;

// The title's place in dialog units: from its own left edge to the header
// logo (at 283), down to just above the separator (at 34).
constexpr RECT TITLE_AREA = {14, 5, 280, 32};

}  // namespace

CUninstallProgressPage::CUninstallProgressPage() : CWizardPage(IDD_PROGRESS, PageKind::Interior) {}

CUninstallProgressPage::~CUninstallProgressPage() = default;

void CUninstallProgressPage::SetProgressSink(ProgressSink* sink)
{
    m_sink = sink;
    if (m_sink != nullptr) {
        m_sink->links = ProgressLinks::To(m_values);
        m_sink->statusWindow = nullptr;
    }
}

void CUninstallProgressPage::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_PROGRESS_TITLE, m_title);
    fw::DDX_Control(dx, IDC_PROGRESS_BAR, m_bar);
    fw::DDX_Control(dx, IDC_TASK_LABEL, m_taskLabel);
    // The stage label belongs to the worker: its text is never exchanged.
    if (dx.ToControls())
        fw::DDX_Text(dx, IDC_PROGRESS_TITLE, m_titleText);
}

bool CUninstallProgressPage::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    m_finished = false;
    m_bar.SetRange(BAR_LOWEST, BAR_HIGHEST);
    m_bar.SetPos(BAR_LOWEST);

    m_values.target = 1;
    m_values.displayed = 1;
    m_values.direction = PROGRESS_FORWARD;

    ApplyHeaderFont(IDC_PROGRESS_TITLE);
    WidenTitle();
    m_titleText = ProductText(IDS_UNINSTALL_PROGRESS_TITLE);
    ::SetTimer(m_hWnd, TIMER_ID, TIMER_PERIOD_MS, nullptr);

    // The label must be in place before the worker's first report.
    if (m_sink != nullptr)
        m_sink->statusWindow = m_taskLabel.GetSafeHwnd();
    if (m_app == nullptr || m_app->StartUninstallWorker(m_hWnd) != 0) {
        // The application has told the user why.
        m_finished = true;
        EndDialog(PAGE_CANCELLED);
    }

    CenterOnWorkArea();
    SetWindowText(ProductText(IDS_UNINSTALL_CAPTION));
    SetPageIcon();
    ComputeWhiteArea();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

void CUninstallProgressPage::WidenTitle() const
{
    RECT area = TITLE_AREA;
    HWND title = GetDlgItem(IDC_PROGRESS_TITLE);
    if (title != nullptr && ::MapDialogRect(m_hWnd, &area))
        ::MoveWindow(title, area.left, area.top, area.right - area.left, area.bottom - area.top, FALSE);
}

void CUninstallProgressPage::CenterOnWorkArea() const
{
    RECT work{};
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
        return;
    const RECT window = GetWindowRect();
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    ::MoveWindow(m_hWnd, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, width, height, FALSE);
}

void CUninstallProgressPage::OnOK()
{
    if (m_values.finished.load() != 0)
        Finish();
}

void CUninstallProgressPage::OnCancel() {}

void CUninstallProgressPage::Finish()
{
    if (m_finished)
        return;
    m_finished = true;
    EndDialog(PAGE_NEXT);
}

void CUninstallProgressPage::OnTimer()
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

bool CUninstallProgressPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_TIMER:
        OnTimer();
        // The default handling sees every tick as well.
        return false;
    case WM_DESTROY:
        result = Default(message, wParam, lParam);
        ::KillTimer(m_hWnd, TIMER_ID);
        return true;
    default:
        return CWizardPage::OnMessage(message, wParam, lParam, result);
    }
}

bool CUninstallProgressPage::IsOnWhite(int controlId) const
{
    return controlId == IDC_PROGRESS_TITLE;
}
