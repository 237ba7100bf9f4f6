#include "ui/AdditionalTaskDlg.h"

#include "framework/Text.h"
#include "res/resource.h"

namespace {

// Windows 7 and the later 6.x versions have no Quick Launch bar of their own.
bool HasNoQuickLaunch()
{
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof version;  // 156
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)))
        return false;
#pragma GCC diagnostic pop
    return version.dwMajorVersion == 6 && version.dwMinorVersion != 0;
}

}  // namespace

CAdditionalTaskDlg::CAdditionalTaskDlg() : CWizardPage(IDD_ADDITIONAL_TASKS, PageKind::Interior) {}

CAdditionalTaskDlg::~CAdditionalTaskDlg() = default;

void CAdditionalTaskDlg::DoDataExchange(fw::CDataExchange& dx)
{
    fw::DDX_Control(dx, IDC_SEPARATOR, m_separator);
    fw::DDX_Control(dx, IDC_ICONS_GROUP, m_iconsGroup);
    fw::DDX_Control(dx, IDC_FIREWALL_GROUP, m_firewallGroup);
    fw::DDX_Control(dx, IDC_FIREWALL, m_firewallBox);
    fw::DDX_Control(dx, IDC_DESKTOP_ICON, m_desktopIconBox);
    fw::DDX_Control(dx, IDC_QUICK_LAUNCH_ICON, m_quickLaunchBox);
    fw::DDX_Control(dx, IDC_TASKS_TITLE, m_title);
    fw::DDX_Text(dx, IDC_TASKS_TITLE, m_titleText);
    fw::DDX_Text(dx, IDC_TASKS_SUBTITLE, m_subtitleText);
    fw::DDX_Check(dx, IDC_DESKTOP_ICON, m_desktopIcon);
    fw::DDX_Check(dx, IDC_QUICK_LAUNCH_ICON, m_quickLaunch);
    fw::DDX_Check(dx, IDC_FIREWALL, m_firewall);
}

bool CAdditionalTaskDlg::OnInitDialog()
{
    CWizardPage::OnInitDialog();
    m_titleText = fw::LoadText(IDS_TASKS_TITLE);
    ApplyHeaderFont(IDC_TASKS_TITLE);
    m_subtitleText = fw::LoadText(IDS_TASKS_SUBTITLE);
    if (m_desktopIconFlag != nullptr)
        m_desktopIcon = *m_desktopIconFlag;
    if (m_quickLaunchFlag != nullptr)
        m_quickLaunch = *m_quickLaunchFlag;
    if (m_firewallFlag != nullptr)
        m_firewall = *m_firewallFlag;
    if (HasNoQuickLaunch()) {
        m_quickLaunchBox.ShowWindow(SW_HIDE);
        m_quickLaunchBox.EnableWindow(false);
        m_quickLaunch = 0;
    }
    FinishInitialisation();
    return true;
}

void CAdditionalTaskDlg::OnOK()
{
    StoreFlags();
    StoreWindowRect();
    EndDialog(PAGE_NEXT);
}

void CAdditionalTaskDlg::OnCancel()
{
    if (AskCancel())
        EndDialog(PAGE_CANCELLED);
}

bool CAdditionalTaskDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_BACK) {
        // Unlike the other pages, Back keeps what was ticked here.
        StoreFlags();
        EndDialog(PAGE_BACK);
        result = 0;
        return true;
    }
    return CWizardPage::OnMessage(message, wParam, lParam, result);
}

bool CAdditionalTaskDlg::IsOnWhite(int controlId) const
{
    return controlId == IDC_TASKS_TITLE || controlId == IDC_TASKS_SUBTITLE;
}

void CAdditionalTaskDlg::StoreFlags()
{
    UpdateData(fw::DataDirection::FromControls);
    if (m_desktopIconFlag != nullptr)
        *m_desktopIconFlag = m_desktopIcon;
    if (m_quickLaunchFlag != nullptr)
        *m_quickLaunchFlag = m_quickLaunch;
    if (m_firewallFlag != nullptr)
        *m_firewallFlag = m_firewall;
}
