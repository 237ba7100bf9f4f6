#include "uninstaller/UninstallProgressPage.h"

#include "res/resource.h"

namespace {

// The title's place in dialog units: from its own left edge to the header
// logo (at 283), down to just above the separator (at 34).
constexpr RECT TITLE_AREA = {14, 5, 280, 32};

}  // namespace

std::string CUninstallProgressPage::TitleText() const
{
    return ProductText(IDS_UNINSTALL_PROGRESS_TITLE);
}

void CUninstallProgressPage::ArrangeWindow()
{
    WidenTitle();
    CenterOnWorkArea();
    SetWindowText(ProductText(IDS_UNINSTALL_CAPTION));
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
