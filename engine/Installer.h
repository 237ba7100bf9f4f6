// The installer engine: the one object through which the setup changes the
// machine. Every change is journaled in memory so that a failed run can be
// rolled back; a successful run commits (drops the backups).
#pragma once

#include "engine/ExceptionEx.h"
#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CPackedTools;
class CSetupLogApi;

// Kinds of m_journal entries and the value of m_startedServices entries.
enum : int32_t {
    JOURNAL_DIRECTORY = 0,
    JOURNAL_FILE = 1,
    JOURNAL_REGISTRY_KEY = 2,      // "HKLM\" + a key this run created
    JOURNAL_SERVICE_STARTED = 3,
    JOURNAL_SERVICE = 4,
    JOURNAL_PNP_DEVICE = 5,
    JOURNAL_DRIVER_PACKAGE = 6,    // an INF this run added to the driver store
};

// Operating-system classes the install plan chooses payload variants by.
enum : int32_t {
    OS_CLASS_UNKNOWN = -1,
    OS_CLASS_OTHER = 5,
    OS_CLASS_NT6_WORKSTATION = 6,
    OS_CLASS_NT6_SERVER = 8,
};

// The deliverables number the engine's throw sites differently; the product
// configuration says by how much, the engine only adds.
struct EngineSiteShift {
    int creation = 0;   // added to the locations of the creation checks
    int operation = 0;  // added to every other engine location
};

// One registry value of a service key, as read before the run changed it.
struct SavedRegistryValue {
    std::string name;
    std::string data;  // binary-safe: the value's bytes
    DWORD type = 0;
};

// Byte-wise ordered maps (std::string compares as unsigned bytes, shorter
// first on a common prefix), case-sensitive.
using JournalMap = std::map<std::string, int32_t>;
using BackupMap = std::map<std::string, std::string>;
using SavedServiceMap = std::map<std::string, std::vector<SavedRegistryValue>>;
using PathSet = std::set<std::string>;

class CInstaller {
public:
    // Throws CExceptionEx (module 19) when a creation check fails.
    CInstaller(HANDLE setupLog, int captureSetupApiLog, EngineSiteShift shift = {});
    virtual ~CInstaller();

    CInstaller(const CInstaller&) = delete;
    CInstaller& operator=(const CInstaller&) = delete;

    // --- core ---
    void WriteLog(const char* message, const char* text = nullptr);
    int32_t GetOsClass() const { return m_osClass; }
    int32_t LoadPackage();  // the reader's PackageStatus after reading
    CPackedTools& PackedTools() const { return *m_pPackedTools; }
    int RestartRequired() const { return *m_pRestartRequired; }
    // Only after a run that succeeded: the backups go, the change is final.
    void CommitInstall();
    // Before the failure path stops services and rolls back: every restart
    // the run asked for so far is undone by the rollback, so the flag starts
    // again from 0 and only what the rollback itself defers sets it.
    void PrepareRollback();
    // When the rollback cannot finish: the backups stay on disk for the
    // user, each written to the log with its target.
    void KeepBackups();

    // --- files and directories ---
    void InstallFile(const std::string& fileName, const std::string& directory, const void* data,
                     uint32_t size);
    void CreateInstallDirectory(const std::string& path);
    void RemoveInstallFiles();
    void RollBackInstallFiles();
    void RemoveInstallDirectories();

    // --- services and kernel drivers ---
    int InstallDriver(const std::string& binaryPath, const std::string& serviceName,
                      const std::string& displayName, DWORD startType);
    int InstallService(const std::string& binaryPath, const std::string& serviceName,
                       const std::string& displayName, const std::string& description,
                       const std::string& loadOrderGroup, DWORD startType,
                       const std::vector<std::string>& dependencies);
    int StartInstalledService(const std::string& serviceName);
    int StopInstalledService(const std::string& serviceName);
    bool WasServiceStarted(const std::string& serviceName) const;
    int UninstallService(const std::string& serviceName);
    void SaveServiceRegistry(const std::string& serviceName);
    // Undoes registry changes: saved keys are put back exactly (services also
    // in the Service Control Manager), keys the run created are deleted.
    void RestoreServiceRegistry();

    // --- Plug and Play drivers ---
    void InstallWdmDriver(const std::string& serviceName, const std::string& infPath,
                          const std::string& hardwareId);
    void UninstallWdmDriver(const std::string& hardwareId);
    int CopyOemInf(const std::string& infPath);
    void UninstallDriverPackage(const std::string& storedInfPath);
    void UninstallCreatedDrivers();

    // --- shortcuts, uninstall registration, RunOnce, restart ---
    void CreateShortcut(const std::string& targetFileName, const std::string& targetDirectory,
                        const std::string& linkFolder, const std::string& linkName,
                        const char* arguments);
    void CreateUrlShortcut(const std::string& fileName, const std::string& folder,
                           const std::string& url);
    void RegisterUninstall(const std::string& keyName, const std::string& installDirectory,
                           const std::string& startMenuText, const std::string& uninstallerFileName,
                           const std::string& displayName);
    void EnsureRunOnceKey();
    BOOL RestartSystem();

    // --- read access for the install process and for tests ---
    const JournalMap& Journal() const { return m_journal; }
    const JournalMap& StartedServices() const { return m_startedServices; }
    const BackupMap& Backups() const { return m_backups; }
    const SavedServiceMap& SavedServiceValues() const { return m_savedServiceValues; }
    const EngineSiteShift& SiteShift() const { return m_shift; }

protected:
    // Where operations record that a restart is required.
    void SetRestartFlagTarget(int* target) { m_pRestartRequired = target; }
    // Sets the restart-required flag and writes the reboot warning line.
    void SetRestartRequired();
    // Throws a record of this engine (module 19) for a site of the operations.
    [[noreturn]] void ThrowAt(int location, DWORD code) const;
    // The record for a site of the operations, for callers that return it.
    std::unique_ptr<CExceptionEx> ErrorAt(int location, DWORD code) const;

private:
    bool IsUserAdmin();
    void DetectOsClass();
    std::string MakeTempFileName(const std::string& fileName, const std::string& directory);
    // Backs the target up unless this run already did (the first backup
    // holds the state before the run) or created it; false when it did not
    // need one. Throws at the backup site when the copy fails.
    bool BackupFile(const std::string& fileName, const std::string& directory);
    // Snapshot of a key's values below HKEY_LOCAL_MACHINE; the first one of a
    // run wins. A key that does not exist gives none.
    void SaveRegistryValues(const std::string& subkey);
    // The registry key below HKEY_LOCAL_MACHINE is saved when it exists and
    // journaled for deletion when the run is about to create it.
    void SaveOrJournalRegistryKey(const std::string& subkey);
    // Pending replacements this run scheduled for the temporary file are
    // taken back out of the restart's rename list.
    void CancelPendingReplacement(const std::string& temp);
    // The files the driver store holds now (INFs, their compiled forms, catalogs).
    PathSet DriverStoreFiles() const;
    // Journals what appeared in the driver store since `before`.
    void JournalNewDriverStoreFiles(const PathSet& before);
    // Backs up a catalog of the INF's name already in the catalog store, which
    // handing the INF to the store would overwrite.
    void BackupStoredCatalog(const std::string& infPath);
    int InstallServiceEntry(bool kernelDriver, const std::string& binaryPath,
                            const std::string& serviceName, const std::string& displayName,
                            const std::string* description, const std::string* loadOrderGroup,
                            DWORD startType, const std::vector<std::string>* dependencies);
    enum class DeviceSearch { Found, Absent, Failed };
    DeviceSearch FindDeviceByHardwareId(const std::string& hardwareId, DWORD* error);
    void SaveDeviceDriverKeys(const std::string& hardwareId);
    std::unique_ptr<CExceptionEx> CreateRootDevice(const std::string& hardwareId,
                                                   const std::string& infPath, BOOL* restart);

    int* m_pRestartRequired = nullptr;
    int32_t m_osClass = OS_CLASS_UNKNOWN;
    std::unique_ptr<CPackedTools> m_pPackedTools;
    std::unique_ptr<CSetupLogApi> m_pSetupLog;
    JournalMap m_journal;
    JournalMap m_startedServices;
    BackupMap m_backups;
    // Backed-up targets this run has not changed itself: their new content
    // only waits for the restart in a temporary file.
    PathSet m_deferredOnly;
    // Temporary files this run scheduled to replace their target at the restart.
    PathSet m_pendingReplacements;
    SavedServiceMap m_savedServiceValues;
    fw::CServiceHandle m_hSCManager;
    int m_restartRequired = 0;
    EngineSiteShift m_shift;
};

// Diagnostic output for a debugger: printf-style into 512 bytes (at most 511
// characters), sent to OutputDebugStringA, never to the setup log.
void DebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
