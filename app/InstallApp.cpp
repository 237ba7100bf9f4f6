#include "app/InstallApp.h"

#include "app/SummaryText.h"
#include "engine/JournalFile.h"
#include "app/UserIface.h"
#include "framework/SystemLibrary.h"
#include "framework/Text.h"
#include "framework/WinThread.h"
#include "package/PackedTools.h"
#include "process/FaultGuard.h"
#include "product/ProductConfig.h"
#include "res/resource.h"
#include "ui/AdditionalTaskDlg.h"
#include "ui/FinishDlg.h"
#include "ui/FinishRestDlg.h"
#include "ui/LicenseDlg.h"
#include "ui/ProgramMenuFolderDlg.h"
#include "ui/ProgressDlg.h"
#include "ui/ReadyDlg.h"
#include "ui/SelectFolder.h"
#include "ui/WelcomeDlg.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <new>
#include <vector>

namespace {

constexpr int SHOW_LOG = SW_SHOW;  // 5

constexpr int SHOW_QUICK_START = SW_SHOWMINIMIZED;  // 2
constexpr char RICH_EDIT_LIBRARY[] = "Riched32.dll";

// Where the wizard's pages stand in its sequence.
enum : size_t {
    PAGE_WELCOME = 0,
    PAGE_READY = 5,
    PAGE_FINISH = 7,
};
// DoModal's answer for a page that could not be shown.
constexpr INT_PTR PAGE_NOT_SHOWN = -1;

// The wizard's pages; they live as long as the wizard runs.
struct WizardPages {
    CWelcomeDlg welcome;
    CLicenseDlg license;
    CSelectFolder destination;
    CProgramMenuFolderDlg startMenu;
    CAdditionalTaskDlg tasks;
    CReadyDlg ready;
    CProgressDlg progress;
    CFinishDlg finish;
    CFinishRestDlg finishRestart;  // takes the finish page's place when a restart is needed

    std::array<CWizardPage*, 8> Sequence()
    {
        return {&welcome, &license, &destination, &startMenu, &tasks, &ready, &progress, &finish};
    }
    // The pages with a header band; the full pages make their title fonts
    // themselves.
    std::array<CWizardPage*, 6> InteriorPages()
    {
        return {&license, &destination, &startMenu, &tasks, &ready, &progress};
    }
};


// The installed-version query: the request 0x00003007 as it goes on the wire.
constexpr unsigned char VERSION_REQUEST[4] = {0x07, 0x30, 0x00, 0x00};
// The reply's text is kept in 256 bytes that stay zero-terminated.
constexpr uint32_t VERSION_TEXT_LIMIT = 255;

// Where a full path's last component starts.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

uint32_t LittleEndian32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// A text sent by another program, made safe to go through printf-style
// formatting: its '%' stay plain characters.
std::string EscapePercent(const char* text)
{
    std::string escaped;
    for (const char* c = text; *c != '\0'; ++c) {
        escaped += *c;
        if (*c == '%')
            escaped += '%';
    }
    return escaped;
}

std::string ModulePath()
{
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return std::string(buffer, length);
}

}  // namespace

CInstallApp::CInstallApp() = default;

CInstallApp::~CInstallApp()
{
    installProcess.reset();
    setupLog.reset();
}

bool CInstallApp::InitInstance()
{
    choices.desktopIcon = 1;
    choices.quickLaunchIcon = 1;
    choices.firewallRules = 1;
    licenseAccepted = 0;
    launchProduct = 1;
    openQuickStart = 1;
    restartFlag = 0;
    installFailed = 0;
    restartPageShown = 0;
    exitCode = EXIT_OK;

    const ProductConfig& product = Product();
    options = ParseOptions();

    if (options.logBesideSetup) {
        const std::string module = ModulePath();
        if (!module.empty())
            logCopyPath = FolderOf(module) + product.logFileName;
    }

    // Another run of the product holds the lock: this one changes nothing,
    // not even the log in %TEMP%, which is that run's.
    if (!options.unpackOnly && !TakeProductLock(product.lockName, &productLock)) {
        exitCode = EXIT_ANOTHER_RUN;
        if (MessagesEnabled())
            ShowMessage(fw::FormatText(IDS_ANOTHER_RUNNING, product.productName), MB_ICONWARNING);
        return false;
    }

    char temp[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
    if (tempLength != 0 && tempLength < MAX_PATH &&
        tempLength + strlen(product.logFileName) < MAX_PATH) {
        tempLogPath = std::string(temp, tempLength) + product.logFileName;
        setupLog.reset(CreateFileA(tempLogPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!setupLog)
            tempLogPath.clear();
    }

    try {
        // An installation's capture starts with its first change, journaled;
        // only an unpack-only run captures from the start.
        installProcess = std::make_unique<CInstallProcess>(setupLog.get(), options.unpackOnly ? options.advancedLog : 0,
                                                           &choices, &progress);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> failure(e);
        const bool notAdmin = failure->code == ERROR_NO_SUCH_PRIVILEGE;
        exitCode = notAdmin ? EXIT_NOT_ADMIN : EXIT_START_FAILED;
        if (MessagesEnabled())
            ShowMessage(fw::LoadText(notAdmin ? IDS_NOT_ADMIN : IDS_INIT_ERROR), MB_ICONERROR);
        return false;
    } catch (const std::exception&) {
        exitCode = EXIT_START_FAILED;
        if (MessagesEnabled())
            ShowMessage(fw::LoadText(IDS_INIT_ERROR), MB_ICONERROR);
        return false;
    }

    // In a silent run without "-im" nobody may be there to answer a box:
    // it would hold the run before its rollback until someone ends it.
    installProcess->SetErrorBoxes(MessagesEnabled());

    if (options.unpackOnly) {
        if (!installProcess->UnpackFiles())
            exitCode = EXIT_UNPACK_FAILED;
        installFailed = 0;
        EndOfRun();
        return false;
    }

    if (!PrepareJournal())
        return false;
    if (options.advancedLog)
        installProcess->EnableSetupApiCapture();

    char programFiles[MAX_PATH] = {};
    if (SHGetSpecialFolderPathA(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE))
        choices.destinationFolder = std::string(programFiles) + "\\" + product.productName;
    choices.startMenuFolder = product.productName;

    if (options.silent)
        RunSilent();
    else
        RunWizard();
    return false;
}

bool CInstallApp::PrepareJournal()
{
    const char* product = Product().productName;
    std::string message;
    switch (installProcess->OpenJournal(RUN_INSTALL)) {
    case CInstallProcess::JournalState::Ready:
        return true;
    case CInstallProcess::JournalState::Recovered:
        interruptedRunUndone = true;
        return true;
    case CInstallProcess::JournalState::Busy:
        exitCode = EXIT_ANOTHER_RUN;
        message = fw::FormatText(IDS_ANOTHER_RUNNING, product);
        break;
    case CInstallProcess::JournalState::RestartPending:
        exitCode = EXIT_RESTART_FIRST;
        message = fw::FormatText(IDS_RESTART_FIRST, product);
        break;
    case CInstallProcess::JournalState::SetAside:
        exitCode = EXIT_JOURNAL_UNTRUSTED;
        message = fw::FormatText(IDS_JOURNAL_SET_ASIDE, product, installProcess->JournalReason().c_str(),
                                 installProcess->JournalSetAsidePath().c_str());
        break;
    case CInstallProcess::JournalState::Unreadable:
        exitCode = EXIT_JOURNAL_UNTRUSTED;
        message = fw::FormatText(IDS_JOURNAL_UNREADABLE, product, static_cast<unsigned>(installProcess->JournalError()));
        break;
    case CInstallProcess::JournalState::RecoveryFailed:
        exitCode = EXIT_START_FAILED;
        message = fw::LoadText(IDS_INIT_ERROR);
        break;
    }
    installProcess->WriteLog(message.c_str());
    // The lock goes with the install process: nothing of this run may hold it.
    installProcess.reset();
    if (MessagesEnabled())
        ShowMessage(message, exitCode == EXIT_START_FAILED ? MB_ICONERROR : MB_ICONWARNING);
    return false;
}

int CInstallApp::ExitInstance()
{
    CWinApp::ExitInstance();
    return exitCode;
}

int32_t CInstallApp::CheckSetupModules(std::string* message)
{
    const int32_t status = installProcess->LoadPackage();
    UINT text = 0;
    switch (status) {
    case PACKAGE_OK:
        break;
    case PACKAGE_NOT_READ:
        text = IDS_PACKAGE_NOT_READ;
        break;
    case PACKAGE_DAMAGED:
        text = IDS_PACKAGE_DAMAGED;
        break;
    case PACKAGE_NO_MEMORY:
        text = IDS_PACKAGE_NO_MEMORY;
        break;
    default:
        text = IDS_PACKAGE_OTHER_ERROR;
        break;
    }
    if (message)
        *message = text ? fw::LoadText(text) : std::string();
    return status;
}

int CInstallApp::CheckInstalledVersion(std::string* message)
{
    const ProductConfig& product = Product();
    uint32_t version = product.versionNumber;
    char text[VERSION_TEXT_LIMIT + 1] = {};

    // The event only tells whether the product runs; without it the pipe is
    // not even tried.
    fw::CKernelHandle presence(OpenEventA(SYNCHRONIZE, FALSE, product.presenceEvent));
    if (presence) {
        CUserIface pipe;
        // Each field is read into its own bytes first, so a reply cut short
        // leaves the fields before it whole and the rest untouched.
        unsigned char field[4] = {};
        if (pipe.Connect(product.pipeName) && pipe.Write(VERSION_REQUEST, sizeof VERSION_REQUEST) &&
            pipe.Read(field, sizeof field)) {
            version = LittleEndian32(field);
            if (pipe.Read(field, sizeof field)) {
                // A longer text is cut to what the buffer holds; the rest
                // is never read.
                const uint32_t length = std::min(LittleEndian32(field), VERSION_TEXT_LIMIT);
                char received[VERSION_TEXT_LIMIT + 1] = {};
                if (pipe.Read(received, length))
                    std::copy(received, received + length, text);
            }
        }
    }

    if (version > product.versionNumber) {
        if (message)
            *message = fw::FormatText(IDS_OLDER_VERSION, product.versionNumberText, EscapePercent(text).c_str());
        return 1;
    }
    if (message)
        message->clear();
    return 0;
}

std::string CInstallApp::ComposeSummary() const
{
    SummaryTexts texts;
    texts.destination = fw::LoadText(IDS_SUMMARY_DESTINATION);
    texts.startMenu = fw::LoadText(IDS_SUMMARY_START_MENU);
    texts.tasks = fw::LoadText(IDS_SUMMARY_TASKS);
    texts.firewall = fw::LoadText(IDS_SUMMARY_FIREWALL);
    texts.firewallRules = fw::LoadText(IDS_SUMMARY_FIREWALL_RULES);
    texts.icons = fw::LoadText(IDS_SUMMARY_ICONS);
    texts.desktopIcon = fw::LoadText(IDS_SUMMARY_DESKTOP_ICON);
    texts.quickLaunchIcon = fw::LoadText(IDS_SUMMARY_QUICK_LAUNCH_ICON);

    SummaryChoices summary;
    summary.destinationFolder = choices.destinationFolder;
    summary.startMenuFolder = choices.startMenuFolder;
    summary.desktopIcon = choices.desktopIcon;
    summary.quickLaunchIcon = choices.quickLaunchIcon;
    summary.firewallRules = choices.firewallRules;
    return ComposeSummaryText(texts, summary);
}

bool CInstallApp::LicenseText(const uint8_t** data, int32_t* size) const
{
    return installProcess && installProcess->PackedTools().FindEntry("license.rtf", data, size);
}

void CInstallApp::RunSilent()
{
    if (!options.acceptLicense) {
        exitCode = EXIT_LICENSE_NOT_ACCEPTED;
        if (MessagesEnabled())
            ShowMessage(ProductText(IDS_LICENSE_NOT_ACCEPTED), MB_ICONWARNING);
        return;
    }

    // Nobody displays a silent run's progress: the worker writes into scratch
    // values, target and displayed position being one integer.
    progress.statusWindow = nullptr;
    progress.links = ProgressLinks{&silentProgress.target, &silentProgress.target, &silentProgress.direction,
                                   &silentProgress.finished};
    progressWindow = nullptr;

    std::string message;
    if (CheckSetupModules(&message) != PACKAGE_OK) {
        exitCode = EXIT_SETUP_MODULES;
        if (MessagesEnabled())
            ShowMessage(fw::Format(message.c_str(), Product().productName), MB_ICONWARNING);
        return;
    }

    InstallWorkerMain(this);

    if (restartFlag == 0 || installFailed) {
        // A failed run whose rollback left work for the restart still asks
        // for it; the exit code says the run failed either way.
        if (restartFlag != 0 && !options.noRestart)
            installProcess->RestartComputer();
        EndOfRun();
        return;
    }
    if (!options.noRestart) {
        installProcess->RestartComputer();
        EndOfRun();
        return;
    }
    exitCode = EXIT_RESTART_NEEDED;
    // The log goes where a finished run's goes; the restart is the admin's.
    EndOfRun();
    if (MessagesEnabled())
        ShowMessage(ProductText(IDS_RESTART_NEEDED), MB_ICONWARNING);
}

void CInstallApp::RunWizard()
{
    if (ShowWizard())
        EndOfRun();
}

bool CInstallApp::ShowWizard()
{
    // The licence page's text control. Only the system's own copy: a DLL of
    // that name beside the setup or in the current folder must never load.
    const fw::CModule richEdit(fw::LoadSystemLibrary(RICH_EDIT_LIBRARY));

    // Declared before the pages, so that it outlives them.
    const fw::CGdiObject headerFont(CWizardPage::CreateHeaderFont());
    HFONT headerFontHandle = static_cast<HFONT>(headerFont.get());
    RECT sharedRect{};  // top 0: no page has stored its place yet

    WizardPages pages;
    pages.welcome.SetApplication(this);
    pages.license.SetApplication(this);
    pages.license.SetAccepted(&licenseAccepted);
    pages.destination.SetFolder(&choices.destinationFolder);
    pages.startMenu.SetFolder(&choices.startMenuFolder);
    pages.tasks.SetFlags(&choices.desktopIcon, &choices.quickLaunchIcon, &choices.firewallRules);
    pages.progress.SetWorkerStarter([this](HWND page) { return StartInstallWorker(page); });
    pages.progress.SetProgressSink(&progress);
    pages.finish.SetFlags(&launchProduct, &openQuickStart, &installFailed);
    pages.finishRestart.SetFlags(&restartFlag, &installFailed);
    for (CWizardPage* page : pages.Sequence())
        page->SetSharedRect(&sharedRect);
    pages.finishRestart.SetSharedRect(&sharedRect);
    for (CWizardPage* page : pages.InteriorPages())
        page->SetHeaderFont(&headerFontHandle);

    bool normalEnd = false;
    size_t index = PAGE_WELCOME;
    for (;;) {
        if (index > PAGE_FINISH) {
            normalEnd = true;
            break;
        }
        CWizardPage* page = index == PAGE_FINISH && restartPageShown ? &pages.finishRestart : pages.Sequence()[index];
        const INT_PTR code = page->DoModal();
        if (code == PAGE_NEXT) {
            ++index;
            if (index == PAGE_READY)
                pages.ready.SetSummary(ComposeSummary());
            if (index == PAGE_FINISH) {
                // The finish pages read what the worker decided.
                JoinInstallWorker();
                if (restartFlag == 1)
                    restartPageShown = 1;
            }
        } else if (code == PAGE_CANCELLED) {
            normalEnd = index == PAGE_FINISH;
            break;
        } else if (code == PAGE_BACK) {
            if (index > PAGE_WELCOME)
                --index;
        } else if (code == PAGE_NOT_SHOWN) {
            // A page that cannot be shown now will not be shown by trying
            // again: the run ends as if cancelled.
            break;
        }
        // Any other code shows the same page again.
    }

    // The worker writes into the progress page: it must be over before the
    // pages go, whichever way the wizard ended.
    JoinInstallWorker();
    if (normalEnd)
        CarryOutFinishChoices();
    progress.links = ProgressLinks();
    progress.statusWindow = nullptr;
    return normalEnd;
}

void CInstallApp::CarryOutFinishChoices()
{
    if (restartPageShown) {
        // There the flag holds the user's answer: 1 is "restart now".
        if (restartFlag == 1)
            installProcess->RestartComputer();
        return;
    }
    if (launchProduct == 1)
        LaunchProduct();
    if (openQuickStart == 1)
        ShellExecuteA(nullptr, "open", Product().quickStartUrl, nullptr, nullptr, SHOW_QUICK_START);
}

void CInstallApp::LaunchProduct() const
{
    const std::string commandLine = "\"" + choices.destinationFolder + "\\" + Product().userProgram + "\"";
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');  // CreateProcessA may write into its command line
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // A product that cannot be started is not the setup's failure: nothing
    // is said.
    if (CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        const fw::CKernelHandle process(started.hProcess);
        const fw::CKernelHandle thread(started.hThread);
    }
}

void CInstallApp::JoinInstallWorker()
{
    if (!workerThread)
        return;
    workerThread->JoinPumpingMessages();
    workerThread.reset();
}

void CInstallApp::EndOfRun()
{
    installProcess.reset();
    setupLog.reset();

    if (installFailed == 0 && exitCode != EXIT_UNPACK_FAILED) {
        if (!tempLogPath.empty()) {
            if (!choices.destinationFolder.empty()) {
                const std::string copy = choices.destinationFolder + "\\" + Product().logFileName;
                CopyFileA(tempLogPath.c_str(), copy.c_str(), FALSE);
            }
            if (options.logBesideSetup) {
                if (!logCopyPath.empty() && CopyFileA(tempLogPath.c_str(), logCopyPath.c_str(), FALSE))
                    DeleteFileA(tempLogPath.c_str());
            } else {
                DeleteFileA(tempLogPath.c_str());
            }
        }
        return;
    }

    // An unpack-only run that failed keeps its log in the temporary folder.
    if (exitCode == EXIT_UNPACK_FAILED)
        return;
    // A deployment tool reads the failure from the exit code, messages or not.
    exitCode = EXIT_INSTALL_FAILED;
    if (MessagesEnabled()) {
        if (!tempLogPath.empty())
            ShellExecuteA(nullptr, "open", tempLogPath.c_str(), nullptr, nullptr, SHOW_LOG);
        ShowMessage(fw::FormatText(IDS_SUPPORT_MESSAGE, tempLogPath.c_str()), MB_ICONWARNING);
    }
}

UINT CInstallApp::InstallWorkerMain(void* parameter)
{
    auto* app = static_cast<CInstallApp*>(parameter);
    // A fault rolls back like any other failure; nothing is committed. A
    // fault in that recovery still leaves a failed run, and the worker still
    // says its final word.
    if (!RunGuardedWithRecovery([](void* context) { RunInstallWorker(static_cast<CInstallApp*>(context)); },
                                [](void* context, const FaultInfo& fault) {
                                    static_cast<CInstallApp*>(context)->RecoverFromFault(fault);
                                },
                                app))
        app->installFailed = 1;
    app->progress.FinishProgress(app->installFailed ? PROGRESS_FAILED : PROGRESS_COMPLETE);
    return 0;
}

void CInstallApp::RecoverFromFault(const FaultInfo& fault)
{
    if (installProcess) {
        installProcess->RecoverFromFault(fault.code, fault.address, &installFailed);
        return;
    }
    installFailed = 1;
    if (MessagesEnabled()) {
        const std::string text =
            fw::FormatText(IDS_INSTALL_EXCEPTION, fault.code, static_cast<uint32_t>(fault.address));
        MessageBoxA(nullptr, text.c_str(), Product().productName, MB_ICONERROR);
    }
}

void CInstallApp::RunInstallWorker(CInstallApp* app)
{
    // The plan, the firewall step and the commit; a failure rolls back in there.
    app->installProcess->RunInstall(&app->restartFlag, &app->installFailed, app->progressWindow);
}

int CInstallApp::StartInstallWorker(HWND owner)
{
    // The owner of the worker's error box must be known before it runs.
    progressWindow = owner;
    DWORD error = 0;
    workerThread = fw::CWinThread::Start(&CInstallApp::InstallWorkerMain, this, &error);
    if (workerThread)
        return 0;
    progressWindow = nullptr;
    const std::string text = fw::FormatText(IDS_SYSTEM_ERROR, static_cast<unsigned>(error));
    MessageBoxA(owner, text.c_str(), Product().productName, MB_ICONERROR);
    return -1;
}

void CInstallApp::ShowMessage(const std::string& text, UINT icon) const
{
    MessageBoxA(nullptr, text.c_str(), Product().productName, icon);
}

std::string CInstallApp::ProductText(UINT id) const
{
    return fw::FormatText(id, Product().productName);
}
