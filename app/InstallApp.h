// The setup application: start-up, the three run modes (unpack only, silent,
// wizard), the end of the run and the process exit code. It owns the choices
// the wizard pages edit and lends the install worker its progress links.
#pragma once

#include "app/CommandLine.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "process/InstallProcess.h"
#include "process/ProgressSink.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace fw {
class CWinThread;
}
struct FaultInfo;

// The process exit code.
enum ExitCode : int32_t {
    EXIT_OK = 0,
    EXIT_NOT_ADMIN = -3,
    EXIT_START_FAILED = -6,
    EXIT_LICENSE_NOT_ACCEPTED = -7,
    EXIT_SETUP_MODULES = -8,
    EXIT_RESTART_NEEDED = -9,
    EXIT_INSTALL_FAILED = -10,
    EXIT_RESTART_FIRST = -11,
    EXIT_JOURNAL_UNTRUSTED = -12,
    EXIT_UNPACK_FAILED = -13,
    EXIT_ANOTHER_RUN = -15,
};

class CInstallApp : public fw::CWinApp {
public:
    CInstallApp();
    ~CInstallApp() override;

    bool InitInstance() override;
    int ExitInstance() override;

    // --- offered to the wizard pages ---
    // Loads the package; returns its status and, for a non-zero status, the
    // message (still holding its "%s" for the product name).
    int32_t CheckSetupModules(std::string* message);
    // The installed-version check: 1 when a running product is newer and the
    // installation must be refused, else 0. The refusal is a format to be
    // filled with the product name like the other messages: its "%s" are
    // filled in already, and the version text the product sent has its '%'
    // doubled, so it reads as sent.
    int CheckInstalledVersion(std::string* message);
    // Whether this run first undid an earlier run that was interrupted (the
    // welcome page says so).
    bool InterruptedRunUndone() const { return interruptedRunUndone; }
    // The ready page's summary of the current choices.
    std::string ComposeSummary() const;
    // The bytes of the package entry "license.rtf".
    bool LicenseText(const uint8_t** data, int32_t* size) const;
    // Starts the install worker; 0 when it runs, -1 after the error box.
    int StartInstallWorker(HWND owner);
    void SetProgress(int32_t position, int32_t stage) { progress.SetProgress(position, stage); }
    void JumpProgress(int32_t value) { progress.JumpProgress(value); }
    void SetProgressDirection(int32_t direction) { progress.SetProgressDirection(direction); }

    // The install worker's body under its guard; also called directly by the
    // silent run. Returns 0.
    static UINT InstallWorkerMain(void* app);

    // --- fields ---
    std::unique_ptr<fw::CWinThread> workerThread;
    ProgressSink progress;
    std::unique_ptr<CInstallProcess> installProcess;
    InstallChoices choices;  // destination and Start Menu folders, the three task flags
    int32_t licenseAccepted = 0;
    int32_t launchProduct = 1;
    int32_t openQuickStart = 1;
    int32_t restartFlag = 0;
    int32_t installFailed = 0;
    int32_t restartPageShown = 0;
    HWND progressWindow = nullptr;
    int32_t exitCode = EXIT_OK;
    bool interruptedRunUndone = false;
    fw::CFileHandle setupLog;

private:
    static void RunInstallWorker(CInstallApp* app);
    // After a fault in the worker: the process rolls back; without one the
    // run only fails (with its box where messages are wanted).
    void RecoverFromFault(const FaultInfo& fault);
    void RunSilent();
    void RunWizard();
    // The pages from the welcome page to the finish page; true at the normal
    // end (after carrying out the finish page's choices), false when the
    // wizard was cancelled.
    bool ShowWizard();
    void CarryOutFinishChoices();
    void LaunchProduct() const;
    // Waits for the install worker, serving this thread's messages meanwhile
    // (the worker's error box and its task texts need them), and deletes its
    // thread object; nothing without a worker. A worker is never cut short:
    // it may be in the middle of a rollback.
    void JoinInstallWorker();
    void EndOfRun();
    // The journal's answer before anything of the run: false (with the exit
    // code and the message) when the run must change nothing.
    bool PrepareJournal();
    bool MessagesEnabled() const { return !options.silent || options.showMessages; }
    void ShowMessage(const std::string& text, UINT icon) const;
    std::string ProductText(UINT id) const;  // string `id` formatted with the product name

    SetupOptions options;
    fw::CKernelHandle productLock;  // held for the whole run
    std::string tempLogPath;  // empty when the run has no setup log
    std::string logCopyPath;  // beside the setup, with "-log"
    ProgressValues silentProgress;  // scratch values nobody displays
    std::atomic<int32_t> silentFinished{0};
};
