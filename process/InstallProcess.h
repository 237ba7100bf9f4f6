// The product's installer: the engine plus the install plan, its failure
// path with the paced rollback, the firewall step and the unpack-only run.
// What the plan installs comes from the product configuration.
#pragma once

#include "engine/Installer.h"
#include "process/ProgressSink.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct ProductConfig;

// The user's choices the plan reads; owned by the application.
struct InstallChoices {
    std::string destinationFolder;
    std::string startMenuFolder;
    int32_t desktopIcon = 1;
    int32_t quickLaunchIcon = 1;
    int32_t firewallRules = 1;
};

class CInstallProcess : public CInstaller {
public:
    // Throws whatever the engine's creation throws. choices and progress are
    // the application's and outlive this object.
    CInstallProcess(HANDLE setupLog, int captureSetupApiLog, const InstallChoices* choices,
                    const ProgressSink* progress);
    ~CInstallProcess() override;

    // What a run finds in the product's journal before it changes anything.
    enum class JournalState {
        Ready,           // nothing to undo
        Recovered,       // an interrupted run was rolled back first
        Busy,            // another run of the product holds the journal
        SetAside,        // the journal was not to be trusted: moved aside
        Unreadable,      // the journal can be neither read nor moved aside
        RestartPending,  // an earlier run's restores or deletions wait for the restart
        RecoveryFailed,  // the interrupted run could not be rolled back
    };
    // Takes the product's lock and opens its journal, before anything else
    // of the run: a run that was interrupted (killed, power lost) is rolled
    // back first, its services stopped, under a log heading of its own.
    JournalState OpenJournal(int32_t runKind);
    // Where a journal that was not to be trusted went, and why; or the error.
    const std::string& JournalSetAsidePath() const { return m_journalSetAsidePath; }
    const std::string& JournalReason() const { return m_journalReason; }
    DWORD JournalError() const { return m_journalError; }

    // --- taking the product off again (the uninstaller) ---
    // Whether there is an installation to take off: a record in the journal
    // (opened first) or the product's uninstall entry.
    bool ProductInstalled() const;
    // Removes what the installation holds, as its record says, and commits;
    // after a failure puts everything back and sets *failedFlag. The restart
    // flag is set when files still in use go at the restart.
    void RunUninstall(int* restartFlag, int* failedFlag, HWND owner);
    void UninstallPlan();
    void RollbackUninstall();
    // Asks the product's programs in `folder` to close (their windows get
    // the close message) and waits a little for them.
    void CloseProductPrograms(const std::string& folder);

    // After a failure: whether the rollback could not put everything back
    // (the log names what was kept).
    bool RollbackNotCompleted() const { return m_rollbackNotCompleted; }

    // Whether the installation's own error boxes appear (not in a silent
    // run without "-im": the text goes to the log all the same).
    void SetErrorBoxes(bool shown) { m_errorBoxes = shown; }

    // The entry of the plan: runs it, then the firewall step and the commit;
    // after a failure stops the started services, shows the error, rolls
    // back and sets *failedFlag.
    void RunInstall(int* restartFlag, int* failedFlag, HWND owner);

    // After the worker's guard caught a fault: the same failure path with
    // the exception text (no owner for its box); a fault that came from the
    // rollback itself only keeps the backups, and one after the commit
    // leaves the finished installation as it is.
    void RecoverFromFault(uint32_t code, uint64_t address, int* failedFlag);

    void InstallPlan();
    void RollbackInstall();
    // An installation without a journal (made before there was one) is
    // recorded from the product's lists, as far as it is on the machine.
    void TakeOverInstallation();

    // The rollback of a run found interrupted in the journal; false when it
    // was cut short (the run then stays in the journal).
    bool RecoverInterruptedRun(const JournalRuns& runs);
    void StopStartedServices();

    // The plan's steps.
    void CopySystemFiles();
    void CreateProgramFolder();
    void CopyProgramFiles();
    void InstallDrivers();
    void InstallProductService();
    void StartProductServices();
    void CreateProductShortcuts();
    void RegisterProductUninstall();

    // After a successful plan: its failures are warnings in the log, except
    // that a change that cannot be journaled is the run's failure.
    void CreateFirewallRules();
    // The rollback's first work: the firewall entries the run made go.
    void UndoFirewallChanges() noexcept;

    // The unpack-only run: the package's files into a new folder below the
    // current directory. Reports its own errors; false after one.
    bool UnpackFiles();

    BOOL RestartComputer();

    // CreateShortcut whose failure is only a warning in the log.
    void TryCreateShortcut(const std::string& targetFileName, const std::string& targetDirectory,
                           const std::string& linkFolder, const std::string& linkName,
                           const char* arguments);

private:
    // After the plan: the firewall step, then the commit.
    void FinishInstall();
    // Stops what this run started, shows and logs `text`, then rolls back.
    // Every stage runs under a guard of its own: a fault while stopping or
    // reporting still ends in the rollback, a fault in the rollback in the
    // kept backups.
    void FailAndRollBack(const std::string& text, HWND owner, int* failedFlag);
    // The uninstall's failure path: shows and logs `text`, then puts back
    // what the uninstall took away.
    void FailUninstall(const std::string& text, HWND owner, int* failedFlag);
    void StopForRollback();
    // Runs the rollback under its guard and settles the journal: a rollback
    // cut short stays in it for the next run; one that ran to its end takes
    // the run's records out (or names what waits for the restart).
    void RunRollback(void (CInstallProcess::*rollback)());
    void ReportFailure();
    void EndIncompleteRollback();
    // Runs a stage under the guard; false (the fault logged) after a fault.
    bool RunStage(void (CInstallProcess::*stage)()) noexcept;
    void ShowError(HWND owner, const std::string& text) const;
    // Test builds only: a fault, a wait or a failure where the environment
    // names the point; nothing in a deliverable.
    static void TestPoint(const char* name);
    // The package entry `name`; throws (module MODULE_PROCESS) at `location`
    // when the package lacks it.
    void RequireEntry(const std::string& name, int location, const uint8_t** data, int32_t* size);
    void InstallEntry(const std::string& name, int missingLocation, const std::string& directory);
    std::string SystemFolder(int location) const;
    void Pause(DWORD milliseconds) const;

    const ProductConfig& m_product;
    const InstallChoices* m_choices;
    const ProgressSink* m_progress;
    bool m_rollbackStarted = false;
    bool m_errorBoxes = true;
    bool m_paced = true;
    bool m_rollbackNotCompleted = false;
    // The records of the committed runs: what the installation holds.
    std::vector<JournalRecord> m_installationRecords;
    bool m_uninstallEntryFound = false;
    int32_t m_runKindOfThisProcess = RUN_INSTALL;
    uint64_t m_installedBytes = 0;  // what the plan wrote, for the uninstall entry
    std::string m_journalFolder;
    std::string m_journalSetAsidePath;
    std::string m_journalReason;
    DWORD m_journalError = ERROR_SUCCESS;
    std::string m_failureText;
    HWND m_failureOwner = nullptr;
};
