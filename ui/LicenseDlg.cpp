#include "ui/LicenseDlg.h"

#include "app/InstallApp.h"
#include "framework/Text.h"
#include "res/resource.h"

#include <algorithm>
#include <cstring>

namespace {

// What the stream reader answers when there is no licence text: the control
// stops and stays empty.
const DWORD STREAM_NO_TEXT = ERROR_INVALID_PARAMETER;  // 87

}  // namespace

CLicenseDlg::CLicenseDlg() : CWizardPage(IDD_LICENSE, PageKind::Interior) {}

CLicenseDlg::~CLicenseDlg() = default;

void CLicenseDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_LICENSE_TEXT, m_licenseText);
    fw::DDX_Control(dx, IDOK, m_nextButton);
    fw::DDX_Control(dx, IDC_LICENSE_TITLE, m_title);
    fw::DDX_Text(dx, IDC_LICENSE_SUBTITLE, m_subtitleText);
    fw::DDX_Text(dx, IDC_LICENSE_TITLE, m_titleText);
}

bool CLicenseDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    m_subtitleText = fw::LoadText(IDS_LICENSE_SUBTITLE);
    m_titleText = fw::LoadText(IDS_LICENSE_TITLE);
    ApplyHeaderFont(IDC_LICENSE_TITLE);

    ::CheckRadioButton(m_hWnd, IDC_ACCEPT, IDC_DECLINE, Accepted() ? IDC_ACCEPT : IDC_DECLINE);
    GroupRadioButtons(IDC_ACCEPT, IDC_DECLINE);
    m_nextButton.EnableWindow(Accepted());

    m_streamData = nullptr;
    m_streamSize = 0;
    if (m_app == nullptr || !m_app->LicenseText(&m_streamData, &m_streamSize)) {
        m_streamData = nullptr;
        m_streamSize = 0;
    }
    m_streamPosition = 0;
    EDITSTREAM stream{};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(this);
    stream.pfnCallback = &CLicenseDlg::ReadLicense;
    m_licenseText.StreamIn(SF_RTF, stream);
    m_licenseText.SetTargetDevice(nullptr, 0);  // wrap at the control's width
    // The text the user is asked to accept can be read and scrolled, never
    // changed: a key pressed in the box, Tab above all, would replace it.
    m_licenseText.SetReadOnly(true);

    FinishInitialisation();
    // The box takes the focus first: the reader starts at the first line.
    m_licenseText.ShowFromStart();
    return true;
}

void CLicenseDlg::OnOK()
{
    // Enter reaches here as well as the Next button.
    if (!Accepted())
        return;
    UpdateData(fw::DataDirection::FromControls);
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CLicenseDlg::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CLicenseDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
        case IDC_BACK:
            EndDialog(PAGE_BACK);
            result = 0;
            return true;
        case IDC_ACCEPT:
            OnAcceptChosen(true);
            result = 0;
            return true;
        case IDC_DECLINE:
            OnAcceptChosen(false);
            result = 0;
            return true;
        default:
            break;
        }
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CLicenseDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_LICENSE_SUBTITLE || controlId == IDC_LICENSE_TITLE;
}

void CLicenseDlg::OnAcceptChosen(bool accepted)
{
    if (m_licenseAccepted != nullptr)
        *m_licenseAccepted = accepted ? 1 : 0;
    m_nextButton.EnableWindow(accepted);
}

DWORD CALLBACK CLicenseDlg::ReadLicense(DWORD_PTR cookie, LPBYTE buffer, LONG requested, LONG* read)
{
    auto* page = reinterpret_cast<CLicenseDlg*>(cookie);
    *read = 0;
    if (page->m_streamData == nullptr)
        return STREAM_NO_TEXT;
    const int32_t left = std::max<int32_t>(page->m_streamSize - page->m_streamPosition, 0);
    const LONG count = std::max<LONG>(std::min<LONG>(requested, left), 0);
    std::memcpy(buffer, page->m_streamData + page->m_streamPosition, static_cast<size_t>(count));
    page->m_streamPosition += count;
    *read = count;
    return 0;
}
