// The installer engine: the one object through which the setup changes the
// machine. Every change is journaled before it is made, so that a failed run
// can be rolled back; a successful run commits (drops the backups).
#pragma once

#include "engine/ExceptionEx.h"
#include "engine/JournalRecord.h"
#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class CJournalFile;
class CPackedTools;
class CSetupLogApi;
struct JournalRuns;

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

// Byte-wise ordered maps (std::string compares as unsigned bytes, shorter
// first on a common prefix), case-sensitive.
using JournalMap = std::map<std::string, int32_t>;
using BackupMap = std::map<std::string, std::string>;
using SavedServiceMap = std::map<std::string, std::vector<SavedRegistryValue>>;
using PathSet = std::set<std::string>;

// Where a run stands with the restart's rename list: what it found there
// before its first change and what it left there after its last one, so that
// a rollback that finds the list as the run left it can put back exactly
// what was there before.
struct PendingRenameState {
    bool touched = false;
    bool existedBefore = false;
    std::string bytesBefore;
    bool existsAfter = false;
    std::string bytesAfter;
    std::vector<RenamePair> scheduled;  // every pair of this run still in the list
};

class CInstaller {
public:
    // Throws CExceptionEx (module 19) when a creation check fails.
    CInstaller(HANDLE setupLog, int captureSetupApiLog, EngineSiteShift shift = {});
    // Never commits and never throws: what a run that neither succeeded nor
    // finished its rollback leaves is named in the log.
    virtual ~CInstaller();

    CInstaller(const CInstaller&) = delete;
    CInstaller& operator=(const CInstaller&) = delete;

    // --- core ---
    void WriteLog(const char* message, const char* text = nullptr) noexcept;
    int32_t GetOsClass() const { return m_osClass; }
    int32_t LoadPackage();  // the reader's PackageStatus after reading
    CPackedTools& PackedTools() const { return *m_pPackedTools; }
    int RestartRequired() const { return *m_pRestartRequired; }
    // Only after a run that succeeded: from its first step on the run is
    // final; then the backups go. A backup that cannot be deleted now is
    // deleted at the restart.
    void CommitInstall();
    bool Committed() const { return m_committed; }
    // What the commit of an earlier run was to delete, where that run ended
    // before it could: its backups, and of an uninstall, the copies and
    // folders it made. A file in use goes at the restart.
    void FinishCommittedRun(const std::vector<JournalRecord>& records, int32_t runKind) noexcept;
    // Before the failure path stops services and rolls back: every restart
    // the run asked for so far is undone by the rollback, so the flag starts
    // again from 0 and only what the rollback itself defers sets it.
    void PrepareRollback();
    // When the rollback cannot finish: the run's own replacements waiting for
    // the restart are called off (what cannot be, sets the restart flag), and
    // the backups stay on disk for the user, each named in the log with its
    // target.
    void KeepBackups() noexcept;
    // True once a rollback step could not do all of its work.
    bool RollbackIncomplete() const { return m_rollbackIncomplete; }

    // --- files and directories ---
    void InstallFile(const std::string& fileName, const std::string& directory, const void* data,
                     uint32_t size);
    void CreateInstallDirectory(const std::string& path);
    void RemoveInstallFiles() noexcept;
    void RollBackInstallFiles() noexcept;
    void RemoveInstallDirectories() noexcept;

    // --- services and kernel drivers ---
    int InstallDriver(const std::string& binaryPath, const std::string& serviceName,
                      const std::string& displayName, DWORD startType);
    int InstallService(const std::string& binaryPath, const std::string& serviceName,
                       const std::string& displayName, const std::string& description,
                       const std::string& loadOrderGroup, DWORD startType,
                       const std::vector<std::string>& dependencies);
    int StartInstalledService(const std::string& serviceName);
    int StopInstalledService(const std::string& serviceName) noexcept;
    bool WasServiceStarted(const std::string& serviceName) const;
    int UninstallService(const std::string& serviceName) noexcept;
    // Throws when the service's values cannot be read: without them the
    // change could not be undone.
    void SaveServiceRegistry(const std::string& serviceName);
    // Undoes registry changes: saved keys are put back exactly (services also
    // in the Service Control Manager), keys the run created are deleted.
    void RestoreServiceRegistry() noexcept;

    // --- Plug and Play drivers ---
    void InstallWdmDriver(const std::string& serviceName, const std::string& infPath,
                          const std::string& hardwareId);
    void UninstallWdmDriver(const std::string& hardwareId) noexcept;
    int CopyOemInf(const std::string& infPath);
    void UninstallDriverPackage(const std::string& storedInfPath) noexcept;
    void UninstallCreatedDrivers() noexcept;

    // --- shortcuts, uninstall registration, RunOnce, restart ---
    void CreateShortcut(const std::string& targetFileName, const std::string& targetDirectory,
                        const std::string& linkFolder, const std::string& linkName,
                        const char* arguments);
    void CreateUrlShortcut(const std::string& fileName, const std::string& folder,
                           const std::string& url);
    // What Programs and Features shows, and what deployment tools read.
    struct UninstallEntryDetails {
        std::string displayVersion;
        std::string publisher;
        std::string displayIcon;
        uint32_t estimatedSizeKb = 0;
    };
    void RegisterUninstall(const std::string& keyName, const std::string& installDirectory,
                           const std::string& startMenuText, const std::string& uninstallerFileName,
                           const std::string& displayName, const UninstallEntryDetails& details);
    void EnsureRunOnceKey();
    BOOL RestartSystem();

    // --- the journal on disk ---
    // From now on every change is written ahead to this journal, through to
    // the disk, before it is made; the run's records start with its first
    // change. `runKind`: RUN_INSTALL or RUN_UNINSTALL.
    void AttachJournal(std::unique_ptr<CJournalFile> journal, int32_t runKind);
    CJournalFile* JournalFile() const { return m_pJournalFile.get(); }
    // What the run's records say it is, from its first record on.
    void SetRunKind(int32_t runKind) { m_runKind = runKind; }
    // The SetupAPI log capture ("-advlog") for a run with a journal: it
    // starts with the run's first change, its raised level journaled.
    void EnableSetupApiCapture() { m_captureWanted = true; }
    // A SetupAPI logging level an earlier run raised and never put back.
    void RestoreLogLevel(const JournalRecord& raised) noexcept;
    // Reads the records of a run into the journals in memory: its rollback
    // (or the uninstaller's picture of what is installed) works from them.
    // `offset`: where the run's records start in the journal, or 0 for
    // records that are not to be taken out again.
    void LoadRun(const std::vector<JournalRecord>& records, uint64_t offset);
    // After a rollback that ran to its end: the run's records are taken out
    // of the journal again (with the journal itself, if the run made it), or,
    // where the rollback left restores or deletions for the restart, the run
    // stays named as rolled back so that no later run starts before it.
    void FinishRollback() noexcept;
    // Forgets the journals in memory, for a new run in the same process.
    void ResetRun() noexcept;
    // Whether this run left restores or deletions for the restart.
    bool LeftBlockingRestartWork() const { return m_blockingRestartWork; }
    // Whether the restart's rename list still holds any of these pairs;
    // false also when it cannot be read (then the restart is no proof).
    bool AnyRenamePending(const std::vector<RenamePair>& pairs, DWORD* error) const;

    // --- taking an installation off again (the uninstaller) ---
    // What the committed runs of a journal say the installation made.
    struct InstallationRecord {
        PathSet files;
        PathSet directories;
        std::vector<std::string> services;
        std::map<std::string, std::string> devices;  // hardware id: the INF that installs its driver
        PathSet packages;                            // the store's INFs, by their published paths
        std::vector<std::string> registryKeys;       // below HKEY_LOCAL_MACHINE
        std::vector<FirewallChange> firewall;        // the entries it added
        bool Empty() const;
    };
    static InstallationRecord ReadInstallationRecord(const std::vector<JournalRecord>& committed);
    // Each journaled before it is made, and undone by putting the thing
    // back; each throws when it cannot be done.
    void StopServiceForRemoval(const std::string& name);
    void RemoveDevices(const std::string& hardwareId, const std::string& infPath);
    void RemoveDriverPackage(const std::string& publishedInf, const std::string& copyFolder);
    void RemoveService(const std::string& name);
    // Moved aside into `backupFolder`; a file in use is copied there and goes
    // at the restart.
    void RemoveInstalledFile(const std::string& path, const std::string& backupFolder);
    // Only an empty folder goes (or, when what is left goes at the restart,
    // it goes then too); anything the user put there stays.
    void RemoveInstalledDirectory(const std::string& path);
    void RemoveRegistryKey(const std::string& subkey);
    void JournalFirewallRemoval(const FirewallChange& change);
    const std::vector<FirewallChange>& RemovedFirewallEntries() const { return m_removedFirewall; }
    // The uninstall's rollback steps: they put back what it took away.
    void RestoreRemovedDirectories() noexcept;
    void CancelScheduledRemovals() noexcept;
    void RecreateRemovedServices() noexcept;
    void RestoreRemovedPackages() noexcept;
    void RecreateRemovedDevices() noexcept;
    void RestartStoppedServices() noexcept;
    // The uninstall is final: the backups go, and the journal with them
    // unless files still go at the restart (which no later run may precede).
    void CommitUninstall();
    // The uninstaller's own program runs while the uninstall takes the
    // product off, so it cannot be deleted: where it is a file of the
    // installation it is moved into `folder`, the uninstaller's own, instead
    // of among the backups, and the commit leaves it there for
    // DeleteLeftoversAtRestart.
    void SetRunningUninstaller(const std::string& program, const std::string& folder);
    // Files and folders of the uninstaller itself, deleted at the restart
    // after its run: nobody needs to wait for that restart, nor is one asked
    // for. Not journaled: the run is over and nothing of this is undone.
    // False (logged) when the restart's list cannot be edited.
    bool DeleteLeftoversAtRestart(const std::vector<std::string>& paths) noexcept;

    // --- the firewall entries a run made, for the install process to undo ---
    void JournalFirewallChange(const FirewallChange& change);
    const std::vector<FirewallChange>& FirewallChanges() const { return m_firewallChanges; }

    // Whether the run's new content for `target` only replaces it at the restart.
    bool ReplacedAtRestart(const std::string& target) const;

    // --- read access for the install process and for tests ---
    const JournalMap& Journal() const { return m_journal; }
    const JournalMap& StartedServices() const { return m_startedServices; }
    const BackupMap& Backups() const { return m_backups; }
    const SavedServiceMap& SavedServiceValues() const { return m_savedServiceValues; }
    const PendingRenameState& PendingRenames() const { return m_renames; }
    const EngineSiteShift& SiteShift() const { return m_shift; }

protected:
    // Where operations record that a restart is required.
    void SetRestartFlagTarget(int* target) { m_pRestartRequired = target; }
    // Sets the restart-required flag and writes the reboot warning line.
    void SetRestartRequired() noexcept;
    // Throws a record of this engine (module 19) for a site of the operations.
    [[noreturn]] void ThrowAt(int location, DWORD code) const;
    // The record for a site of the operations, for callers that return it.
    std::unique_ptr<CExceptionEx> ErrorAt(int location, DWORD code) const;
    // A rollback step that could not do its work: logged with its error,
    // and the run's end says the rollback was not completed.
    void RollbackStepFailed(const char* step, const std::string& subject, DWORD error) noexcept;

    // For an installation made without a journal: what of it is on the
    // machine is recorded as made by this run, so that it can be uninstalled
    // and rolled back like any other.
    void TakeOverService(const std::string& name);
    // `infPath`: the INF the device is made from again when its removal is undone.
    void TakeOverDevice(const std::string& hardwareId, const std::string& infPath);
    void TakeOverRegistryKey(const std::string& subkey);

    // Journals a change before it is made, then notes it in the run's
    // journals in memory. Throws (the change must then not be made) when the
    // journal cannot be written.
    void Journal(const JournalRecord& record);
    // Where every record journaled from now on is copied as well (nullptr: nowhere).
    void CopyRecordsTo(std::vector<JournalRecord>* copy) { m_recordCopy = copy; }
    // Notes a record in the journals in memory (also when an earlier run's
    // records are read back).
    void Apply(const JournalRecord& record);

private:
    bool IsUserAdmin();
    void DetectOsClass();
    std::string MakeTempFileName(const std::string& fileName, const std::string& directory);
    // Backs the target up unless this run already did (the first backup
    // holds the state before the run) or created it; false when it did not
    // need one. Throws at the backup site when the copy fails.
    bool BackupFile(const std::string& fileName, const std::string& directory);
    // Snapshot of a key's values below HKEY_LOCAL_MACHINE, exactly as stored;
    // false when the key does not exist. Throws at `location` when the key
    // cannot be read.
    bool ReadKeyValues(const std::string& subkey, std::vector<SavedRegistryValue>* values, int location);
    // The first snapshot of a run is the state before it.
    void SaveRegistryValues(const std::string& subkey, int location);
    // The registry key below HKEY_LOCAL_MACHINE is saved when it exists and
    // journaled for deletion when the run is about to create it.
    void SaveOrJournalRegistryKey(const std::string& subkey);

    // The restart's rename list, edited by the engine itself with the wide
    // calls so that every other program's entries stay byte for byte.
    // Schedule appends this run's pairs (throws at `location`): replacements
    // of the run's own, or work its rollback or commit leaves for the
    // restart. Cancel takes pairs out again and returns the error when it
    // cannot.
    enum class RenameRole {
        Replacement,     // a run's own new content, called off by its rollback
        Removal,         // an uninstall's file in use, called off by its rollback
        RestartWork,     // a rollback's restore or deletion: later runs wait for the restart
        Cleanup,         // a commit's leftover backup: nobody needs to wait for it
    };
    void ScheduleRenames(const std::vector<RenamePair>& pairs, int location, RenameRole role);
    DWORD CancelRenames(const std::vector<RenamePair>& pairs) noexcept;
    // Best effort for the rollback and the commit: the file goes at the
    // restart; false (logged) when even that cannot be arranged.
    bool DeleteAtRestart(const std::string& path, bool blocking = true) noexcept;
    bool MoveAtRestart(const std::string& from, const std::string& to) noexcept;
    // Calls off the replacements waiting for the restart whose source is `temp`.
    DWORD CancelReplacementsFrom(const std::string& temp) noexcept;

    // The driver store: the package a run added is known by the name the
    // store gives it; only that package, its compiled form, its catalog and a
    // catalog folder the run made are journaled.
    struct StoreState {
        bool catalogFolderExisted = false;
        bool catalogExisted = false;
        std::string catalogName;   // the INF's CatalogFile, empty without
        std::string catalogFolder; // where the store keeps catalogs
        PathSet infNames;          // the store's INFs, upper case, when listed
    };
    StoreState ReadStoreState(const std::string& infPath, bool listInfs, int location);
    void JournalPackageIntent(const std::string& infPath, const std::string& hardwareId, const StoreState& before);
    void JournalStoredPackage(const std::string& publishedInf, const StoreState& before);
    // A package handed to the store without its result journaled (a run
    // killed in between, or a failed look at the result): the store is asked
    // which package it holds for the INF, and one it did not have before
    // goes with the rollback.
    void ResolvePackageIntents() noexcept;
    // Backs up a catalog of the INF's name already in the catalog store, which
    // handing the INF to the store would overwrite.
    void BackupStoredCatalog(const StoreState& state);
    // The INF the device's driver key names, as a full path in the store.
    std::string InstalledInfOf(const std::string& hardwareId);

    int InstallServiceEntry(bool kernelDriver, const std::string& binaryPath,
                            const std::string& serviceName, const std::string& displayName,
                            const std::string* description, const std::string* loadOrderGroup,
                            DWORD startType, const std::vector<std::string>* dependencies);
    enum class ServiceState { Absent, Present };
    ServiceState QueryServiceExists(const std::string& name, int location);
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
    PendingRenameState m_renames;
    // The run's own replacements waiting for the restart.
    std::vector<RenamePair> m_replacements;
    SavedServiceMap m_savedServiceValues;
    std::vector<FirewallChange> m_firewallChanges;
    struct PackageIntent {
        std::string hardwareId;
        StoreState before;
    };
    std::map<std::string, PackageIntent> m_packageIntents;
    bool m_blockingRestartWork = false;
    // What an uninstall took away.
    std::vector<std::string> m_stoppedServices;
    std::map<std::string, std::string> m_removedDevices;
    std::map<std::string, std::string> m_removedPackages;
    std::vector<std::string> m_removedServices;
    PathSet m_removedDirectories;
    std::vector<RenamePair> m_removals;
    std::vector<FirewallChange> m_removedFirewall;
    std::string m_uninstallerProgram;
    std::string m_uninstallerFolder;
    unsigned m_backupCount = 0;
    std::vector<JournalRecord>* m_recordCopy = nullptr;
    std::unique_ptr<CJournalFile> m_pJournalFile;
    int32_t m_runKind = RUN_INSTALL;
    bool m_runBegun = false;
    uint64_t m_runStart = 0;
    bool m_journalHeldRuns = false;
    bool m_captureWanted = false;
    bool m_logLevelJournaled = false;
    fw::CServiceHandle m_hSCManager;
    int m_restartRequired = 0;
    bool m_committed = false;
    bool m_rollbackIncomplete = false;
    bool m_rollingBack = false;
    bool m_journalWarned = false;
    EngineSiteShift m_shift;
};

// Diagnostic output for a debugger: printf-style into 512 bytes (at most 511
// characters), sent to OutputDebugStringA, never to the setup log.
void DebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
