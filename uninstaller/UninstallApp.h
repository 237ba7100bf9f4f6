// The uninstaller application. Started as the user starts it (from the
// program folder, a link, or anywhere), it makes a copy of itself
// (CSelfCopy) and passes the copy's exit code on; the copy does the work:
// it takes the product's lock and journal, asks, takes the product off with
// the install process's uninstall on a worker thread under the fault guard,
// shows the progress in the wizard's look and says how it ended.
#pragma once

#include "app/CommandLine.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "process/InstallProcess.h"
#include "process/ProgressProtocol.h"
#include "process/ProgressSink.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace fw {
class CWinThread;
}

// The process exit code: the setup's numbers where they apply.
enum UninstallExitCode : int32_t {
    UNINSTALL_OK = 0,                 // removed, or the user answered No
    UNINSTALL_NOT_ADMIN = -3,
    UNINSTALL_START_FAILED = -6,
    UNINSTALL_RESTART_NEEDED = -9,    // and "-norestart" was given
    UNINSTALL_FAILED = -10,           // everything was put back
    UNINSTALL_RESTART_FIRST = -11,    // an earlier run's restart must come first
    UNINSTALL_JOURNAL_UNTRUSTED = -12,
    UNINSTALL_NOT_INSTALLED = -14,    // no uninstall entry and no record: nothing changed
    UNINSTALL_ANOTHER_RUN = -15,
};

class CUninstallApp : public fw::CWinApp {
public:
    CUninstallApp();
    ~CUninstallApp() override;

    bool InitInstance() override;
    int ExitInstance() override;

    // --- offered to the progress page ---
    // Starts the uninstall worker; 0 when it runs, -1 after the error box.
    int StartUninstallWorker(HWND owner);
    // The worker's body under its guard; also called directly by the silent
    // run. Its final word goes to the progress display. Returns 0.
    static UINT UninstallWorkerMain(void* app);

private:
    // The program as the user started it: the copy does the work.
    void RunOriginal();
    // The copy. `original`: the program the user started.
    void RunCopy(const std::string& original);
    // False (with the exit code and the message) when the process cannot be made.
    bool CreateInstallProcess(HANDLE log);
    // The journal's answer before anything of the run: false (with the exit
    // code and the message, the lock given up) when the run must change nothing.
    bool PrepareJournal();
    // Ends a run that changed nothing: the lock goes, and the message, if any.
    void Refuse(int32_t code, const std::string& message, UINT icon);
    void RunSilent();
    void RunWithProgress();
    // Waits for the worker, serving this thread's messages meanwhile (the
    // worker's error box needs them); a worker is never cut short.
    void JoinWorker();
    // The uninstaller's leftovers, the restart, the log and the last word.
    void EndOfRun();
    void CloseLog(bool keep);
    bool MessagesEnabled() const { return !options.silent || options.showMessages; }
    void ShowMessage(const std::string& text, UINT icon) const;
    // A Yes/No question: IDYES, IDNO, or 0 when no box could be shown.
    int Ask(const std::string& text) const;

    SetupOptions options;
    InstallChoices choices;  // the install process wants them; the uninstall reads none
    ProgressSink progress;
    ProgressValues silentProgress;  // scratch values nobody displays
    std::unique_ptr<CInstallProcess> installProcess;
    std::unique_ptr<fw::CWinThread> workerThread;
    HWND progressWindow = nullptr;
    int32_t restartFlag = 0;
    int32_t uninstallFailed = 0;
    int32_t exitCode = UNINSTALL_OK;
    fw::CKernelHandle productLock;  // the copy holds it for its whole run
    fw::CFileHandle uninstallLog;
    std::string logPath;     // empty when the run has no log
    std::string copyProgram; // this copy, when it is one
};
