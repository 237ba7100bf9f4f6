// One step of the call sweep (tools/call-sweep drives it): inside a prefix the
// driver prepared, a test build of a setup runs silently while one platform
// call (or two) fails, or is ended at once after a flush or a change, and the
// machine it leaves is judged.
//
//   SweepStep prepare   PRODUCT MACHINE WORK [kill]  the machine (MACHINE clean or upgrade) and the setup
//                                                   (with kill, also one that fails at its driver store step)
//   SweepStep settle    PRODUCT MACHINE WORK  waits in a fresh copy until the machine is as prepared
//   SweepStep reference PRODUCT WORK [kill]   a run without failure: its trace and the installed machine
//                                            (with kill, where its commit lies: WriteKillCounts)
//   SweepStep run       PRODUCT WORK SWEEP CALLS [CODE]
//   SweepStep kill      PRODUCT WORK KIND N [good]
//   SweepStep time      PRODUCT WORK skip|keep  one plain run's wall time, its flushes skipped or made
//
// PRODUCT is server or client, WORK the driver's folder (a Unix path), SWEEP
// "plan" (CALLS = N: a failure anywhere) or "rollback" (CALLS = F,M: the run
// fails at F and the rollback meets a second failure at M), CODE the error the
// calls fail with (default 5).
//
// `run` prints one line, "<sweep> <calls> [code <code>] <call name> <verdict>
// exit <code>[: why]", the verdict one of rolledback, installed, refused (a
// start check failed before anything was touched), incomplete (a rollback that
// failed and says so, everything accounted for), restart (a rollback that
// left the rest for the restart it asks for) or wrong. It appends the line,
// with the details of a wrong run, to WORK/report.txt, and tells the driver
// through its exit code whether the prefix can be used again:
//   10 rolled back, the machine as before      11 installed as a plain run installs
//   12 wrong, the machine changed              13 wrong, the machine as before
//   14 a rollback that failed as allowed, the machine changed
//
// `kill` ends a complete silent install right after its Nth flush (KIND
// flush: each journal record, backup and store copy is flushed when written)
// or its Nth change (KIND change), then runs the setup that fails at its
// driver store step, or with "good" the complete one again, and judges that
// run. Its line is "kill <kind> <n> <call> <state> <then> <verdict> exit
// <code>[: why]": the call the kill followed, what the journal says of the
// killed run (unbegun: no record of it; open: begun and neither committed nor
// rolled back; committed: final, the kill came after its commit; finished:
// the kill never came), which setup ran next (failing or good), and the
// verdict: rolledback (the failing run undid the killed one first and ended
// with the machine as before the kill), kept (the failing run over a
// committed installation put back what it found), installed (as a plain run
// installs) or wrong. A killed run's recovery must be in the next run's log
// exactly when the killed run is open.
#include "framework/Handles.h"
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

using namespace installtest;
using namespace testsupport;

namespace {

constexpr int STEP_ROLLED_BACK = 10;
constexpr int STEP_INSTALLED = 11;
constexpr int STEP_WRONG_SPENT = 12;
constexpr int STEP_WRONG_REUSABLE = 13;
constexpr int STEP_ALLOWED_SPENT = 14;
constexpr int STEP_USAGE = 2;
constexpr int STEP_SETUP_FAILED = 3;

constexpr long EXIT_RESTART_NEEDED = -9;
// What a test build's process ends with when it ends itself (CallInjector).
constexpr long EXIT_KILLED = 0xDEAD;
constexpr long EXIT_INSTALL_FAILED = -10;
// The start checks come before the installer touches anything: a failed
// administrator check and a service manager that cannot be opened end the
// setup with exit codes of their own, the machine untouched.
constexpr long EXIT_NOT_ADMIN = -3;
constexpr long EXIT_START_FAILED = -6;
constexpr long EXIT_JOURNAL_UNTRUSTED = -12;
constexpr long EXIT_ANOTHER_RUN = -15;
// A run longer than this hangs: a clean run takes about two seconds.
constexpr DWORD RUN_LIMIT_MS = 60000;
// Details of a wrong run are cut after this many lines of each kind.
constexpr size_t DETAIL_LINES = 40;

// Without the restart: Wine's stand-in for it would carry out the rename
// list at once, and what a run leaves for the restart must stay visible.
const char* const SWITCHES = "-silent -licenseaccept -norestart";

const char* const ROLLBACK_STARTED = "=== Rollback process ===";
const char* const RECOVERY_STARTED = "=== Undoing an interrupted run ===";
const char* const RECOVERY_ENDED = "=== Interrupted run undone ===";
const char* const ROLLBACK_INCOMPLETE = "Warning: === Rollback not completed, backup files kept ===";
const char* const REBOOT_REQUIRED = "Warning: === Reboot required to complete operation ===";
const char* const BACKUP_KEPT = "Backup File Kept: ";
const char* const CANCEL_FAILED = "Warning: Rollback step failed: CancelReplacement ";
const char* const PENDING_RENAMES = "PendingFileRenameOperations";
const char* const SERVICE_VALUES = "reg HKLM\\System\\CurrentControlSet\\Services\\";

std::string LowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The file name a run gives a backup: the target's name, "_", eight digits
// from 1 to 9, ".tmp.backup".
bool IsBackupName(const std::string& path)
{
    const std::string tail = ".tmp.backup";
    if (!EndsWith(path, tail) || path.size() < tail.size() + 9)
        return false;
    const size_t digits = path.size() - tail.size() - 8;
    if (path[digits - 1] != '_')
        return false;
    return std::all_of(path.begin() + digits, path.begin() + digits + 8, [](char c) { return c >= '1' && c <= '9'; });
}

// The file name a run gives a temporary file: the target's name, "_", eight
// digits, ".tmp".
bool IsTemporaryName(const std::string& path)
{
    return IsBackupName(path + ".backup");
}

// A rename list path without its "\??\" and, for a destination, its "!".
std::string PlainRenamePath(std::string path)
{
    if (!path.empty() && path[0] == '!')
        path.erase(0, 1);
    if (path.rfind("\\??\\", 0) == 0)
        path.erase(0, 4);
    return path;
}

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : m_name(name)
    {
        SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableA(m_name, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
};

struct Work {
    const TestProduct& product;
    std::string folder;  // Windows path

    std::string File(const std::string& name) const { return folder + "\\" + name; }
    std::string Setup() const { return File("setup\\" + product.setup + ".exe"); }
    // The same package without the driver package's catalog: the run fails
    // at its driver store step.
    std::string Failing() const { return File("failing\\" + product.setup + ".exe"); }
};

// What an installation touches, as a snapshot of this machine. Wine's
// driver hosts (services "Winedevice<N>") come and go with the drivers it
// loads, under numbers of their own: they are no part of the comparison.
CMachineSnapshot TakeSnapshot(const TestProduct& product)
{
    CMachineSnapshot snapshot = CMachineSnapshot::Take(InstallScope(product));
    const std::string host = "service Winedevice";
    for (auto item = snapshot.items.begin(); item != snapshot.items.end();) {
        const bool driverHost = item->first.rfind(host, 0) == 0 && item->first.size() > host.size() &&
                                std::all_of(item->first.begin() + host.size(), item->first.end(),
                                            [](char c) { return c >= '0' && c <= '9'; });
        item = driverHost ? snapshot.items.erase(item) : std::next(item);
    }
    return snapshot;
}

// The snapshot counts a service as running or stopped; one the run (or its
// rollback) is still starting or stopping is given a few seconds to get there.
void WaitForSteadyServices(const TestProduct& product)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    for (const std::string& name : InstallScope(product).serviceStates) {
        fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        for (int i = 0; i < 50 && service && QueryServiceStatus(service.get(), &status); ++i) {
            if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED)
                break;
            Sleep(100);
        }
    }
}

// The log of the run that just ended: a failed run, and one that needs the
// restart it was told not to make, leave it in the temporary folder; a
// complete run moves it into the install folder.
std::vector<std::string> RunLog(const TestProduct& product)
{
    if (FileExists(TempLog(product)))
        return ReadLines(TempLog(product));
    return ReadLines(InstallFolder(product) + "\\" + product.logFile);
}

// Names of the calls of a trace, "N name[ change]" a line, by number.
std::vector<std::string> TraceNames(const std::string& path)
{
    std::vector<std::string> names(1);
    for (const TracedCall& call : ReadTrace(path)) {
        if (call.number <= 0)
            continue;
        if (static_cast<size_t>(call.number) >= names.size())
            names.resize(call.number + 1);
        names[call.number] = call.name;
    }
    return names;
}

// One run of the test build with the calls failing that `failCalls` lists
// ("" for none), traced into `trace`.
long RunFailing(const Work& work, const std::string& failCalls, const std::string& code, const std::string& trace)
{
    DeleteFileA(trace.c_str());
    DeleteFileA(TempLog(work.product).c_str());
    const ScopedEnvironment traced("VELLORAN_CALL_TRACE", trace);
    const ScopedEnvironment failing("VELLORAN_FAIL_CALLS", failCalls);
    const ScopedEnvironment failCode("VELLORAN_FAIL_CODE", code);
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    return RunSetup(work.Setup(), SWITCHES, RUN_LIMIT_MS);
}

// The eight digits of every temporary or backup name in the text masked:
// each run draws its own.
std::string MaskTemporaryNames(std::string text)
{
    for (size_t at = text.find(".tmp"); at != std::string::npos; at = text.find(".tmp", at + 4)) {
        if (at < 9 || text[at - 9] != '_')
            continue;
        if (std::all_of(text.begin() + at - 8, text.begin() + at, [](char c) { return c >= '1' && c <= '9'; }))
            text.replace(at - 8, 8, "########");
    }
    return text;
}

// The machine as the restart leaves it: each pending rename of the list
// carried out on the snapshot's files, in order, and the list gone. A file
// that replaces its target at the restart (one in use, or one that could not
// be opened: the engine's way around both) counts as installed.
CMachineSnapshot AfterTheRestart(const CMachineSnapshot& snapshot)
{
    CMachineSnapshot restarted = snapshot;
    const auto find = [&restarted](const std::string& path) {
        const std::string key = LowerCase("file " + path);
        return std::find_if(restarted.items.begin(), restarted.items.end(),
                            [&key](const std::pair<const std::string, std::string>& item) {
                                return LowerCase(item.first) == key;
                            });
    };
    for (const auto& pair : PendingRenames()) {
        const auto source = find(PlainRenamePath(pair.first));
        if (source == restarted.items.end())
            continue;  // nothing to move: the entry does nothing
        const std::pair<std::string, std::string> moved = *source;
        restarted.items.erase(source);
        if (pair.second.empty())
            continue;
        const auto target = find(PlainRenamePath(pair.second));
        if (target == restarted.items.end())
            restarted.items.emplace("file " + PlainRenamePath(pair.second), moved.second);
        else if (pair.second[0] == '!')
            target->second = moved.second;
        else
            restarted.items.insert(moved);  // no replacing: the move fails
    }
    for (auto item = restarted.items.begin(); item != restarted.items.end();)
        item = EndsWith(item->first, "\\" + std::string(PENDING_RENAMES)) ? restarted.items.erase(item) : std::next(item);
    return restarted;
}

// A snapshot of a complete run made comparable with another one: taken as
// the restart leaves the machine (AfterTheRestart); a link's bytes name the
// target's file times, which differ from run to run, so what the link says
// counts; temporary names are masked; of a service's dependencies only the
// first counts, Wine's service manager stores the rest as garbage when it
// creates a service; and an empty "Group" of a service counts as none. A
// rollback tells the service manager a service's old, absent group as an
// empty one (nothing else clears it) and then puts the registry back byte
// for byte; the service manager keeps the empty group and writes it out with
// the next change of that service, by a later run in this prefix.
CMachineSnapshot AsInstalled(const CMachineSnapshot& snapshot)
{
    CMachineSnapshot comparable;
    for (const auto& item : AfterTheRestart(snapshot).items) {
        std::string value = item.second;
        if (item.first.rfind("file ", 0) == 0) {
            const std::string path = item.first.substr(5);
            if (EndsWith(LowerCase(path), ".lnk")) {
                const ShellLink link = ReadLink(path);
                value = link.read ? "link [" + link.path + "] [" + link.arguments + "] [" + link.workingDirectory +
                                        "] [" + link.description + "]"
                                  : "link (not read)";
            }
        } else if (item.first.rfind(SERVICE_VALUES, 0) == 0 && EndsWith(item.first, "\\DependOnService")) {
            const std::string key = item.first.substr(strlen("reg HKLM\\"), item.first.size() - strlen("reg HKLM\\") -
                                                                                 strlen("\\DependOnService"));
            const std::vector<std::string> names = RegReadMultiString(HKEY_LOCAL_MACHINE, key, "DependOnService");
            value = "first dependency " + (names.empty() ? std::string("(none)") : names.front());
        } else if (item.first.rfind(SERVICE_VALUES, 0) == 0 && EndsWith(item.first, "\\Group") &&
                   (value.rfind("1:0 bytes", 0) == 0 || value.rfind("1:1 bytes", 0) == 0)) {
            continue;
        }
        std::string key = MaskTemporaryNames(item.first);
        for (int n = 2; comparable.items.count(key) != 0; ++n)
            key = MaskTemporaryNames(item.first) + " #" + std::to_string(n);
        comparable.items.emplace(key, value);
    }
    return comparable;
}

// Differences a complete run may show against a plain one: the steps whose
// failure is a warning by design.
class CWarningsByDesign {
public:
    explicit CWarningsByDesign(const TestProduct& product)
    {
        const std::string menu = "file " + StartMenuFolder(product) + "\\" + product.name;
        // Only the first start menu link is required; the others are extras
        // a user can do without, and their failure is logged and passed over.
        for (const char* link : {" Help", " License", " Uninstall Wizard", " Console Command Line", " Command Line"})
            m_items.push_back(menu + link + ".lnk");
        // So is the desktop link.
        m_items.push_back("file " + DesktopFolder() + "\\" + product.name + ".lnk");
        // The uninstall entry: a key or value that cannot be written is
        // logged and the run goes on.
        const std::string uninstall =
            "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product.uninstallKey;
        m_items.push_back("key " + uninstall);
        m_prefixes.push_back("reg " + uninstall + "\\");
        // The setup log in the install folder differs from run to run anyway,
        // and so does the journal's record of what the run made (compared
        // as what the machine holds, above).
        m_items.push_back("file " + InstallFolder(product) + "\\" + product.logFile);
        m_items.push_back("file " + JournalPath(product));
    }

    // A service the run could not start is logged and passed over, as
    // starting it is not the installation's to insist on (Wine cannot start
    // a kernel driver at all): its state may differ.
    void NotStarted(const std::vector<std::string>& lines)
    {
        const std::string head = "Warning: Service not started: ";
        for (const std::string& line : lines) {
            if (line.rfind(head, 0) != 0)
                continue;
            const std::string rest = line.substr(head.size());
            m_items.push_back("service " + rest.substr(0, rest.find(' ')));
        }
    }

    // The differences between two complete runs that are not of the above.
    std::vector<std::string> Differences(const CMachineSnapshot& plain, const CMachineSnapshot& run) const
    {
        return Filtered(plain).DifferencesTo(Filtered(run));
    }

private:
    CMachineSnapshot Filtered(const CMachineSnapshot& snapshot) const
    {
        CMachineSnapshot filtered;
        for (const auto& item : snapshot.items) {
            const bool listed = std::find(m_items.begin(), m_items.end(), item.first) != m_items.end() ||
                                std::any_of(m_prefixes.begin(), m_prefixes.end(), [&](const std::string& prefix) {
                                    return item.first.rfind(prefix, 0) == 0;
                                });
            if (!listed)
                filtered.items.insert(item);
        }
        return filtered;
    }

    std::vector<std::string> m_items;
    std::vector<std::string> m_prefixes;
};

struct Verdict {
    int step = STEP_WRONG_SPENT;
    std::string word;  // rolledback, installed, refused, incomplete, restart or wrong
    std::string why;
    std::vector<std::string> details;
};

// What a rollback that calls itself complete may still leave: what it
// scheduled for the restart, and asked the restart for. A file it deletes or
// moves then, a file a move then puts back, and the folders holding them.
bool LeftForTheRestart(const std::string& item, const std::vector<std::pair<std::string, std::string>>& scheduled,
                       const TestProduct& product)
{
    const size_t space = item.find(' ');
    const std::string kind = item.substr(0, space);
    const std::string path = LowerCase(item.substr(space + 1));
    if (kind == "reg")
        return EndsWith(path, LowerCase("\\" + std::string(PENDING_RENAMES)));
    // The journal names the run whose work waits for the restart, so that no
    // later run starts before it; the first run after the restart drops it.
    if (path == LowerCase(JournalFolder(product)) || path == LowerCase(JournalPath(product)))
        return true;
    for (const auto& pair : scheduled) {
        const std::string source = LowerCase(PlainRenamePath(pair.first));
        const std::string destination = LowerCase(PlainRenamePath(pair.second));
        if (kind == "file" && (path == source || path == destination))
            return true;
        if (kind == "dir" && (source.rfind(path + "\\", 0) == 0 || destination.rfind(path + "\\", 0) == 0))
            return true;
    }
    return false;
}

// The rollback sweep's rules for a run whose rollback met a failure of its
// own: it still fails; what it could not put back it names (the backups it
// keeps) or leaves for the restart it asks for; and it never lets a
// replacement of this run land at the restart unannounced.
Verdict JudgeRollback(const std::vector<std::string>& lines, const CMachineSnapshot& before,
                      const CMachineSnapshot& after,
                      const std::vector<std::pair<std::string, std::string>>& renamesBefore,
                      const TestProduct& product)
{
    Verdict verdict;
    const std::vector<std::string> differences = before.DifferencesTo(after);
    const bool incomplete = std::find(lines.begin(), lines.end(), ROLLBACK_INCOMPLETE) != lines.end();
    const auto started = std::find(lines.begin(), lines.end(), ROLLBACK_STARTED);
    const bool restartAsked = started != lines.end() && std::find(started, lines.end(), REBOOT_REQUIRED) != lines.end();
    std::vector<std::pair<std::string, std::string>> scheduled;
    for (const auto& pair : PendingRenames()) {
        if (std::find(renamesBefore.begin(), renamesBefore.end(), pair) == renamesBefore.end())
            scheduled.push_back(pair);
    }

    if (differences.empty()) {
        verdict.step = STEP_ROLLED_BACK;
        verdict.word = "rolledback";
    } else if (incomplete) {
        verdict.step = STEP_ALLOWED_SPENT;
        verdict.word = "incomplete";
    } else {
        verdict.step = STEP_ALLOWED_SPENT;
        verdict.word = "restart";
        for (const auto& item : before.items) {
            if (after.items.count(item.first) == 0 || after.items.at(item.first) != item.second) {
                if (!restartAsked || !LeftForTheRestart(item.first, scheduled, product))
                    verdict.details.push_back("not left for a restart: " + item.first);
            }
        }
        for (const auto& item : after.items) {
            if (before.items.count(item.first) == 0 && (!restartAsked || !LeftForTheRestart(item.first, scheduled, product)))
                verdict.details.push_back("not left for a restart: " + item.first);
        }
        if (!verdict.details.empty())
            verdict.why = "the rollback called itself complete, the machine differs";
    }

    // Every backup left beside its target is named, with the target, in the log.
    std::set<std::string> named;
    for (const std::string& line : lines) {
        if (line.rfind(BACKUP_KEPT, 0) != 0)
            continue;
        const size_t open = line.rfind(" (");
        named.insert(LowerCase(line.substr(strlen(BACKUP_KEPT), open == std::string::npos ? std::string::npos
                                                                                         : open - strlen(BACKUP_KEPT))));
    }
    for (const auto& item : after.items) {
        if (item.first.rfind("file ", 0) != 0 || before.items.count(item.first) != 0)
            continue;
        const std::string path = item.first.substr(5);
        if (IsBackupName(path) && named.count(LowerCase(path)) == 0 &&
            !(restartAsked && LeftForTheRestart(item.first, scheduled, product)))
            verdict.details.push_back("backup not named in the log: " + path);
    }

    // Nothing of this run replaces a target at the restart, unless the log
    // says the replacement could not be called off and asks for the restart.
    for (const auto& pair : scheduled) {
        const std::string source = LowerCase(PlainRenamePath(pair.first));
        if (pair.second.rfind("!", 0) != 0 || !IsTemporaryName(source))
            continue;
        const bool warned = std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind(CANCEL_FAILED, 0) == 0 && LowerCase(line).find(source) != std::string::npos;
        });
        if (!warned || !restartAsked)
            verdict.details.push_back("replacement left for the restart: " + pair.first + " -> " + pair.second +
                                      (warned ? " (no restart asked for)" : " (not named in the log)"));
    }
    if (!verdict.details.empty()) {
        if (verdict.why.empty())
            verdict.why = "the rollback left something unaccounted for";
        verdict.step = differences.empty() ? STEP_WRONG_REUSABLE : STEP_WRONG_SPENT;
        verdict.word.clear();
        for (const std::string& difference : differences)
            verdict.details.push_back(difference);
    }
    return verdict;
}

// The plan sweep's rules: rolled back to the machine before, or installed as
// a plain run installs.
Verdict JudgePlan(long exitCode, const Work& work, const CMachineSnapshot& before, const CMachineSnapshot& after,
                  const std::vector<std::pair<std::string, std::string>>& renamesBefore,
                  const std::vector<std::string>& lines)
{
    Verdict verdict;
    if (exitCode == EXIT_INSTALL_FAILED) {
        verdict.details = before.DifferencesTo(after);
        if (verdict.details.empty()) {
            verdict.step = STEP_ROLLED_BACK;
            verdict.word = "rolledback";
        } else {
            verdict.why = "failed, the machine differs from before the run";
        }
        return verdict;
    }
    // A complete run that needs the restart says so in its exit code (-9,
    // the switches tell it not to restart); without them it restarts and ends with 0.
    if (exitCode == 0 || exitCode == EXIT_RESTART_NEEDED) {
        CMachineSnapshot installed;
        if (!CMachineSnapshot::Load(work.File("installed.snap"), &installed)) {
            verdict.why = "no snapshot of the plain run";
            return verdict;
        }
        CWarningsByDesign warnings(work.product);
        warnings.NotStarted(lines);
        verdict.details = warnings.Differences(installed, AsInstalled(after));
        // Work left for the restart counts only with the restart asked for.
        if (exitCode == 0) {
            for (const auto& pair : PendingRenames()) {
                if (std::find(renamesBefore.begin(), renamesBefore.end(), pair) == renamesBefore.end())
                    verdict.details.push_back("left for a restart not asked for: " + pair.first + " -> " + pair.second);
            }
        }
        if (verdict.details.empty()) {
            verdict.step = STEP_INSTALLED;
            verdict.word = "installed";
        } else {
            verdict.why = "installed, the machine differs from a plain run's";
        }
        return verdict;
    }
    verdict.why = exitCode == -1001 ? "hung, ended after the time limit" : "unexpected exit code";
    verdict.details = before.DifferencesTo(after);
    if (verdict.details.empty()) {
        verdict.step = STEP_WRONG_REUSABLE;
        // A run that could not even begin (its checks, or the journal it
        // could not look at or found held) refuses with its own exit code.
        if (exitCode == EXIT_NOT_ADMIN || exitCode == EXIT_START_FAILED || exitCode == EXIT_JOURNAL_UNTRUSTED ||
            exitCode == EXIT_ANOTHER_RUN) {
            verdict.word = "refused";
            verdict.why.clear();
            verdict.step = STEP_ROLLED_BACK;
        }
    }
    return verdict;
}

// The log lines that tell what the run did about the failure.
std::vector<std::string> TellingLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> telling;
    for (const std::string& line : lines) {
        if (line.rfind("Warning", 0) == 0 || line.rfind("Error", 0) == 0 || line.rfind("Exception", 0) == 0 ||
            line.rfind(BACKUP_KEPT, 0) == 0 || line == ROLLBACK_STARTED || line == RECOVERY_STARTED ||
            line == RECOVERY_ENDED)
            telling.push_back(line);
    }
    return telling;
}

void AppendReport(const Work& work, const std::string& text)
{
    FILE* report = fopen(work.File("report.txt").c_str(), "ab");
    if (report == nullptr)
        return;
    fputs(text.c_str(), report);
    fclose(report);
}

std::string CutList(const std::string& title, const std::vector<std::string>& lines)
{
    if (lines.empty())
        return std::string();
    std::string text = "    " + title + ":\n";
    for (size_t i = 0; i < lines.size() && i < DETAIL_LINES; ++i)
        text += "      " + lines[i] + "\n";
    if (lines.size() > DETAIL_LINES)
        text += "      ... " + std::to_string(lines.size() - DETAIL_LINES) + " more\n";
    return text;
}

int Run(const Work& work, const std::string& sweep, const std::string& calls, const std::string& code)
{
    const bool rollback = sweep == "rollback";
    const std::string trace = work.File("run-trace.txt");

    const CMachineSnapshot before = TakeSnapshot(work.product);
    const auto renamesBefore = PendingRenames();
    const long exitCode = RunFailing(work, calls, code, trace);
    WaitForSteadyServices(work.product);
    const CMachineSnapshot after = TakeSnapshot(work.product);
    const std::vector<std::string> lines = RunLog(work.product);

    Verdict verdict;
    if (!rollback) {
        verdict = JudgePlan(exitCode, work, before, after, renamesBefore, lines);
    } else if (exitCode != EXIT_INSTALL_FAILED) {
        verdict.why = exitCode == -1001 ? "hung, ended after the time limit" : "did not end as a failed run";
        verdict.details = before.DifferencesTo(after);
        if (verdict.details.empty())
            verdict.step = STEP_WRONG_REUSABLE;
    } else {
        verdict = JudgeRollback(lines, before, after, renamesBefore, work.product);
    }
    if (verdict.word.empty())
        verdict.word = "wrong";

    // The name of the call the run failed last (the one this step is about).
    const std::vector<std::string> names = TraceNames(trace);
    const size_t last = strtoul(calls.substr(calls.rfind(',') + 1).c_str(), nullptr, 10);
    const std::string name = last < names.size() && !names[last].empty() ? names[last] : "(not reached)";

    char exitText[32];
    snprintf(exitText, sizeof exitText, "%ld", exitCode);
    std::string line = sweep + " " + calls + (code.empty() ? "" : " code " + code) + " " + name + " " +
                       verdict.word + " exit " + exitText;
    if (!verdict.why.empty())
        line += ": " + verdict.why;
    printf("%s\n", line.c_str());
    fflush(stdout);
    std::string report = line + "\n";
    if (verdict.word == "wrong") {
        const std::vector<std::string> telling = TellingLines(lines);
        report += CutList("differences", verdict.details) +
                  (telling.empty() ? "    log: no warning, no error\n" : CutList("log", telling));
    }
    AppendReport(work, report);
    return verdict.step;
}

// What the journal on disk says of a run that was ended from outside, from
// the records it added to those before it.
struct KilledState {
    bool begun = false;      // its first record got out
    bool open = false;       // begun, and neither committed nor rolled back: the next run undoes it
    bool committed = false;  // final: the installation it made stays
};

KilledState ReadKilledState(const JournalLayout& before, const JournalLayout& after)
{
    KilledState state;
    for (size_t i = before.kinds.size(); i < after.kinds.size(); ++i) {
        if (after.kinds[i] == JOURNAL_RUN_BEGUN) {
            state.begun = true;
            state.open = true;
        } else if (state.open && (after.kinds[i] == JOURNAL_COMMITTED || after.kinds[i] == JOURNAL_ROLLED_BACK)) {
            state.open = false;
            state.committed = state.committed || after.kinds[i] == JOURNAL_COMMITTED;
        }
    }
    return state;
}

JournalLayout JournalNow(const TestProduct& product)
{
    return ReadJournalLayout(ReadFileBytes(JournalPath(product)));
}

bool CountsFor(const std::string& kind, const TracedCall& call)
{
    return kind == "change" ? call.change : call.name == "FlushFileBuffers";
}

// The call a kill followed: the Nth change, or the Nth flush named by what
// it made last: a journal record (its write came just before), a record cut
// back, or a copy (a backup, a file for the driver store).
std::string KillPoint(const std::vector<TracedCall>& trace, const std::string& kind, long n)
{
    long seen = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (!CountsFor(kind, trace[i]) || ++seen != n)
            continue;
        if (kind == "change")
            return trace[i].name;
        const std::string previous = i > 0 ? trace[i - 1].name : std::string();
        return previous == "WriteFile" ? "FlushFileBuffers(record)"
               : previous == "SetEndOfFile" ? "FlushFileBuffers(cut)"
                                            : "FlushFileBuffers(copy)";
    }
    return "(not reached)";
}

// One silent run of `setup`, paced as fast as it goes, its temporary log
// gone before it; `variable`=`value` for the run when given.
long RunPlain(const Work& work, const std::string& setup, const char* variable = nullptr,
              const std::string& value = std::string(), const std::string& trace = std::string())
{
    if (!trace.empty())
        DeleteFileA(trace.c_str());
    DeleteFileA(TempLog(work.product).c_str());
    const ScopedEnvironment traced("VELLORAN_CALL_TRACE", trace);
    const ScopedEnvironment unpaced("VELLORAN_PAUSE_PERCENT", "0");
    if (variable == nullptr)
        return RunSetup(setup, SWITCHES, RUN_LIMIT_MS);
    const ScopedEnvironment set(variable, value);
    return RunSetup(setup, SWITCHES, RUN_LIMIT_MS);
}

// The kill sweep: a complete install ended after its Nth flush or change,
// then the next run judged (see the top of the file). A kill after the
// commit left a finished installation (only its clean-up, the backups'
// deletion and the log's placing, may be cut short): the failing run is then
// a failed upgrade over it and must leave the machine exactly as the kill
// left it, and the good run is an upgrade that must end installed as a plain
// run installs.
int Kill(const Work& work, const std::string& kind, const std::string& n, bool good)
{
    const TestProduct& product = work.product;
    const std::string trace = work.File("run-trace.txt");
    const CMachineSnapshot before = TakeSnapshot(product);
    const auto renamesBefore = PendingRenames();
    const JournalLayout journalBefore = JournalNow(product);

    const char* const killAt = kind == "flush" ? "VELLORAN_KILL_FLUSH" : "VELLORAN_KILL_CHANGE";
    const long killedExit = RunPlain(work, work.Setup(), killAt, n, trace);
    WaitForSteadyServices(product);
    const CMachineSnapshot killed = TakeSnapshot(product);
    const KilledState state = ReadKilledState(journalBefore, JournalNow(product));
    const std::vector<std::string> killedLines = ReadLines(TempLog(product));
    const bool finished = killedExit == 0 || killedExit == EXIT_RESTART_NEEDED;

    const long exitCode = RunPlain(work, good ? work.Setup() : work.Failing());
    WaitForSteadyServices(product);
    const CMachineSnapshot after = TakeSnapshot(product);
    const std::vector<std::string> lines = RunLog(product);

    Verdict verdict;
    std::vector<std::string> problems;
    if (killedExit != EXIT_KILLED && !finished) {
        problems.push_back("the killed run ended on its own with " + std::to_string(killedExit));
    } else if (finished && !state.committed) {
        problems.push_back("the run ended without its commit in the journal");
    }
    const bool recovered = std::find(lines.begin(), lines.end(), RECOVERY_STARTED) != lines.end();
    if (state.open && MissingInOrder(lines, {RECOVERY_STARTED, ROLLBACK_STARTED, RECOVERY_ENDED}) != "")
        problems.push_back("the interrupted run is not undone");
    else if (state.open && MissingInOrder(lines, {RECOVERY_ENDED, product.name + " installation..."}) != "")
        problems.push_back("the run does not go on after undoing the interrupted run");
    if (!state.open && recovered)
        problems.push_back("a run that was not interrupted is undone");

    if (good) {
        if (exitCode == 0 || exitCode == EXIT_RESTART_NEEDED) {
            verdict = JudgePlan(exitCode, work, before, after, renamesBefore, lines);
        } else {
            verdict.why = exitCode == -1001 ? "hung, ended after the time limit" : "the good run did not install";
            verdict.details = before.DifferencesTo(after);
        }
    } else if (exitCode != EXIT_INSTALL_FAILED) {
        verdict.why = exitCode == -1001 ? "hung, ended after the time limit" : "the failing run did not end with -10";
        verdict.details = before.DifferencesTo(after);
    } else if (state.committed) {
        // The backups the commit was to delete go with the next run, before
        // anything else: the rest stands as the kill left it.
        CMachineSnapshot committed = killed;
        for (auto item = committed.items.begin(); item != committed.items.end();)
            item = item->first.rfind("file ", 0) == 0 && IsBackupName(item->first) ? committed.items.erase(item)
                                                                                   : std::next(item);
        verdict.details = committed.DifferencesTo(after);
        if (verdict.details.empty()) {
            verdict.step = STEP_INSTALLED;
            verdict.word = "kept";
        } else {
            verdict.why = "failed, the machine differs from the installation the killed run committed";
        }
    } else {
        verdict.details = before.DifferencesTo(after);
        if (verdict.details.empty()) {
            verdict.step = STEP_ROLLED_BACK;
            verdict.word = "rolledback";
        } else {
            verdict.why = "failed, the machine differs from before the killed run";
        }
    }
    if (!problems.empty()) {
        verdict.word.clear();
        for (const std::string& problem : problems)
            verdict.why += (verdict.why.empty() ? "" : "; ") + problem;
    }
    if (verdict.word.empty()) {
        verdict.word = "wrong";
        verdict.step = before.DifferencesTo(after).empty() ? STEP_WRONG_REUSABLE : STEP_WRONG_SPENT;
    }

    const char* const stateWord = finished           ? "finished"
                                  : state.committed ? "committed"
                                  : state.open      ? "open"
                                  : state.begun     ? "closed"
                                                    : "unbegun";
    const std::string point = KillPoint(ReadTrace(trace), kind, strtol(n.c_str(), nullptr, 10));
    std::string line = "kill " + kind + " " + n + " " + point + " " + stateWord + (good ? " good " : " failing ") +
                       verdict.word + " exit " + std::to_string(exitCode);
    if (!verdict.why.empty())
        line += ": " + verdict.why;
    printf("%s\n", line.c_str());
    fflush(stdout);
    std::string report = line + "\n";
    if (verdict.word == "wrong") {
        const std::vector<std::string> telling = TellingLines(lines);
        const std::vector<std::string> killedTelling = TellingLines(killedLines);
        report += CutList("differences", verdict.details) +
                  CutList("the killed run's last lines",
                          std::vector<std::string>(killedLines.end() - std::min<size_t>(killedLines.size(), 5),
                                                   killedLines.end())) +
                  (killedTelling.empty() ? "" : CutList("the killed run's log", killedTelling)) +
                  (telling.empty() ? "    log: no warning, no error\n" : CutList("log", telling));
    }
    AppendReport(work, report);
    return verdict.step;
}

// One plain run's wall time, with its flushes made or skipped (the test
// build's VELLORAN_SKIP_FLUSH; "0" installs the same call wrappers without
// skipping, so that both runs pay for them alike).
int Time(const Work& work, const std::string& flushes)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const long exitCode = RunPlain(work, work.Setup(), "VELLORAN_SKIP_FLUSH", flushes == "skip" ? "1" : "0");
    QueryPerformanceCounter(&end);
    const double ms =
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    printf("time %s %.0f ms exit %ld\n", flushes.c_str(), ms, exitCode);
    return exitCode == 0 || exitCode == EXIT_RESTART_NEEDED ? 0 : STEP_SETUP_FAILED;
}

int Prepare(const Work& work, const std::string& machine, bool kill)
{
    SetupRecipe recipe;
    recipe.stub = BinPath(work.product.setup + "_faulting.exe");
    if (machine == "upgrade") {
        // The product installed and its service running, as a user has it
        // when a later build comes.
        const long installed = RunSetup(PackedSetup(work.product), "-silent -licenseaccept");
        if (installed != 0 || !ServiceRunning(work.product.serviceName)) {
            fprintf(stderr, "prepare: the first install ended with %ld, service %s\n", installed,
                    ServiceRunning(work.product.serviceName) ? "running" : "not running");
            return STEP_SETUP_FAILED;
        }
        recipe.newer = true;
    } else if (machine != "clean") {
        return STEP_USAGE;
    }
    CreateDirectoryA(work.File("setup").c_str(), nullptr);
    MakeSetup(work.product, recipe, work.File("setup"));
    if (kill) {
        // Without the driver package's catalog the store refuses the
        // package: the run fails late, after most of its changes.
        for (const std::string& entry : work.product.entries) {
            if (EndsWith(entry, ".cat"))
                recipe.missing.push_back(entry);
        }
        CreateDirectoryA(work.File("failing").c_str(), nullptr);
        MakeSetup(work.product, recipe, work.File("failing"));
    }
    return 0;
}

// A fresh copy boots as after a restart: the installed product's service
// starts on its own, and a snapshot taken before it runs would see it start
// during the next run.
int Settle(const Work& work, const std::string& machine)
{
    if (machine != "upgrade")
        return 0;
    const std::string& name = work.product.serviceName;
    // The service manager itself may still be starting: ask again for a
    // while. Now and then, on a loaded machine, Wine's boot does not get to
    // the service at all; it is then started as the user would.
    for (int attempt = 0; attempt < 12; ++attempt) {
        if (ServiceRunning(name))
            return 0;
        if (attempt == 2) {
            fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
            fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_START));
            if (service && !StartServiceA(service.get(), 0, nullptr))
                fprintf(stderr, "settle: %s not started at the boot, StartService: %lu\n", name.c_str(), GetLastError());
        }
        Sleep(1000);
    }
    fprintf(stderr, "settle: %s does not run\n", name.c_str());
    return STEP_SETUP_FAILED;
}

// A run without failure: how many calls it makes, their names, its exit code
// and what the machine looks like after it.
// Where the plain run's commit lies among its flushes and changes, for the
// kill sweep: WORK/kill-counts.txt holds "FLUSHES CHANGES COMMIT-FLUSH
// COMMIT-CHANGE", the last two the flush of the commit record and the change
// that wrote it. The run's records are matched with its flushes that follow a
// write (the journal's; a copy's flush follows its opening).
bool WriteKillCounts(const Work& work, const std::string& trace, const JournalLayout& before)
{
    const JournalLayout after = JournalNow(work.product);
    long commitRecord = 0;  // among the run's own records, from 1
    for (size_t i = before.kinds.size(); i < after.kinds.size() && commitRecord == 0; ++i) {
        if (after.kinds[i] == JOURNAL_COMMITTED)
            commitRecord = static_cast<long>(i - before.kinds.size()) + 1;
    }
    const std::vector<TracedCall> calls = ReadTrace(trace);
    long flushes = 0, changes = 0, records = 0, commitFlush = 0, commitChange = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        changes += calls[i].change ? 1 : 0;
        if (calls[i].name != "FlushFileBuffers")
            continue;
        ++flushes;
        if (i > 0 && calls[i - 1].name == "WriteFile" && ++records == commitRecord) {
            commitFlush = flushes;
            commitChange = changes;
        }
    }
    const long written = static_cast<long>(after.kinds.size() - before.kinds.size());
    printf("reference: %ld flushes (%ld records, %ld in the journal), %ld changes, commit at flush %ld, change %ld\n",
           flushes, records, written, changes, commitFlush, commitChange);
    if (commitFlush == 0 || records != written)
        return false;
    FILE* file = fopen(work.File("kill-counts.txt").c_str(), "wb");
    if (file == nullptr)
        return false;
    fprintf(file, "%ld %ld %ld %ld\n", flushes, changes, commitFlush, commitChange);
    return fclose(file) == 0;
}

// A run without failure: how many calls it makes, their names, its exit code
// and what the machine looks like after it.
int Reference(const Work& work, bool kill)
{
    const std::string trace = work.File("trace.txt");
    const JournalLayout journalBefore = JournalNow(work.product);
    const long exitCode = RunFailing(work, "", "", trace);
    WaitForSteadyServices(work.product);
    const CMachineSnapshot installed = AsInstalled(TakeSnapshot(work.product));
    if (!installed.Save(work.File("installed.snap")))
        return STEP_SETUP_FAILED;
    printf("reference: exit %ld, %zu calls\n", exitCode, TraceNames(trace).size() - 1);
    if (kill && !WriteKillCounts(work, trace, journalBefore))
        return STEP_SETUP_FAILED;
    // Over the running product the plain run needs the restart for the
    // service's program, which is in use.
    return exitCode == 0 || exitCode == EXIT_RESTART_NEEDED ? 0 : STEP_SETUP_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return STEP_USAGE;
    const std::string command = argv[1];
    const std::string productName = argv[2];
    if (productName != "server" && productName != "client")
        return STEP_USAGE;
    const TestProduct& product = productName == "server" ? Server() : Client();
    try {
        if (command == "prepare" && (argc == 5 || (argc == 6 && std::string(argv[5]) == "kill")))
            return Prepare(Work{product, WinePath(argv[4])}, argv[3], argc == 6);
        if (command == "settle" && argc == 5)
            return Settle(Work{product, WinePath(argv[4])}, argv[3]);
        const Work work{product, WinePath(argv[3])};
        if (command == "reference" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "kill")))
            return Reference(work, argc == 5);
        if (command == "run" && (argc == 6 || argc == 7))
            return Run(work, argv[4], argv[5], argc == 7 ? argv[6] : "");
        const std::string kind = argc > 4 ? argv[4] : "";
        if (command == "kill" && (argc == 6 || (argc == 7 && std::string(argv[6]) == "good")) &&
            (kind == "flush" || kind == "change"))
            return Kill(work, kind, argv[5], argc == 7);
        if (command == "time" && argc == 5 && (kind == "skip" || kind == "keep"))
            return Time(work, kind);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s: %s\n", command.c_str(), e.what());
        return STEP_SETUP_FAILED;
    }
    return STEP_USAGE;
}
