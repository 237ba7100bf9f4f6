#include "uninstaller/UninstallApp.h"

#include "engine/JournalFile.h"

#include "framework/Text.h"
#include "framework/WinThread.h"
#include "process/FaultGuard.h"
#include "product/ProductConfig.h"
#include "res/resource.h"
#include "uninstaller/SelfCopy.h"
#include "uninstaller/UninstallCommandLine.h"
#include "uninstaller/UninstallProgressPage.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int SHOW_LOG = SW_SHOW;
// The engine's code for a user who is not an administrator.
constexpr DWORD CODE_NOT_ADMIN = ERROR_NO_SUCH_PRIVILEGE;
// DoModal's answer for a window that could not be shown.
constexpr INT_PTR PAGE_NOT_SHOWN = -1;
// Throw site (module MODULE_PROCESS): the program's own path cannot be had.
constexpr int LOC_PROGRAM_PATH = 960;


// The running program's full path in its long form (the engine compares it
// with the installation's record); empty when it cannot be had.
std::string ModulePath()
{
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    char longPath[MAX_PATH] = {};
    const DWORD longLength = GetLongPathNameA(buffer, longPath, MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH)
        return std::string(buffer, length);
    return std::string(longPath, longLength);
}

std::string ProgramDataFolder()
{
    char path[MAX_PATH] = {};
    return SHGetSpecialFolderPathA(nullptr, path, CSIDL_COMMON_APPDATA, FALSE) ? std::string(path) : std::string();
}

std::string ProductText(UINT id)
{
    return fw::FormatText(id, Product().productName);
}

}  // namespace

CUninstallApp::CUninstallApp() = default;

CUninstallApp::~CUninstallApp()
{
    installProcess.reset();
    uninstallLog.reset();
}

bool CUninstallApp::InitInstance()
{
    options = ParseOptions();
    std::string original;
    const std::string self = ModulePath();
    if (OriginalFromCommandLine(&original) && CSelfCopy::IsCopy(self, ProgramDataFolder(), Product().productName)) {
        copyProgram = self;
        RunCopy(original);
    } else {
        RunOriginal();
    }
    return false;
}

int CUninstallApp::ExitInstance()
{
    CWinApp::ExitInstance();
    return exitCode;
}

void CUninstallApp::RunOriginal()
{
    // Never in the program folder, which must be free to go.
    char system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length != 0 && length < MAX_PATH)
        SetCurrentDirectoryA(system);
    // Only an administrator gets a copy; the lock is the copy's to take.
    if (!CreateInstallProcess(nullptr))
        return;
    installProcess.reset();

    const std::string original = ModulePath();
    const std::string programData = ProgramDataFolder();
    try {
        if (original.empty() || programData.empty())
            ThrowExceptionEx(MODULE_PROCESS, LOC_PROGRAM_PATH, original.empty() ? ERROR_BUFFER_OVERFLOW : GetLastError());
        CSelfCopy copy(programData, Product().productName);
        exitCode = copy.Run(options, original);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> failure(e);
        exitCode = UNINSTALL_START_FAILED;
        if (MessagesEnabled())
            ShowMessage(fw::FormatText(IDS_UNINSTALL_START_ERROR, Product().productName,
                                       static_cast<unsigned>(failure->code)),
                        MB_ICONERROR);
    }
}

void CUninstallApp::RunCopy(const std::string& original)
{
    const ProductConfig& product = Product();
    // Another run of the product holds the lock: this one changes nothing,
    // not even the log in %TEMP%, which may be that run's.
    if (!TakeProductLock(product.lockName, &productLock)) {
        exitCode = UNINSTALL_ANOTHER_RUN;
        if (MessagesEnabled())
            ShowMessage(ProductText(IDS_UNINSTALL_ANOTHER_RUNNING), MB_ICONWARNING);
        return;
    }
    char temp[MAX_PATH] = {};
    const DWORD tempLength = GetTempPathA(MAX_PATH, temp);
    if (tempLength != 0 && tempLength < MAX_PATH && tempLength + strlen(product.uninstallLogFileName) < MAX_PATH) {
        logPath = std::string(temp, tempLength) + product.uninstallLogFileName;
        uninstallLog.reset(CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!uninstallLog)
            logPath.clear();
    }

    if (!CreateInstallProcess(uninstallLog.get())) {
        CloseLog(true);
        return;
    }
    // In a silent run without "-im" nobody may be there to answer a box.
    installProcess->SetErrorBoxes(MessagesEnabled());
    if (!PrepareJournal())
        return;
    if (!installProcess->ProductInstalled()) {
        Refuse(UNINSTALL_NOT_INSTALLED, ProductText(IDS_NOT_INSTALLED), MB_ICONWARNING);
        return;
    }
    if (!options.silent) {
        const int answer = Ask(ProductText(IDS_UNINSTALL_QUESTION));
        if (answer != IDYES) {
            // No box at all (no display) is no answer.
            exitCode = answer == 0 ? UNINSTALL_START_FAILED : UNINSTALL_OK;
            installProcess.reset();
            CloseLog(answer == 0);
            return;
        }
    }
    // The program the user started still runs: it leaves the program folder
    // for this copy's, unless it was never part of the installation.
    if (!original.empty() && lstrcmpiA(original.c_str(), copyProgram.c_str()) != 0) {
        const size_t slash = copyProgram.find_last_of('\\');
        installProcess->SetRunningUninstaller(original, copyProgram.substr(0, slash));
    }

    if (options.silent)
        RunSilent();
    else
        RunWithProgress();
    EndOfRun();
}

bool CUninstallApp::CreateInstallProcess(HANDLE log)
{
    bool notAdmin = false;
    try {
        installProcess = std::make_unique<CInstallProcess>(log, 0, &choices, &progress);
        return true;
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> failure(e);
        notAdmin = failure->code == CODE_NOT_ADMIN;
    } catch (const std::exception&) {
    }
    exitCode = notAdmin ? UNINSTALL_NOT_ADMIN : UNINSTALL_START_FAILED;
    if (MessagesEnabled())
        ShowMessage(notAdmin ? ProductText(IDS_UNINSTALL_NOT_ADMIN) : fw::LoadText(IDS_INIT_ERROR), MB_ICONERROR);
    return false;
}

bool CUninstallApp::PrepareJournal()
{
    const char* product = Product().productName;
    switch (installProcess->OpenJournal(RUN_UNINSTALL)) {
    case CInstallProcess::JournalState::Ready:
    case CInstallProcess::JournalState::Recovered:
        return true;
    case CInstallProcess::JournalState::Busy:
        Refuse(UNINSTALL_ANOTHER_RUN, fw::FormatText(IDS_UNINSTALL_ANOTHER_RUNNING, product), MB_ICONWARNING);
        break;
    case CInstallProcess::JournalState::RestartPending:
        Refuse(UNINSTALL_RESTART_FIRST, fw::FormatText(IDS_UNINSTALL_RESTART_FIRST, product), MB_ICONWARNING);
        break;
    case CInstallProcess::JournalState::SetAside:
        Refuse(UNINSTALL_JOURNAL_UNTRUSTED,
               fw::FormatText(IDS_JOURNAL_SET_ASIDE, product, installProcess->JournalReason().c_str(),
                              installProcess->JournalSetAsidePath().c_str()),
               MB_ICONWARNING);
        break;
    case CInstallProcess::JournalState::Unreadable:
        Refuse(UNINSTALL_JOURNAL_UNTRUSTED,
               fw::FormatText(IDS_JOURNAL_UNREADABLE, product, static_cast<unsigned>(installProcess->JournalError())),
               MB_ICONWARNING);
        break;
    case CInstallProcess::JournalState::RecoveryFailed:
        Refuse(UNINSTALL_START_FAILED, fw::LoadText(IDS_INIT_ERROR), MB_ICONERROR);
        break;
    }
    return false;
}

void CUninstallApp::Refuse(int32_t code, const std::string& message, UINT icon)
{
    exitCode = code;
    installProcess->WriteLog(message.c_str());
    // The lock goes with the install process: nothing of this run may hold it.
    installProcess.reset();
    CloseLog(true);
    if (MessagesEnabled())
        ShowMessage(message, icon);
}

void CUninstallApp::RunSilent()
{
    // Nobody displays a silent run's progress: the worker writes into
    // scratch values, target and displayed position being one integer.
    progress.statusWindow = nullptr;
    progress.links = ProgressLinks{&silentProgress.target, &silentProgress.target, &silentProgress.direction,
                                   &silentProgress.finished};
    progressWindow = nullptr;
    UninstallWorkerMain(this);
}

void CUninstallApp::RunWithProgress()
{
    // Declared before the page, so that it outlives it.
    const fw::CGdiObject headerFont(CWizardPage::CreateHeaderFont());
    HFONT headerFontHandle = static_cast<HFONT>(headerFont.get());
    INT_PTR ended = PAGE_NOT_SHOWN;
    {
        CUninstallProgressPage page;
        page.SetWorkerStarter([this](HWND window) { return StartUninstallWorker(window); });
        page.SetProgressSink(&progress);
        page.SetHeaderFont(&headerFontHandle);
        ended = page.DoModal();
        // The worker writes into the page: it must be over before the page goes.
        JoinWorker();
    }
    progress.links = ProgressLinks();
    progress.statusWindow = nullptr;
    // No window, so no worker: nothing was changed.
    if (ended == PAGE_NOT_SHOWN)
        exitCode = UNINSTALL_START_FAILED;
}

int CUninstallApp::StartUninstallWorker(HWND owner)
{
    // The owner of the worker's error box must be known before it runs.
    progressWindow = owner;
    DWORD error = 0;
    workerThread = fw::CWinThread::Start(&CUninstallApp::UninstallWorkerMain, this, &error);
    if (workerThread)
        return 0;
    progressWindow = nullptr;
    exitCode = UNINSTALL_START_FAILED;
    const std::string text = fw::FormatText(IDS_SYSTEM_ERROR, static_cast<unsigned>(error));
    MessageBoxA(owner, text.c_str(), Product().productName, MB_ICONERROR);
    return -1;
}

UINT CUninstallApp::UninstallWorkerMain(void* parameter)
{
    auto* app = static_cast<CUninstallApp*>(parameter);
    // A fault puts everything back like any other failure; nothing is
    // committed. A fault in that recovery still leaves a failed run, and the
    // worker still says its final word.
    if (!RunGuardedWithRecovery(
            [](void* context) {
                auto* self = static_cast<CUninstallApp*>(context);
                self->installProcess->RunUninstall(&self->restartFlag, &self->uninstallFailed, self->progressWindow);
            },
            [](void* context, const FaultInfo& fault) {
                auto* self = static_cast<CUninstallApp*>(context);
                self->installProcess->RecoverFromFault(fault.code, fault.address, &self->uninstallFailed);
            },
            app))
        app->uninstallFailed = 1;
    app->progress.FinishProgress(app->uninstallFailed ? PROGRESS_FAILED : PROGRESS_COMPLETE);
    return 0;
}

void CUninstallApp::JoinWorker()
{
    if (!workerThread)
        return;
    workerThread->JoinPumpingMessages();
    workerThread.reset();
}

void CUninstallApp::EndOfRun()
{
    if (!installProcess)
        return;
    const bool failed = uninstallFailed != 0;
    const bool restartNeeded = restartFlag != 0;
    const bool notPutBack = installProcess->RollbackNotCompleted();
    // The program the user started, moved here, still runs: it, this copy
    // and the folder go at the restart, which nobody needs to wait for.
    // Without it the program the user started deletes both once this copy
    // has ended.
    const std::vector<std::string> leftovers = CSelfCopy::Leftovers(copyProgram);
    if (leftovers.size() > 2)
        installProcess->DeleteLeftoversAtRestart(leftovers);

    bool restartNow = false;
    if (failed) {
        exitCode = UNINSTALL_FAILED;
        // A rollback that left work for the restart asks for it, as the
        // setup's does; the exit code says the run failed either way.
        if (restartNeeded && !options.noRestart)
            restartNow = options.silent || Ask(ProductText(IDS_UNINSTALL_PUT_BACK_RESTART)) == IDYES;
    } else if (restartNeeded) {
        if (options.noRestart)
            exitCode = UNINSTALL_RESTART_NEEDED;
        else if (options.silent)
            restartNow = true;
        else
            restartNow = Ask(ProductText(IDS_UNINSTALL_RESTART_QUESTION)) == IDYES;
    }
    if (restartNow)
        installProcess->RestartComputer();
    installProcess.reset();
    // The log stays where something is left to look at: a failure, or files
    // that wait for the restart (it names them).
    CloseLog(exitCode != UNINSTALL_OK || restartNeeded);

    if (!MessagesEnabled())
        return;
    if (failed) {
        if (!logPath.empty())
            ShellExecuteA(nullptr, "open", logPath.c_str(), nullptr, nullptr, SHOW_LOG);
        ShowMessage(fw::FormatText(notPutBack ? IDS_UNINSTALL_NOT_PUT_BACK : IDS_UNINSTALL_FAILED,
                                   Product().productName, logPath.c_str()),
                    MB_ICONWARNING);
    } else if (exitCode == UNINSTALL_RESTART_NEEDED) {
        ShowMessage(ProductText(IDS_UNINSTALL_RESTART_NEEDED), MB_ICONWARNING);
    } else if (exitCode == UNINSTALL_OK && !options.silent && !restartNeeded) {
        ShowMessage(ProductText(IDS_UNINSTALL_DONE), MB_ICONINFORMATION);
    }
}

void CUninstallApp::CloseLog(bool keep)
{
    uninstallLog.reset();
    if (!keep && !logPath.empty())
        DeleteFileA(logPath.c_str());
}

void CUninstallApp::ShowMessage(const std::string& text, UINT icon) const
{
    MessageBoxA(nullptr, text.c_str(), Product().productName, icon);
}

int CUninstallApp::Ask(const std::string& text) const
{
    return MessageBoxA(nullptr, text.c_str(), Product().productName, MB_YESNO | MB_ICONQUESTION);
}
