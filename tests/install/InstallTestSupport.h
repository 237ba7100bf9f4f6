// What the install tests know about the two setups, stated independently of
// the product code, and how they make setups with packages of their own.
#pragma once

#include "framework/Handles.h"
#include "tests/support/MachineSnapshot.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace installtest {

struct TestProduct {
    std::string setup;          // "velloran_setup"
    std::string sampleFolder;   // "server": where the build keeps the payload
    std::string name;           // "Velloran"
    std::string logFile;        // "velloran-install.log"
    std::string serviceProgram; // "velloransrv.exe"
    std::string serviceName;
    std::string busService;
    std::vector<std::string> entries;       // the package, in stored order
    std::vector<std::string> kernelDrivers; // own kernel-driver services
    std::string uninstallKey;
    std::string journalFolder;  // below %ProgramData%
    std::string uninstallLog;   // "velloran-uninstall.log", in the temporary folder
};

const TestProduct& Server();
const TestProduct& Client();

// The payload file the build packed for `entry`.
std::string PayloadFile(const TestProduct& product, const std::string& entry);
std::string PayloadBytes(const TestProduct& product, const std::string& entry);

// The setup with its real package (the build's deliverable).
std::string PackedSetup(const TestProduct& product);
// What a setup made by the tests carries.
struct SetupRecipe {
    std::vector<std::string> missing;  // entries left out
    bool newer = false;                // every entry as a later build would carry it (other bytes)
    std::string stub;                  // the program to append to; default: the product's stub
};
// A setup of the recipe, written as folder\<setup>.exe; returns its path.
std::string MakeSetup(const TestProduct& product, const SetupRecipe& recipe, const std::string& folder);
// A copy of the stub setup with a package of the payload without the listed
// entries, written as folder\<setup>.exe; returns its path.
std::string SetupWithout(const TestProduct& product, const std::vector<std::string>& missing,
                         const std::string& folder);
// A copy of the stub without any package.
std::string StubSetup(const TestProduct& product, const std::string& folder);

// Sets an environment variable for the setups a test starts while it lives
// (the test builds' points: VELLORAN_FAULT_AT and its kin).
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : m_name(name) { SetEnvironmentVariableA(name, value); }
    ~ScopedEnvironment() { SetEnvironmentVariableA(m_name, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
};

// Folders of the installed product on this (Wine) machine.
std::string InstallFolder(const TestProduct& product);  // C:\Program Files\<name>
std::string StartMenuFolder(const TestProduct& product);
std::string DesktopFolder();
std::string TempLog(const TestProduct& product);
// The product's journal on disk, and its folder.
std::string JournalFolder(const TestProduct& product);
std::string JournalPath(const TestProduct& product);

// Where an installation writes: for before/after comparisons.
testsupport::MachineScope InstallScope(const TestProduct& product);
// The same without the journal's folder: for runs that move it aside.
testsupport::MachineScope InstallScopeWithoutJournal(const TestProduct& product);
// Where an uninstall that was undone (failed, faulted, killed) is compared
// with the installation it took off: InstallScope, but each device by its
// hardware ids and the driver package its driver key names instead of the
// device class key. Wine gives a device made again a new instance and a new
// driver key number below the class; what the user has back is the same
// device on the same package. Services stay compared as the Service Control
// Manager and their registry keys report them, the product service's state too.
testsupport::MachineScope PutBackScope(const TestProduct& product);

// --- the product's uninstaller ---
// A string value of the product's uninstall entry ("QuietUninstallString"),
// as a deployment tool reads it; empty without one.
std::string UninstallValue(const TestProduct& product, const std::string& name);
// The uninstaller's log in the temporary folder.
std::string UninstallLog(const TestProduct& product);
// The folders below %ProgramData% that the product's uninstaller made to run
// its copies from ("<name> Uninstall 0123abcd"), as full paths.
std::vector<std::string> UninstallerFolders(const TestProduct& product);
// What the restart does to the restart's rename list, now: Wine carries the
// list out when a program asks for a restart, and the asking program goes
// on. False when the list is still there after a few seconds.
bool CarryOutPendingRenames();

// What a shell link says, read through the shell (`read` false when it
// cannot be loaded).
struct ShellLink {
    bool read = false;
    std::string path, arguments, workingDirectory, description;
};
ShellLink ReadLink(const std::string& file);

// Whether the service runs, given a few seconds to get there.
bool ServiceRunning(const std::string& name);

// A test build's trace of its platform calls (CallInjector.h): one line per
// call, "N name", with " change" when the call changes the machine.
struct TracedCall {
    long number = 0;  // from 1: how VELLORAN_FAIL_CALLS names the call
    std::string name;
    bool change = false;
};
std::vector<TracedCall> ReadTrace(const std::string& path);

// The journal's records as they lie on disk, read here on their own:
//   "VJR1"  u32 sequence  u32 payload length  u32 CRC-32  payload (u16 kind first)
// the CRC over sequence, length and payload; sequences count up from 0.
struct JournalLayout {
    std::vector<size_t> offsets;   // each intact record, from the start
    std::vector<size_t> sizes;
    std::vector<uint16_t> kinds;
    size_t whole = 0;              // the bytes the intact records take
};
JournalLayout ReadJournalLayout(const std::string& bytes);
// Record kinds a test looks for: a run begins, a run is final, a run's
// rollback is done.
constexpr uint16_t JOURNAL_RUN_BEGUN = 21;
constexpr uint16_t JOURNAL_COMMITTED = 13;
constexpr uint16_t JOURNAL_ROLLED_BACK = 22;

// Runs the setup with the given switches and returns its exit code.
long RunSetup(const std::string& setupPath, const std::string& switches, DWORD timeoutMs = 120000);

// A setup started and not waited for: one that holds the product's lock
// while another starts, or one ended from outside as Task Manager or a
// deployment tool's time-out ends it.
class CStartedSetup {
public:
    CStartedSetup(const std::string& setupPath, const std::string& switches);
    // Ends the setup if it still runs.
    ~CStartedSetup();
    CStartedSetup(const CStartedSetup&) = delete;
    CStartedSetup& operator=(const CStartedSetup&) = delete;

    bool Started() const { return m_process.valid(); }
    // The exit code, or -1001 when the setup still runs after `timeoutMs`.
    long Wait(DWORD timeoutMs);
    // TerminateProcess: nothing of the setup runs on, nothing unwritten is
    // written. False when it had ended already.
    bool Kill();

private:
    fw::CKernelHandle m_process;
};

// Stops a service and waits until it has stopped; false when it cannot be
// stopped.
bool StopService(const std::string& name);

// Waits until the product's log in the temporary folder holds `line`.
bool WaitForLogLine(const TestProduct& product, const std::string& line, DWORD timeoutMs);

// The product as a complete installation leaves it, checked with gtest
// expectations: its files, services, devices, driver store, shortcuts,
// uninstall entry, the running service, and the setup log placed in the
// install folder with the plan's lines and no warning.
void CheckInstalled(const TestProduct& product);

// Runs a setup silently that fails: it ends with -10 and shows no box, the
// log in the temporary folder holds the error's text (starting with
// `boxStart`, ending with `boxEnd`) and the rollback, no restart was asked
// for, and the machine is as `before` shows it.
// `afterRun` is called once the setup has ended, before the machine is looked at.
void CheckFailedRun(const TestProduct& product, const std::string& setup, const std::string& boxStart,
                    const std::string& boxEnd, const testsupport::CMachineSnapshot& before,
                    const std::function<void()>& afterRun = {});
// The end of the error box of a thrown failure: "Error arg0 = 0x...".
std::string Arg0Text(int module, int location);

// `needles` appear in `lines` in this order (not necessarily adjacent);
// returns the first needle not found in order, or empty.
std::string MissingInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles);

}  // namespace installtest
