#include "ui/WelcomeDlg.h"

#include "app/InstallApp.h"
#include "app/MessageText.h"
#include "framework/Text.h"
#include "process/FaultGuard.h"
#include "product/ProductConfig.h"
#include "res/resource.h"
#include "ui/FontMeasures.h"

namespace {

const DWORD PAUSE_BEFORE_CHECKS = 1000;
const DWORD WORKER_END_WAIT = 10000;
const DWORD WORKER_TERMINATED = 0xFFFFFFFF;
const char EXIT_TEXT[] = "Exit";
const char BODY_FONT_FACE[] = "Verdana";
const BYTE CLEARTYPE_QUALITY_5 = 5;

// Waits for `object` while serving the messages other threads send to this
// one: the checking thread sets the page's texts and buttons with sent
// messages, and would otherwise wait for the very thread that waits for it.
DWORD WaitServingSentMessages(HANDLE object, DWORD timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return ::WaitForSingleObject(object, 0);
        const DWORD woken = ::MsgWaitForMultipleObjects(1, &object, FALSE, timeoutMs - elapsed, QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + 1)
            return woken;
        MSG message;
        ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

CWelcomeDlg::CWelcomeDlg()
    : CWizardPage(IDD_WELCOME, PageKind::Full),
      m_icon(::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SETUP)))
{
}

CWelcomeDlg::~CWelcomeDlg()
{
    EndInitWorker();
}

void CWelcomeDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_SIDE_PICTURE, m_sidePicture);
    fw::DDX_Control(dx, IDCANCEL, m_cancelButton);
    fw::DDX_Control(dx, IDOK, m_nextButton);
    fw::DDX_Control(dx, IDC_BACK, m_backButton);
    fw::DDX_Control(dx, IDC_BODY, m_body);
    fw::DDX_Control(dx, IDC_TITLE, m_title);
    fw::DDX_Text(dx, IDC_BODY, m_bodyText);
    fw::DDX_Text(dx, IDC_TITLE, m_titleText);
}

bool CWelcomeDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    // A showing that ended without Next or Cancel may have left a thread.
    EndInitWorker();

    const ProductConfig& product = Product();
    m_titleText = fw::FormatText(IDS_WELCOME_TITLE, product.productName, product.versionText);
    m_bodyText = fw::LoadText(IDS_PLEASE_WAIT);

    BuildTitleFont(IDC_TITLE);
    HDC dc = ::GetDC(m_hWnd);
    const int logPixelsY = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(m_hWnd, dc);
    m_bodyFont.reset(::CreateFontA(WelcomeBodyFontHeight(logPixelsY), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                   0 /* character set */, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                   CLEARTYPE_QUALITY_5, 0 /* pitch and family */, BODY_FONT_FACE));
    m_body.SetFont(static_cast<HFONT>(m_bodyFont.get()));

    m_backButton.EnableWindow(false);
    m_nextButton.EnableWindow(false);
    m_cancelButton.EnableWindow(false);
    SetCaption();
    m_blockingResult = 0;

    auto worker = std::make_unique<fw::CWinThread>(&CWelcomeDlg::InitWorkerMain, this);
    if (!worker->CreateThread(THREAD_PRIORITY_NORMAL, 0)) {
        const std::string text = fw::FormatText(IDS_SYSTEM_ERROR, static_cast<unsigned>(::GetLastError()));
        ::MessageBoxA(m_hWnd, text.c_str(), product.productName, MB_ICONERROR);
        m_cancelButton.EnableWindow(true);
        EndDialog(PAGE_CANCELLED);
        return true;
    }
    m_initWorker = std::move(worker);
    m_initWorker->ResumeThread();

    MoveToSharedRect(true);
    SetPageIcon();
    ComputeWhiteArea();
    ResizeSidePicture();
    UpdateData(fw::DataDirection::ToControls);
    return true;
}

void CWelcomeDlg::OnOK()
{
    // Enter reaches here as well as the Next button, which only the checks
    // enable.
    if (!m_nextButton.IsWindowEnabled())
        return;
    StoreWindowRect();
    EndInitWorker();
    UpdateData(fw::DataDirection::FromControls);
    EndDialog(PAGE_NEXT);
}

void CWelcomeDlg::OnCancel()
{
    if (m_blockingResult == 0 && !AskCancel())
        return;
    EndInitWorker();
    EndDialog(PAGE_CANCELLED);
}

bool CWelcomeDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_PAINT:
        if (!::IsIconic(m_hWnd))
            break;
        PaintIconic();
        result = 0;
        return true;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(m_icon);
        return true;
    case WM_DESTROY:
        // The frame lets the dialog go and drops the title font first.
        CWizardPage::OnMessage(message, wParam, lParam, result);
        m_bodyFont.reset();
        result = 0;
        return true;
    default:
        break;
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CWelcomeDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_TITLE || controlId == IDC_BODY;
}

bool CWelcomeDlg::IsRed(int controlId) const
{
    return controlId == IDC_BODY && m_blockingResult != 0;
}

UINT CWelcomeDlg::InitWorkerMain(void* parameter)
{
    auto* page = static_cast<CWelcomeDlg*>(parameter);
    FaultInfo fault;
    if (!RunGuarded([](void* context) { static_cast<CWelcomeDlg*>(context)->RunChecks(); }, page, &fault))
        page->ReportFault(fault);
    return 0;
}

void CWelcomeDlg::RunChecks()
{
    ::Sleep(PAUSE_BEFORE_CHECKS);

    const ProductConfig& product = Product();
    std::string message;
    std::string body;
    const int refused = m_app->CheckInstalledVersion(&message);
    if (refused != 0) {
        m_blockingResult = refused;
        // The refusal names the version a running program sent: only "%s"
        // takes the product name, no other directive of it is interpreted.
        body = FormatProductMessage(message, product.productName);
    } else {
        const int32_t status = m_app->CheckSetupModules(&message);
        m_blockingResult = status;
        if (status != 0) {
            body = FormatProductMessage(message, product.productName);
        } else {
            m_nextButton.EnableWindow(true);
            body = fw::FormatText(IDS_WELCOME_TEXT, product.productName, product.versionText);
            // An earlier setup that was interrupted has been undone first:
            // the user hears of it before going on.
            if (m_app->InterruptedRunUndone())
                body = fw::FormatText(IDS_INTERRUPTED_UNDONE, product.productName) + body;
        }
    }
    // The blocking result is set first, so the new text is painted red.
    m_body.SetWindowText(body);
    if (m_blockingResult != 0)
        m_cancelButton.SetWindowText(EXIT_TEXT);
    m_cancelButton.EnableWindow(true);
}

void CWelcomeDlg::ReportFault(const FaultInfo& fault)
{
    const std::string text =
        fw::FormatText(IDS_INIT_EXCEPTION, fault.code, static_cast<uint32_t>(fault.address));
    ::MessageBoxA(m_hWnd, text.c_str(), Product().productName, MB_ICONERROR);
    m_cancelButton.EnableWindow(true);
    m_nextButton.EnableWindow(false);
}

void CWelcomeDlg::EndInitWorker()
{
    if (!m_initWorker)
        return;
    if (WaitServingSentMessages(m_initWorker->Handle(), WORKER_END_WAIT) != WAIT_OBJECT_0)
        m_initWorker->Terminate(WORKER_TERMINATED);
    m_initWorker.reset();
}

void CWelcomeDlg::PaintIconic()
{
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(m_hWnd, &paint);
    ::SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const RECT client = GetClientRect();
    const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_icon);
    ::EndPaint(m_hWnd, &paint);
}
