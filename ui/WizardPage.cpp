#include "ui/WizardPage.h"

#include "framework/Text.h"
#include "product/ProductConfig.h"
#include "res/resource.h"
#include "ui/FontMeasures.h"

namespace {

constexpr COLORREF PAGE_WHITE = RGB(255, 255, 255);
constexpr COLORREF ERROR_RED = RGB(255, 0, 0);
constexpr int HEADER_FONT_QUALITY = 5;  // ClearType
constexpr char HEADER_FONT_FACE[] = "Arial";

bool IsControlColourMessage(UINT message)
{
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

}  // namespace

CWizardPage::CWizardPage(UINT templateId, PageKind kind)
    : fw::CDialog(templateId),
      m_kind(kind),
      m_whiteBrush(CreateSolidBrush(PAGE_WHITE)),
      m_icon(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_SETUP)))
{
}

CWizardPage::~CWizardPage() = default;

HFONT CWizardPage::CreateHeaderFont()
{
    HDC screen = GetDC(nullptr);
    const int logPixelsY = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr)
        ReleaseDC(nullptr, screen);
    return CreateFontA(HeaderFontHeight(logPixelsY), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, 0 /* character set */,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, HEADER_FONT_QUALITY, 0 /* pitch and family */,
                       HEADER_FONT_FACE);
}

void CWizardPage::SetCaption() const
{
    SetWindowText(ProductText(IDS_CAPTION));
}

void CWizardPage::MoveToSharedRect(bool onlyWhenStored) const
{
    if (m_sharedRect == nullptr || (onlyWhenStored && m_sharedRect->top == 0))
        return;
    const RECT& r = *m_sharedRect;
    MoveWindow(m_hWnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
}

void CWizardPage::SetPageIcon() const
{
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
}

void CWizardPage::ComputeWhiteArea()
{
    m_whiteArea = GetClientRect();
    HWND separator = GetDlgItem(IDC_SEPARATOR);
    if (separator == nullptr)
        return;
    RECT separatorRect{};
    ::GetWindowRect(separator, &separatorRect);
    const RECT pageRect = GetWindowRect();
    m_whiteArea.bottom += separatorRect.bottom - pageRect.bottom;
}

void CWizardPage::ResizeSidePicture() const
{
    HWND picture = GetDlgItem(IDC_SIDE_PICTURE);
    if (picture == nullptr)
        return;
    RECT client{};
    ::GetClientRect(picture, &client);
    RECT window{};
    ::GetWindowRect(picture, &window);
    POINT topLeft{window.left, window.top};
    ScreenToClient(m_hWnd, &topLeft);

    HDC dc = GetDC(m_hWnd);
    const int logPixelsX = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(m_hWnd, dc);
    const int width = SidePictureWidth(client.right - client.left, logPixelsX);
    const int height = m_whiteArea.bottom - m_whiteArea.top;
    ::MoveWindow(picture, topLeft.x, topLeft.y, width, height, TRUE);
}

void CWizardPage::BuildTitleFont(int titleId)
{
    HWND title = GetDlgItem(titleId);
    if (title == nullptr)
        return;
    LOGFONTA font{};
    HFONT current = reinterpret_cast<HFONT>(::SendMessageA(title, WM_GETFONT, 0, 0));
    if (current == nullptr || GetObjectA(current, sizeof font, &font) == 0)
        return;
    font.lfHeight = TitleFontHeight(font.lfHeight);
    font.lfWeight = FW_BOLD;  // 700
    m_titleFont.reset(CreateFontIndirectA(&font));
    ::SendMessageA(title, WM_SETFONT, reinterpret_cast<WPARAM>(m_titleFont.get()), TRUE);
}

void CWizardPage::ApplyHeaderFont(int titleId) const
{
    if (m_headerFont != nullptr && *m_headerFont != nullptr)
        ::SendMessageA(GetDlgItem(titleId), WM_SETFONT, reinterpret_cast<WPARAM>(*m_headerFont), TRUE);
}

void CWizardPage::GroupRadioButtons(int firstId, int lastId) const
{
    // The templates mark no groups, so the arrows would run on from the
    // radio buttons into the controls around them. A group begins at its
    // first button and ends where the next control begins one. The chosen
    // button carries the tab stop: auto radio buttons move it as they are
    // checked.
    HWND first = GetDlgItem(firstId);
    HWND last = GetDlgItem(lastId);
    if (first == nullptr || last == nullptr)
        return;
    ::SetWindowLongA(first, GWL_STYLE, ::GetWindowLongA(first, GWL_STYLE) | WS_GROUP);
    HWND after = ::GetWindow(last, GW_HWNDNEXT);
    if (after != nullptr)
        ::SetWindowLongA(after, GWL_STYLE, ::GetWindowLongA(after, GWL_STYLE) | WS_GROUP);
}

void CWizardPage::FinishInitialisation()
{
    SetCaption();
    MoveToSharedRect(false);
    SetPageIcon();
    ComputeWhiteArea();
    UpdateData(fw::DataDirection::ToControls);
}

void CWizardPage::StoreWindowRect() const
{
    if (m_sharedRect != nullptr)
        *m_sharedRect = GetWindowRect();
}

bool CWizardPage::AskCancel() const
{
    const std::string question = ProductText(IDS_CANCEL_QUESTION);
    return MessageBoxA(m_hWnd, question.c_str(), Product().productName, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

bool CWizardPage::IsOnWhite(int) const
{
    return false;
}

bool CWizardPage::IsRed(int) const
{
    return false;
}

bool CWizardPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_ERASEBKGND) {
        // The dialog's own erase first, then white over the white area. The
        // message counts as handled with 0, so nothing erases it again.
        Default(message, wParam, lParam);
        FillRect(reinterpret_cast<HDC>(wParam), &m_whiteArea, static_cast<HBRUSH>(m_whiteBrush.get()));
        result = 0;
        return true;
    }
    if (IsControlColourMessage(message)) {
        result = Default(message, wParam, lParam);
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (IsOnWhite(id)) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            SetTextColor(dc, IsRed(id) ? ERROR_RED : GetSysColor(COLOR_WINDOWTEXT));
            result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        return true;
    }
    if (message == WM_DESTROY && m_kind == PageKind::Full) {
        Default(message, wParam, lParam);
        m_titleFont.reset();
        result = 0;
        return true;
    }
    return fw::CDialog::OnMessage(message, wParam, lParam, result);
}

std::string CWizardPage::ProductName()
{
    return Product().productName;
}

std::string CWizardPage::ProductText(UINT id)
{
    return fw::FormatText(id, Product().productName);
}
