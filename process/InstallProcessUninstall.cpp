// The product's uninstall: what the installation's record says it made is
// taken off again, each removal journaled with what puts it back, and a
// failure, a fault or a kill leaves the product installed.
#include "process/InstallProcess.h"

#include "engine/EngineText.h"
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"
#include "framework/Handles.h"
#include "framework/Text.h"
#include "process/FaultGuard.h"
#include "process/Firewall.h"
#include "product/ProductConfig.h"
#include "res/resource.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Throw sites of the uninstall (module MODULE_PROCESS).
constexpr int LOC_UNINSTALL_BACKUP_FOLDER = 905;

const char* const BACKUP_FOLDER = "\\backup";

const char* const LOG_UNINSTALL = " uninstall...";
const char* const LOG_UNINSTALL_ROLLBACK = "=== Putting the installation back ===";
const char* const LOG_FIREWALL_REMOVE = "Remove Firewall Entry: ";
const char* const LOG_FIREWALL_KEPT = "Warning: Firewall entry not removed: ";
const char* const LOG_CLOSE_PROGRAM = "Close Program: ";

// How long the product's programs get to close.
constexpr DWORD PROGRAMS_CLOSE_MS = 5000;

struct ProgramWindows {
    std::vector<std::string> programs;  // full paths, upper case
    std::vector<fw::CKernelHandle> processes;  // opened for waiting
    std::vector<DWORD> ids;
};

std::string Upper(std::string text)
{
    CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

BOOL CALLBACK CloseIfProgram(HWND window, LPARAM context)
{
    auto* found = reinterpret_cast<ProgramWindows*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == 0 || processId == GetCurrentProcessId())
        return TRUE;
    fw::CKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process.get())
        return TRUE;
    char image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    const bool named = QueryFullProcessImageNameA(process.get(), 0, image, &size) != FALSE;
    if (!named || std::find(found->programs.begin(), found->programs.end(), Upper(image)) == found->programs.end())
        return TRUE;
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (std::find(found->ids.begin(), found->ids.end(), processId) == found->ids.end()) {
        found->ids.push_back(processId);
        found->processes.push_back(std::move(process));
    }
    return TRUE;
}

std::string ErrorTextOf(const CExceptionEx& e)
{
    return fw::FormatText(IDS_UNINSTALL_ERROR, e.code, e.Arg0());
}

}  // namespace

bool CInstallProcess::ProductInstalled() const
{
    return !m_installationRecords.empty() || m_uninstallEntryFound;
}

void CInstallProcess::CloseProductPrograms(const std::string& folder)
{
    ProgramWindows found;
    const std::string install = Upper(folder);
    for (const char* program : {m_product.userProgram, m_product.consoleTool})
        found.programs.push_back(install + "\\" + Upper(program));
    EnumWindows(&CloseIfProgram, reinterpret_cast<LPARAM>(&found));
    for (size_t i = 0; i < found.processes.size(); ++i) {
        char id[16];
        snprintf(id, sizeof id, "%lu", static_cast<unsigned long>(found.ids[i]));
        WriteLog(LOG_CLOSE_PROGRAM, id);
    }
    // One deadline for all of them, however many there are.
    const ULONGLONG deadline = GetTickCount64() + PROGRAMS_CLOSE_MS;
    for (const fw::CKernelHandle& process : found.processes) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        WaitForSingleObject(process.get(), static_cast<DWORD>(deadline - now));
    }
}

void CInstallProcess::RunUninstall(int* restartFlag, int* failedFlag, HWND owner)
{
    SetRestartFlagTarget(restartFlag);
    WriteLog(m_product.productName, LOG_UNINSTALL);
    std::unique_ptr<CExceptionEx> failure;
    try {
        UninstallPlan();
        return;
    } catch (CExceptionEx* e) {
        failure.reset(e);
    }
    FailUninstall(ErrorTextOf(*failure), owner, failedFlag);
}

void CInstallProcess::FailUninstall(const std::string& text, HWND owner, int* failedFlag)
{
    *failedFlag = 1;
    m_failureText = text;
    m_failureOwner = owner;
    // Everything the uninstall left for the restart is called off by its rollback.
    PrepareRollback();
    RunStage(&CInstallProcess::ReportFailure);
    RunRollback(&CInstallProcess::RollbackUninstall);
}

void CInstallProcess::UninstallPlan()
{
    const InstallationRecord record = ReadInstallationRecord(m_installationRecords);
    // The program folder is where the record says the user program is.
    std::string programFolder;
    const std::string program = Upper("\\" + std::string(m_product.userProgram));
    for (const std::string& file : record.files) {
        if (file.size() > program.size() && Upper(file.substr(file.size() - program.size())) == program)
            programFolder = file.substr(0, file.size() - program.size());
    }

    m_progress->SetProgress(10, STAGE_STOPPING_SERVICES);
    // The product's own service first, then whatever else of it runs.
    std::vector<std::string> services = m_product.servicesToStop;
    for (const std::string& name : record.services) {
        if (std::find(services.begin(), services.end(), name) == services.end())
            services.push_back(name);
    }
    for (const std::string& name : services) {
        if (std::find(record.services.begin(), record.services.end(), name) != record.services.end())
            StopServiceForRemoval(name);
    }
    if (!programFolder.empty())
        CloseProductPrograms(programFolder);
    TestPoint("services-stopped");

    // The devices first in every case, then the packages they used.
    m_progress->SetProgress(25, STAGE_REMOVING_DEVICES);
    const std::string backups = m_journalFolder + BACKUP_FOLDER;
    Journal(JournalRecord::MakeEntry(backups, JOURNAL_DIRECTORY));
    if (!EngineCalls().CreateDirectoryA(backups.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowExceptionEx(MODULE_PROCESS, LOC_UNINSTALL_BACKUP_FOLDER, GetLastError());
    for (const auto& device : record.devices)
        RemoveDevices(device.first, device.second);
    for (const std::string& package : record.packages)
        RemoveDriverPackage(package, backups);

    m_progress->SetProgress(45, STAGE_REMOVING_SERVICES);
    // The product's service before the drivers it depends on.
    for (const std::string& name : services) {
        if (std::find(record.services.begin(), record.services.end(), name) != record.services.end())
            RemoveService(name);
    }
    for (const FirewallChange& change : record.firewall) {
        const bool rule = change.kind == FirewallChange::RULE_ADDED;
        WriteLog(LOG_FIREWALL_REMOVE, Narrow(rule ? change.name : change.path).c_str());
        JournalFirewallRemoval(change);
        // An entry the firewall keeps is a warning, as its creation was.
        const HRESULT result = CFirewall::UndoChange(change);
        if (FAILED(result))
            WriteLog(LOG_FIREWALL_KEPT, Narrow(rule ? change.name : change.path).c_str());
    }
    TestPoint("services-removed");

    m_progress->SetProgress(70, STAGE_REMOVING_FILES);
    for (const std::string& file : record.files)
        RemoveInstalledFile(file, backups);
    // Deepest first: a folder inside another sorts after it.
    for (auto folder = record.directories.rbegin(); folder != record.directories.rend(); ++folder)
        RemoveInstalledDirectory(*folder);
    TestPoint("files-removed");

    // The record and the uninstall entry go last.
    m_progress->SetProgress(90, STAGE_CLEARING_REGISTRY);
    for (const std::string& key : record.registryKeys)
        RemoveRegistryKey(key);
    TestPoint("commit");
    m_progress->SetProgress(100, STAGE_UNINSTALL_DONE);
    CommitUninstall();
}

void CInstallProcess::RollbackUninstall()
{
    m_progress->SetProgressDirection(PROGRESS_BACKWARD);
    m_progress->SetProgress(0, STAGE_PUTTING_BACK);
    WriteLog(LOG_UNINSTALL_ROLLBACK);
    TestPoint("rollback");
    RestoreRemovedDirectories();
    RollBackInstallFiles();
    CancelScheduledRemovals();
    RecreateRemovedServices();
    RestoreRemovedPackages();
    RecreateRemovedDevices();
    // After the devices: the driver installation of a device made again
    // writes its service's configuration from the INF.
    RestoreServiceRegistry();
    // The firewall's entries again, as the installation made them.
    std::vector<std::u16string> paths;
    for (const FirewallChange& change : RemovedFirewallEntries()) {
        if (std::find(paths.begin(), paths.end(), change.path) != paths.end())
            continue;
        paths.push_back(change.path);
        try {
            CFirewall firewall;
            const std::u16string name = Widen(m_product.serviceDisplayName);
            firewall.AuthorizeApplication(reinterpret_cast<const WCHAR*>(change.path.c_str()),
                                          reinterpret_cast<const WCHAR*>(name.c_str()));
        } catch (CExceptionEx* e) {
            RollbackStepFailed("RestoreFirewallEntry", Narrow(change.path), e->code);
            delete e;
        }
    }
    RestartStoppedServices();
    // What the uninstall made for itself: copies, and the backup folder.
    RemoveInstallFiles();
    RemoveInstallDirectories();
}
