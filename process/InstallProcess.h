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

    // The entry of the plan: runs it; after a failure stops the started
    // services, shows the error, rolls back and sets *failedFlag.
    void RunInstall(int* restartFlag, int* failedFlag, HWND owner);

    // After the worker's guard caught a fault: the same failure path with
    // the exception text (no owner for its box); a fault that came from the
    // rollback itself only keeps the backups.
    void RecoverFromFault(uint32_t code, uint64_t address, int* failedFlag);

    void InstallPlan();
    void RollbackInstall();
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

    // After a successful plan; never fails the installation.
    void CreateFirewallRules();

    // The unpack-only run: the package's files into a new folder below the
    // current directory. Reports its own errors.
    void UnpackFiles();

    BOOL RestartComputer();

    // CreateShortcut whose failure is only a warning in the log.
    void TryCreateShortcut(const std::string& targetFileName, const std::string& targetDirectory,
                           const std::string& linkFolder, const std::string& linkName,
                           const char* arguments);

private:
    // Stops what this run started, shows and logs `text`, then rolls back
    // under a guard of its own: a fault there ends the rollback, keeping
    // the backups.
    void FailAndRollBack(const std::string& text, HWND owner, int* failedFlag);
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
};
