#include "process/InstallProcess.h"

#include "engine/EngineText.h"
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"
#include "framework/Text.h"
#include "package/PackedTools.h"
#include "process/FaultGuard.h"
#include "process/Firewall.h"
#include "product/ProductConfig.h"
#include "res/resource.h"

#include <shlobj.h>
#include <netfw.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Throw sites of the unpack-only run and of the firewall step's preparation.
constexpr int LOC_UNPACK_CURRENT_DIRECTORY = 239;
constexpr int LOC_UNPACK_CREATE_FOLDER = 245;
constexpr int LOC_UNPACK_ENTRY_MISSING = 253;
constexpr int LOC_FIREWALL_SYSTEM_FOLDER = 86;
constexpr int LOC_FIREWALL_PATH_BUFFER = 95;
constexpr int LOC_FIREWALL_NAME_BUFFER = 99;
constexpr int LOC_FIREWALL_PATH_CONVERSION = 107;
constexpr int LOC_FIREWALL_NAME_CONVERSION = 115;

// The plan's pacing.
constexpr DWORD PAUSE_AFTER_COPY = 200;
constexpr DWORD PAUSE_AFTER_COMMIT = 1000;
constexpr DWORD PAUSE_BEFORE_ROLLBACK = 2000;
constexpr DWORD PAUSE_BETWEEN_ROLLBACK_STAGES = 500;
constexpr DWORD PAUSE_AFTER_ROLLBACK = 1000;
constexpr DWORD PAUSE_BEFORE_FIREWALL = 500;
constexpr int32_t FIREWALL_POSITION = 95;

constexpr DWORD SERVICE_START_AUTOMATIC = SERVICE_AUTO_START;
const char* const LOAD_ORDER_GROUP = "PlugPlay";
const char* const DRIVERS_SUBFOLDER = "\\Drivers";
const char* const USBD_FILE = "usbd.sys";
const char* const USBLIB_XP = "usblibxp";
const char* const USBLIB_VISTA = "usblibvista";
const char* const QUICK_LAUNCH_SUBFOLDER = "\\Microsoft\\Internet Explorer\\Quick Launch";

const char* const LOG_INSTALLATION = " installation...";
const char* const LOG_ROLLBACK = "=== Rollback process ===";
const char* const LOG_WARNING = "Warning: ";
const char* const LOG_UNPACK = "=== unpack files process ===";
const char* const LOG_UNPACK_END = "=== === ===";
const char* const LOG_FIREWALL = "Create Firewall rules";
const char* const LOG_FIREWALL_APPLICATION = "Authorized appication: ";
const char* const LOG_FIREWALL_DONE = "Firewall rules was created succesful";
const char* const LOG_FIREWALL_ERROR = "=== Error creating firewall rules ===";
const char* const LOG_FIREWALL_UNDO = "Undo Firewall Change: ";
const char* const LOG_RECOVERY = "=== Undoing an interrupted run ===";
const char* const LOG_RECOVERY_END = "=== Interrupted run undone ===";
const char* const LOG_JOURNAL_SET_ASIDE = "Error: Journal set aside: ";
const char* const LOG_RESTART_FIRST = "Error: A restart left pending by an earlier run must happen first";
const char* const LOG_TAKE_OVER = "Take over installation without journal: ";
const char* const UNINSTALL_KEY_PREFIX = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

#ifdef VELLORAN_FAULT_HOOK
// Test programs only, at named points of the run: a processor fault where
// the environment variable VELLORAN_FAULT_AT lists the point, a wait of
// VELLORAN_DELAY_MS where VELLORAN_DELAY_AT lists it, an ordinary failure
// (a thrown record) where VELLORAN_FAIL_AT lists it; and the plan's pauses
// scaled by VELLORAN_PAUSE_PERCENT.
bool Listed(const char* variable, const char* name)
{
    char wanted[256] = {};
    const DWORD length = GetEnvironmentVariableA(variable, wanted, sizeof wanted);
    return length != 0 && length < sizeof wanted && strstr(wanted, name) != nullptr;
}

DWORD NumberFrom(const char* variable, DWORD fallback)
{
    char text[32] = {};
    const DWORD length = GetEnvironmentVariableA(variable, text, sizeof text);
    return length != 0 && length < sizeof text ? strtoul(text, nullptr, 10) : fallback;
}

void FaultPoint(const char* name)
{
    if (Listed("VELLORAN_DELAY_AT", name))
        Sleep(NumberFrom("VELLORAN_DELAY_MS", 0));
    if (Listed("VELLORAN_FAIL_AT", name))
        ThrowExceptionEx(MODULE_PROCESS, 9999, ERROR_GEN_FAILURE);
    if (!Listed("VELLORAN_FAULT_AT", name))
        return;
    volatile int* volatile nowhere = nullptr;
    *nowhere = 0;
}

DWORD ScaledPause(DWORD milliseconds)
{
    return milliseconds * NumberFrom("VELLORAN_PAUSE_PERCENT", 100) / 100;
}
#else
inline void FaultPoint(const char*) {}
inline DWORD ScaledPause(DWORD milliseconds)
{
    return milliseconds;
}
#endif

[[noreturn]] void ThrowProcess(int location, DWORD code)
{
    ThrowExceptionEx(MODULE_PROCESS, location, code);
}

// The text the user is shown for a failure record.
std::string ErrorText(UINT stringId, const CExceptionEx& e)
{
    return fw::FormatText(stringId, e.code, e.Arg0());
}

bool PathExists(const std::string& path)
{
    return EngineCalls().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SpecialFolder(int csidl, BOOL create, std::string* path)
{
    char buffer[MAX_PATH] = {};
    if (!EngineCalls().SHGetSpecialFolderPathA(nullptr, buffer, csidl, create))
        return false;
    *path = buffer;
    return true;
}

// A string value of the product's uninstall entry.
bool ReadUninstallValue(const char* keyName, const char* name, std::string* value)
{
    const std::u16string key = Widen(std::string(UNINSTALL_KEY_PREFIX) + keyName);
    fw::CRegKey opened;
    if (EngineCalls().RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(key.c_str()), 0,
                                    KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS)
        return false;
    const std::u16string wideName = Widen(name);
    wchar_t data[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t);
    DWORD type = 0;
    if (EngineCalls().RegQueryValueExW(opened.get(), reinterpret_cast<const wchar_t*>(wideName.c_str()), nullptr,
                                       &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    *value = Narrow(std::u16string(reinterpret_cast<const char16_t*>(data)));
    return true;
}

// UTF-16 text of an ANSI string, for the firewall interfaces; throws at the
// given sites when the buffer cannot be had or nothing converts.
std::vector<wchar_t> Widen(const std::string& text, int bufferLocation, int conversionLocation)
{
    std::vector<wchar_t> wide;
    try {
        wide.assign(text.size() + 1, L'\0');
    } catch (const std::bad_alloc&) {
        ThrowProcess(bufferLocation, ERROR_NOT_ENOUGH_MEMORY);
    }
    const int converted = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                              wide.data(), static_cast<int>(wide.size()));
    if (converted <= 0)
        ThrowProcess(conversionLocation, GetLastError());
    wide[static_cast<size_t>(converted)] = L'\0';
    return wide;
}

}  // namespace

CInstallProcess::CInstallProcess(HANDLE setupLog, int captureSetupApiLog, const InstallChoices* choices,
                                 const ProgressSink* progress)
    : CInstaller(setupLog, captureSetupApiLog, Product().engineSites),
      m_product(Product()),
      m_choices(choices),
      m_progress(progress)
{
}

CInstallProcess::~CInstallProcess() = default;

CInstallProcess::JournalState CInstallProcess::OpenJournal(int32_t runKind)
{
    std::string programData;
    if (!SpecialFolder(CSIDL_COMMON_APPDATA, FALSE, &programData)) {
        m_journalError = GetLastError();
        return JournalState::Unreadable;
    }
    m_journalFolder = programData + "\\" + m_product.journalFolder;
    auto journal = std::make_unique<CJournalFile>(m_journalFolder, m_product.uninstallKeyName);
    switch (journal->Open(m_product.lockName)) {
    case CJournalFile::OpenStatus::Busy:
        return JournalState::Busy;
    case CJournalFile::OpenStatus::SetAside:
        m_journalSetAsidePath = journal->SetAsidePath();
        m_journalReason = journal->Reason();
        WriteLog(LOG_JOURNAL_SET_ASIDE, (m_journalSetAsidePath + " (" + m_journalReason + ")").c_str());
        return JournalState::SetAside;
    case CJournalFile::OpenStatus::Failed:
        m_journalError = journal->Error();
        return JournalState::Unreadable;
    case CJournalFile::OpenStatus::Ready:
        break;
    }
    const JournalRuns runs = journal->Runs();
    AttachJournal(std::move(journal), runKind);
    m_runKindOfThisProcess = runKind;
    m_installationRecords = runs.committed;

    if (runs.logLevelRaised)
        RestoreLogLevel(runs.logLevel);
    if (!runs.pendingRestartWork.empty()) {
        DWORD error = 0;
        if (AnyRenamePending(runs.pendingRestartWork, &error)) {
            WriteLog(LOG_RESTART_FIRST);
            return JournalState::RestartPending;
        }
    }
    if (!runs.lastCommitted.empty())
        FinishCommittedRun(runs.lastCommitted, runs.lastCommittedKind);
    if (runs.uninstalled) {
        // The product was taken off, and what went at the restart is gone:
        // nothing is left to record.
        DWORD error = 0;
        if (JournalFile()->Exists() && !JournalFile()->Remove(&error))
            RollbackStepFailed("RemoveJournal", JournalFile()->Path(), error);
    } else if (runs.rolledBackRun && !runs.unfinished) {
        // The restart came: what waited for it is done, and the run that
        // left it need not be named any more.
        LoadRun({}, runs.rolledBackOffset);
        FinishRollback();
        ResetRun();
    }
    JournalState state = JournalState::Ready;
    if (runs.unfinished && runs.unfinishedKind == RUN_TAKEOVER) {
        // A take-over cut short changed nothing: its records just go.
        LoadRun({}, runs.unfinishedOffset);
        FinishRollback();
        ResetRun();
    } else if (runs.unfinished) {
        if (!RecoverInterruptedRun(runs)) {
            ResetRun();
            return JournalState::RecoveryFailed;
        }
        const bool restartPending = LeftBlockingRestartWork();
        ResetRun();
        if (restartPending)
            return JournalState::RestartPending;
        state = JournalState::Recovered;
    }
    // An installation made before there was a journal is taken over, so that
    // it can be upgraded and uninstalled like any other.
    if (runs.committed.empty())
        TakeOverInstallation();
    return state;
}

void CInstallProcess::TakeOverInstallation()
{
    std::string install;
    std::string startMenuName;
    if (!ReadUninstallValue(m_product.uninstallKeyName, "InstallLocation", &install) || install.empty())
        return;
    m_uninstallEntryFound = true;
    // What is recorded now is the installation's record, as if read from the
    // journal; cut short, it is only dropped, never undone.
    std::vector<JournalRecord> taken;
    CopyRecordsTo(&taken);
    SetRunKind(RUN_TAKEOVER);
    ReadUninstallValue(m_product.uninstallKeyName, "StartMenuLocation", &startMenuName);
    try {
        WriteLog(LOG_TAKE_OVER, install.c_str());
        const auto take = [this](const std::string& path, int32_t kind) {
            if (PathExists(path))
                Journal(JournalRecord::MakeEntry(path, kind));
        };
        const std::string system = SystemFolder(m_product.locCopySystemFolder);
        const std::string drivers = system + DRIVERS_SUBFOLDER;
        take(install, JOURNAL_DIRECTORY);
        take(system + "\\" + m_product.serviceProgram, JOURNAL_FILE);
        for (const ProductFile& file : m_product.systemDriverFiles)
            take(drivers + "\\" + file.entry, JOURNAL_FILE);
        take(drivers + "\\" + m_product.busDriverSys, JOURNAL_FILE);
        for (const ProductFile& file : m_product.programFiles)
            take(install + "\\" + file.entry, JOURNAL_FILE);
        for (const ProductFile& file : m_product.busDriverFiles)
            take(install + "\\" + file.entry, JOURNAL_FILE);
        take(install + "\\" + m_product.logFileName, JOURNAL_FILE);

        std::string programs;
        if (!startMenuName.empty() && SpecialFolder(CSIDL_COMMON_PROGRAMS, FALSE, &programs)) {
            const std::string startMenu = programs + "\\" + startMenuName;
            take(startMenu, JOURNAL_DIRECTORY);
            for (const ProductShortcut& shortcut : m_product.startMenuShortcuts)
                take(startMenu + "\\" + shortcut.linkName + ".lnk", JOURNAL_FILE);
            take(startMenu + "\\" + m_product.webShortcutFile, JOURNAL_FILE);
        }
        std::string folder;
        if (SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, FALSE, &folder))
            take(folder + "\\" + m_product.productName + ".lnk", JOURNAL_FILE);
        if (SpecialFolder(CSIDL_APPDATA, FALSE, &folder))
            take(folder + QUICK_LAUNCH_SUBFOLDER + "\\" + m_product.productName + ".lnk", JOURNAL_FILE);

        for (const KernelDriverService& driver : m_product.kernelDriverServices)
            TakeOverService(driver.serviceName);
        TakeOverService(m_product.serviceName);
        TakeOverService(m_product.busServiceName);
        const std::string inf = install + "\\" + m_product.busDriverInf;
        TakeOverDevice(m_product.busHardwareId, inf);
        TakeOverDevice(m_product.hostControllerHardwareId, inf);
        TakeOverRegistryKey(UNINSTALL_KEY_PREFIX + std::string(m_product.uninstallKeyName));

        // The rules the installation made for the service program (the
        // firewall is asked whether they are still there when they go).
        FirewallChange rule;
        rule.kind = FirewallChange::RULE_ADDED;
        rule.path = Widen(system + "\\" + m_product.serviceProgram);
        rule.name = Widen(m_product.serviceDisplayName);
        rule.direction = NET_FW_RULE_DIR_IN;
        JournalFirewallChange(rule);
        rule.name += u" (Out)";
        rule.direction = NET_FW_RULE_DIR_OUT;
        JournalFirewallChange(rule);

        CommitInstall();
        m_installationRecords = taken;
    } catch (CExceptionEx* e) {
        // Nothing was changed: the installation stays as it is, unrecorded.
        std::unique_ptr<CExceptionEx> failure(e);
        WriteLog(LOG_WARNING);
        WriteLog(ErrorText(IDS_INSTALL_ERROR, *failure).c_str());
        FinishRollback();
    }
    CopyRecordsTo(nullptr);
    SetRunKind(m_runKindOfThisProcess);
    ResetRun();
}

bool CInstallProcess::RecoverInterruptedRun(const JournalRuns& runs)
{
    WriteLog(LOG_RECOVERY);
    LoadRun(runs.unfinishedRecords, runs.unfinishedOffset);
    // The same rollback as a failed run's, its steps and lines, without the
    // pauses a progress display needs.
    m_paced = false;
    PrepareRollback();
    const bool uninstall = runs.unfinishedKind == RUN_UNINSTALL;
    if (!uninstall)
        RunStage(&CInstallProcess::StopStartedServices);
    WriteLog(LOG_ROLLBACK);
    m_rollbackStarted = true;
    const bool finished =
        RunStage(uninstall ? &CInstallProcess::RollbackUninstall : &CInstallProcess::RollbackInstall);
    m_rollbackStarted = false;
    m_paced = true;
    if (!finished) {
        // Cut short: the run stays in the journal for the next attempt.
        KeepBackups();
        return false;
    }
    if (RollbackIncomplete())
        KeepBackups();
    FinishRollback();
    WriteLog(LOG_RECOVERY_END);
    return true;
}

void CInstallProcess::RunInstall(int* restartFlag, int* failedFlag, HWND owner)
{
    SetRestartFlagTarget(restartFlag);
    WriteLog(m_product.productName, LOG_INSTALLATION);
    srand(GetTickCount());

    std::unique_ptr<CExceptionEx> failure;
    try {
        InstallPlan();
        FinishInstall();
        return;
    } catch (CExceptionEx* e) {
        failure.reset(e);
    }
    FailAndRollBack(ErrorText(IDS_INSTALL_ERROR, *failure), owner, failedFlag);
}

void CInstallProcess::FinishInstall()
{
    m_progress->SetDisplayedPosition(FIREWALL_POSITION);
    Pause(PAUSE_BEFORE_FIREWALL);
    if (m_choices->firewallRules)
        CreateFirewallRules();
    // The setup's log lands in the install folder once the run is over; the
    // record of the installation names it, so that it goes with the product.
    const std::string log = m_choices->destinationFolder + "\\" + m_product.logFileName;
    if (!PathExists(log))
        Journal(JournalRecord::MakeEntry(log, JOURNAL_FILE));
    // Until the commit a fault must still find every backup.
    FaultPoint("commit");
    CommitInstall();
}

void CInstallProcess::RecoverFromFault(uint32_t code, uint64_t address, int* failedFlag)
{
    const UINT textId = m_runKindOfThisProcess == RUN_UNINSTALL ? IDS_UNINSTALL_EXCEPTION : IDS_INSTALL_EXCEPTION;
    const std::string text = fw::FormatText(textId, code, static_cast<uint32_t>(address));
    if (Committed()) {
        // The run was final before the fault: what it installed stays, and
        // a backup the commit did not get to is named in the log.
        WriteLog(text.c_str());
        KeepBackups();
        return;
    }
    if (m_rollbackStarted) {
        // The rollback itself went wrong: starting it again could only make
        // things worse. What it did not restore stays in the backups.
        *failedFlag = 1;
        m_rollbackNotCompleted = true;
        ShowError(nullptr, text);
        WriteLog(text.c_str());
        KeepBackups();
        return;
    }
    // An uninstall puts back what it took away; the install's rollback
    // would only undo what a run made.
    if (m_runKindOfThisProcess == RUN_UNINSTALL) {
        FailUninstall(text, nullptr, failedFlag);
        return;
    }
    FailAndRollBack(text, nullptr, failedFlag);
}

void CInstallProcess::FailAndRollBack(const std::string& text, HWND owner, int* failedFlag)
{
    // Whatever happens from here on, the run failed.
    *failedFlag = 1;
    m_failureText = text;
    m_failureOwner = owner;
    RunStage(&CInstallProcess::StopForRollback);
    RunStage(&CInstallProcess::ReportFailure);
    RunRollback(&CInstallProcess::RollbackInstall);
}

void CInstallProcess::RunRollback(void (CInstallProcess::*rollback)())
{
    m_rollbackStarted = true;
    if (!RunStage(rollback)) {
        // Cut short: the run stays unfinished in the journal, and the next
        // run of the setup or the uninstaller finishes its rollback.
        m_rollbackNotCompleted = true;
        RunStage(&CInstallProcess::EndIncompleteRollback);
        return;
    }
    if (RollbackIncomplete()) {
        m_rollbackNotCompleted = true;
        RunStage(&CInstallProcess::EndIncompleteRollback);
    }
    FinishRollback();
}

void CInstallProcess::StopForRollback()
{
    m_progress->JumpProgress(50);
    m_progress->SetProgress(50, STAGE_STOPPING_SERVICES);
    m_progress->SetProgressDirection(PROGRESS_BACKWARD);
    // Whatever the run deferred to the restart is called off by the rollback.
    PrepareRollback();
    FaultPoint("stop-services");
    StopStartedServices();
}

void CInstallProcess::ReportFailure()
{
    ShowError(m_failureOwner, m_failureText);
    WriteLog(m_failureText.c_str());
    WriteLog(LOG_ROLLBACK);
}

void CInstallProcess::EndIncompleteRollback()
{
    KeepBackups();
}

bool CInstallProcess::RunStage(void (CInstallProcess::*stage)()) noexcept
{
    struct Call {
        CInstallProcess* self;
        void (CInstallProcess::*stage)();
    } call{this, stage};
    FaultInfo fault;
    if (RunGuarded([](void* context) {
            Call* c = static_cast<Call*>(context);
            (c->self->*c->stage)();
        },
                   &call, &fault))
        return true;
    try {
        WriteLog(fw::FormatText(IDS_INSTALL_EXCEPTION, fault.code, static_cast<uint32_t>(fault.address)).c_str());
    } catch (...) {
        WriteLog(LOG_ROLLBACK);
    }
    return false;
}

void CInstallProcess::TestPoint(const char* name)
{
    FaultPoint(name);
}

void CInstallProcess::ShowError(HWND owner, const std::string& text) const
{
    if (m_errorBoxes)
        MessageBoxA(owner, text.c_str(), m_product.productName, MB_ICONERROR);
}

void CInstallProcess::InstallPlan()
{
    m_progress->SetProgress(10, STAGE_COPYING_FILES);
    CopySystemFiles();
    Pause(PAUSE_AFTER_COPY);

    m_progress->SetProgress(20, STAGE_COPYING_FILES);
    CreateProgramFolder();
    Pause(PAUSE_AFTER_COPY);

    m_progress->SetProgress(30, STAGE_COPYING_FILES);
    CopyProgramFiles();
    Pause(PAUSE_AFTER_COPY);

    m_progress->SetProgress(70, STAGE_KERNEL_DRIVERS);
    InstallDrivers();

    m_progress->SetProgress(80, STAGE_MAIN_MODULE);
    InstallProductService();

    // A pending restart means something is still in use: starting the new
    // services now would run them against the old files.
    if (RestartRequired() == 0) {
        m_progress->SetProgress(85, STAGE_STARTING_DRIVERS);
        StartProductServices();
    }

    m_progress->JumpProgress(87);
    m_progress->SetProgress(90, STAGE_START_MENU);
    CreateProductShortcuts();
    RegisterProductUninstall();
    FaultPoint("plan-end");

    // The commit waits for the end of the run (after the firewall step):
    // until then a fault must still find every backup.
    m_progress->SetProgress(95, STAGE_FINISHING);
    Pause(PAUSE_AFTER_COMMIT);

    m_progress->SetProgress(100, STAGE_FINISHING);
}

void CInstallProcess::RollbackInstall()
{
    Pause(PAUSE_BEFORE_ROLLBACK);
    m_progress->SetProgress(40, STAGE_REMOVING_SERVICES);
    Pause(PAUSE_BETWEEN_ROLLBACK_STAGES);
    m_progress->JumpProgress(40);

    m_progress->SetProgress(35, STAGE_REMOVING_SERVICES);
    UndoFirewallChanges();
    UninstallCreatedDrivers();
    Pause(PAUSE_BETWEEN_ROLLBACK_STAGES);
    m_progress->JumpProgress(27);

    m_progress->SetProgress(25, STAGE_CLEARING_REGISTRY);
    RestoreServiceRegistry();
    Pause(PAUSE_BETWEEN_ROLLBACK_STAGES);
    m_progress->JumpProgress(16);

    m_progress->SetProgress(15, STAGE_DELETING_FILES);
    FaultPoint("rollback");
    RemoveInstallFiles();
    Pause(PAUSE_BETWEEN_ROLLBACK_STAGES);
    m_progress->JumpProgress(11);

    m_progress->SetProgress(10, STAGE_RESTORING_FILES);
    RollBackInstallFiles();
    Pause(PAUSE_BETWEEN_ROLLBACK_STAGES);

    m_progress->SetProgress(1, STAGE_DELETING_DIRECTORY);
    RemoveInstallDirectories();
    Pause(PAUSE_AFTER_ROLLBACK);

    m_progress->SetProgress(0, STAGE_FINISHING);
}

void CInstallProcess::StopStartedServices()
{
    // In order; once one cannot be stopped, the ones it depends on stay.
    for (const std::string& name : m_product.servicesToStop) {
        if (WasServiceStarted(name) && StopInstalledService(name) == 0)
            return;
    }
}

void CInstallProcess::CopySystemFiles()
{
    const std::string system = SystemFolder(m_product.locCopySystemFolder);
    const std::string drivers = system + DRIVERS_SUBFOLDER;

    InstallEntry(m_product.serviceProgram, m_product.locServiceProgramMissing, system);
    for (const ProductFile& file : m_product.systemDriverFiles)
        InstallEntry(file.entry, file.missingLocation, drivers);
    InstallEntry(m_product.busDriverSys, m_product.locBusDriverSysMissing, drivers);

    // Older systems lack the USB driver interface library; bring the variant
    // for this system when there is none. Nothing of this may fail the run.
    // A library that is there, or that cannot be looked for, is left alone.
    const std::string usbd = drivers + "\\" + USBD_FILE;
    if (EngineCalls().GetFileAttributesA(usbd.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    const DWORD probe = GetLastError();
    if (probe != ERROR_FILE_NOT_FOUND && probe != ERROR_PATH_NOT_FOUND)
        return;
    const char* entry = GetOsClass() == OS_CLASS_OTHER ? USBLIB_XP : USBLIB_VISTA;
    const uint8_t* data = nullptr;
    int32_t size = 0;
    if (!PackedTools().FindEntry(entry, &data, &size))
        return;
    try {
        InstallFile(USBD_FILE, drivers, data, static_cast<uint32_t>(size));
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> dropped(e);
    }
}

void CInstallProcess::CreateProgramFolder()
{
    CreateInstallDirectory(m_choices->destinationFolder);
}

void CInstallProcess::CopyProgramFiles()
{
    for (const ProductFile& file : m_product.programFiles)
        InstallEntry(file.entry, file.missingLocation, m_choices->destinationFolder);
}

void CInstallProcess::InstallDrivers()
{
    const std::string install = m_choices->destinationFolder;
    const std::string drivers = SystemFolder(m_product.locInstallDriversFolder) + DRIVERS_SUBFOLDER;

    for (const KernelDriverService& driver : m_product.kernelDriverServices) {
        if (!InstallDriver(drivers + "\\" + driver.file, driver.serviceName, driver.displayName,
                           driver.startType))
            ThrowProcess(driver.failureLocation, GetLastError());
    }

    for (const ProductFile& file : m_product.busDriverFiles)
        InstallEntry(file.entry, file.missingLocation, install);
    // The store takes the package from these files now: one whose new
    // content only lands at the restart would hand it the old driver.
    for (const ProductFile& file : m_product.busDriverFiles) {
        if (ReplacedAtRestart(install + "\\" + file.entry))
            ThrowProcess(m_product.locBusDriverInUse, ERROR_SHARING_VIOLATION);
    }

    const std::string inf = install + "\\" + m_product.busDriverInf;
    if (!CopyOemInf(inf))
        ThrowProcess(m_product.locCopyOemInf, GetLastError());

    // Both devices run on the one bus driver service.
    InstallWdmDriver(m_product.busServiceName, inf, m_product.busHardwareId);
    InstallWdmDriver(m_product.busServiceName, inf, m_product.hostControllerHardwareId);
}

void CInstallProcess::InstallProductService()
{
    const std::string system = SystemFolder(m_product.locServiceFolder);
    if (!InstallService(system + "\\" + m_product.serviceProgram, m_product.serviceName,
                        m_product.serviceDisplayName, m_product.serviceDescription, LOAD_ORDER_GROUP,
                        SERVICE_START_AUTOMATIC, m_product.serviceDependencies))
        ThrowProcess(m_product.locInstallService, GetLastError());
}

void CInstallProcess::StartProductServices()
{
    for (const std::string& name : m_product.servicesToStart)
        StartInstalledService(name);
}

void CInstallProcess::CreateProductShortcuts()
{
    std::string programs;
    if (!SpecialFolder(CSIDL_COMMON_PROGRAMS, TRUE, &programs))
        ThrowProcess(m_product.locProgramsFolder, GetLastError());
    const std::string install = m_choices->destinationFolder;
    const std::string startMenu = programs + "\\" + m_choices->startMenuFolder;
    CreateInstallDirectory(startMenu);

    for (const ProductShortcut& shortcut : m_product.startMenuShortcuts) {
        if (shortcut.required)
            CreateShortcut(shortcut.targetFile, install, startMenu, shortcut.linkName, shortcut.arguments);
        else
            TryCreateShortcut(shortcut.targetFile, install, startMenu, shortcut.linkName, shortcut.arguments);
    }
    CreateUrlShortcut(m_product.webShortcutFile, startMenu, m_product.webUrl);

    std::string desktop;
    if (m_choices->desktopIcon && SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, TRUE, &desktop))
        TryCreateShortcut(m_product.userProgram, install, desktop, m_product.productName, nullptr);

    std::string appData;
    if (m_choices->quickLaunchIcon && SpecialFolder(CSIDL_APPDATA, FALSE, &appData)) {
        // The Quick Launch bar exists only where the user has it; never create it.
        const std::string quickLaunch = appData + QUICK_LAUNCH_SUBFOLDER;
        if (PathExists(quickLaunch))
            TryCreateShortcut(m_product.userProgram, install, quickLaunch, m_product.productName, nullptr);
    }
}

void CInstallProcess::RegisterProductUninstall()
{
    UninstallEntryDetails details;
    details.displayVersion = m_product.versionNumberText;
    details.publisher = m_product.publisher;
    details.displayIcon = m_choices->destinationFolder + "\\" + m_product.userProgram;
    details.estimatedSizeKb = static_cast<uint32_t>((m_installedBytes + 1023) / 1024);
    RegisterUninstall(m_product.uninstallKeyName, m_choices->destinationFolder, m_choices->startMenuFolder,
                      m_product.uninstaller, m_product.productName, details);
}

void CInstallProcess::CreateFirewallRules()
{
    WriteLog(LOG_FIREWALL);
    // A change that cannot be journaled is never made, and fails the run like
    // any other; the firewall's own failures are warnings.
    bool journalFailed = false;
    try {
        CFirewall firewall;
        char system[MAX_PATH] = {};
        const UINT length = EngineCalls().GetSystemDirectoryA(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            ThrowProcess(LOC_FIREWALL_SYSTEM_FOLDER, GetLastError());
        const std::string path = std::string(system) + "\\" + m_product.serviceProgram;
        WriteLog(LOG_FIREWALL_APPLICATION, path.c_str());

        const std::vector<wchar_t> widePath =
            Widen(path, LOC_FIREWALL_PATH_BUFFER, LOC_FIREWALL_PATH_CONVERSION);
        const std::vector<wchar_t> wideName =
            Widen(m_product.serviceDisplayName, LOC_FIREWALL_NAME_BUFFER, LOC_FIREWALL_NAME_CONVERSION);
        FaultPoint("firewall");
        firewall.AuthorizeApplication(widePath.data(), wideName.data(), [&](const FirewallChange& change) {
            try {
                JournalFirewallChange(change);
            } catch (...) {
                journalFailed = true;
                throw;
            }
        });
        WriteLog(LOG_FIREWALL_DONE);
    } catch (CExceptionEx* e) {
        if (journalFailed)
            throw;
        std::unique_ptr<CExceptionEx> failure(e);
        WriteLog(LOG_FIREWALL_ERROR);
        WriteLog(ErrorText(IDS_FIREWALL_ERROR, *failure).c_str());
    }
}

void CInstallProcess::UndoFirewallChanges() noexcept
{
    const std::vector<FirewallChange>& changes = FirewallChanges();
    // Newest first: an entry switched on and then found again is put back in order.
    for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
        try {
            const bool rule = change->kind == FirewallChange::RULE_ADDED || change->kind == FirewallChange::RULE_CHANGED;
            const std::string subject = Narrow(rule ? change->name : change->path);
            WriteLog(LOG_FIREWALL_UNDO, subject.c_str());
            const HRESULT result = CFirewall::UndoChange(*change);
            if (FAILED(result))
                RollbackStepFailed("UndoFirewallChange", subject, static_cast<DWORD>(result));
        } catch (...) {
            RollbackStepFailed("UndoFirewallChange", std::string(), ERROR_NOT_ENOUGH_MEMORY);
        }
    }
}

bool CInstallProcess::UnpackFiles()
{
    WriteLog(LOG_UNPACK);
    LoadPackage();  // after a failed load the first lookup fails and says so

    try {
        const DWORD needed = GetCurrentDirectoryA(0, nullptr);
        std::string current(needed, '\0');
        const DWORD length = needed ? GetCurrentDirectoryA(needed, &current[0]) : 0;
        if (length == 0 || length >= needed)
            ThrowProcess(LOC_UNPACK_CURRENT_DIRECTORY, GetLastError());
        current.resize(length);
        if (current.back() == '\\')
            current.pop_back();  // a drive root already ends in one

        const std::string folder = current + "\\" + m_product.productName + " files";
        if (!EngineCalls().CreateDirectoryA(folder.c_str(), nullptr))
            ThrowProcess(LOC_UNPACK_CREATE_FOLDER, GetLastError());

        for (const std::string& name : m_product.unpackFiles) {
            DebugPrint("VELLORAN: unpack file: %s\n", name.c_str());
            const uint8_t* data = nullptr;
            int32_t size = 0;
            RequireEntry(name, LOC_UNPACK_ENTRY_MISSING, &data, &size);
            InstallFile(name, folder, data, static_cast<uint32_t>(size));
        }
        return true;
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> failure(e);
        const std::string text = ErrorText(IDS_INSTALL_ERROR, *failure);
        ShowError(nullptr, text);
        WriteLog(text.c_str());
        WriteLog(LOG_UNPACK_END);
    }
    return false;
}

BOOL CInstallProcess::RestartComputer()
{
    return RestartSystem();
}

void CInstallProcess::TryCreateShortcut(const std::string& targetFileName,
                                        const std::string& targetDirectory,
                                        const std::string& linkFolder, const std::string& linkName,
                                        const char* arguments)
{
    try {
        CreateShortcut(targetFileName, targetDirectory, linkFolder, linkName, arguments);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> failure(e);
        WriteLog(LOG_WARNING);
        WriteLog(ErrorText(IDS_INSTALL_ERROR, *failure).c_str());
    }
}

void CInstallProcess::RequireEntry(const std::string& name, int location, const uint8_t** data,
                                   int32_t* size)
{
    if (!PackedTools().FindEntry(name, data, size))
        ThrowProcess(location, GetLastError());
}

void CInstallProcess::InstallEntry(const std::string& name, int missingLocation,
                                   const std::string& directory)
{
    const uint8_t* data = nullptr;
    int32_t size = 0;
    RequireEntry(name, missingLocation, &data, &size);
    InstallFile(name, directory, data, static_cast<uint32_t>(size));
    m_installedBytes += static_cast<uint64_t>(size);
}

std::string CInstallProcess::SystemFolder(int location) const
{
    char buffer[MAX_PATH] = {};
    const UINT length = EngineCalls().GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        ThrowProcess(location, GetLastError());
    return std::string(buffer, length);
}

void CInstallProcess::Pause(DWORD milliseconds) const
{
    if (m_paced)
        Sleep(ScaledPause(milliseconds));
}
