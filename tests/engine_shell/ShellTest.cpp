#include "engine/Installer.h"
#include "engine/PlatformCalls.h"
#include "tests/engine_shell/FakeShellLink.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <functional>
#include <memory>

using namespace testsupport;

namespace {

const char* const RUNONCE_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char* const UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

struct LogFile {
    std::string path;
    fw::CFileHandle handle;
    explicit LogFile(const std::string& name) : path(TempDir() + "\\" + name)
    {
        handle.reset(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    std::vector<std::string> Lines()
    {
        FlushFileBuffers(handle.get());
        return ReadLines(path);
    }
};

std::unique_ptr<CExceptionEx> Catch(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (CExceptionEx* e) {
        return std::unique_ptr<CExceptionEx>(e);
    }
    return nullptr;
}

// A folder with a program in it, as the plan leaves it before its shortcuts.
struct Installed {
    std::string directory = MakeTempDir("shell");
    std::string links = directory + "\\Start Menu";
    Installed()
    {
        CreateDirectoryA(links.c_str(), nullptr);
        WriteFileBytes(directory + "\\velloran.exe", "MZ");
        WriteFileBytes(directory + "\\velloran.chm", "ITSF");
    }
    ~Installed() { RemoveTree(directory); }
};

struct LinkContents {
    bool loaded = false;
    std::string path, arguments, workingDirectory, description, iconPath;
    int iconIndex = -1;
};

// Reads a .lnk back through the shell's own link object.
LinkContents ReadLink(const std::string& linkPath)
{
    LinkContents contents;
    if (FAILED(CoInitialize(nullptr)))
        return contents;
    {
        fw::CComPtr<IShellLinkA> link;
        fw::CComPtr<IPersistFile> file;
        WCHAR wide[MAX_PATH * 2];
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       link.put_void())) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, file.put_void())) &&
            MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH * 2) > 0 &&
            SUCCEEDED(file->Load(wide, STGM_READ))) {
            char text[1024];
            contents.loaded = true;
            text[0] = 0;
            link->GetPath(text, sizeof text, nullptr, SLGP_RAWPATH);
            contents.path = text;
            text[0] = 0;
            link->GetArguments(text, sizeof text);
            contents.arguments = text;
            text[0] = 0;
            link->GetWorkingDirectory(text, sizeof text);
            contents.workingDirectory = text;
            text[0] = 0;
            link->GetDescription(text, sizeof text);
            contents.description = text;
            text[0] = 0;
            link->GetIconLocation(text, sizeof text, &contents.iconIndex);
            contents.iconPath = text;
        }
    }
    CoUninitialize();
    return contents;
}

// True when the calling thread is in no COM apartment: an operation that
// entered one has left it again.
bool ThreadLeftCom()
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr))
        CoUninitialize();
    return hr == S_OK;
}

// --- the seam: the engine's COM calls answered by the test ---

CFakeShellLink* g_fakeLink = nullptr;
DWORD g_failError = 0;

HRESULT WINAPI FailCoInitialize(LPVOID)
{
    SetLastError(g_failError);
    return E_OUTOFMEMORY;
}

HRESULT WINAPI FailCoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* out)
{
    *out = nullptr;
    SetLastError(g_failError);
    return REGDB_E_CLASSNOTREG;
}

HRESULT WINAPI FakeCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                    LPVOID* out)
{
    *out = nullptr;
    if (clsid != CLSID_ShellLink || outer != nullptr || context != CLSCTX_INPROC_SERVER)
        return E_INVALIDARG;
    return g_fakeLink->QueryInterface(iid, out);
}

class EngineShell : public ::testing::Test {
protected:
    void TearDown() override { ResetEngineCalls(); }
};

}  // namespace

TEST_F(EngineShell, ShortcutsReadBackWithTheirProperties)
{
    Installed installed;
    LogFile log("shortcuts.log");
    CInstaller engine(log.handle.get(), 0);
    const size_t creationLines = log.Lines().size();

    engine.CreateShortcut("velloran.exe", installed.directory, installed.links, "Velloran Help",
                          "-help");
    engine.CreateShortcut("velloran.chm", installed.directory, installed.links, "Velloran Manual",
                          nullptr);
    EXPECT_TRUE(ThreadLeftCom());

    const std::string withArgs = installed.links + "\\Velloran Help.lnk";
    const std::string without = installed.links + "\\Velloran Manual.lnk";
    const LinkContents help = ReadLink(withArgs);
    ASSERT_TRUE(help.loaded);
    EXPECT_EQ(help.path, installed.directory + "\\velloran.exe");
    EXPECT_EQ(help.arguments, "-help");
    EXPECT_EQ(help.workingDirectory, installed.directory);
    EXPECT_EQ(help.description, "Velloran Help");
    EXPECT_EQ(help.iconPath, installed.directory + "\\velloran.exe");
    EXPECT_EQ(help.iconIndex, 0);

    const LinkContents manual = ReadLink(without);
    ASSERT_TRUE(manual.loaded);
    EXPECT_EQ(manual.path, installed.directory + "\\velloran.chm");
    EXPECT_EQ(manual.arguments, "");
    EXPECT_EQ(manual.description, "Velloran Manual");

    std::vector<std::string> lines = log.Lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(creationLines));
    EXPECT_EQ(lines, (std::vector<std::string>{"CreateShortcuts: " + withArgs,
                                               "CreateShortcuts: " + without}));
    EXPECT_EQ(engine.Journal(), (JournalMap{{withArgs, JOURNAL_FILE}, {without, JOURNAL_FILE}}));

    // A second run overwrites the link in place, with no backup to restore.
    engine.CreateShortcut("velloran.exe", installed.directory, installed.links, "Velloran Help",
                          "-about");
    EXPECT_EQ(ReadLink(withArgs).arguments, "-about");
    EXPECT_TRUE(engine.Backups().empty());

    // The rollback deletes the links like any file the run made.
    engine.RemoveInstallFiles();
    EXPECT_FALSE(FileExists(withArgs));
    EXPECT_FALSE(FileExists(without));
}

TEST_F(EngineShell, LinkThatCannotBeSavedFailsAt854AndLeavesNoLink)
{
    Installed installed;
    CInstaller engine(INVALID_HANDLE_VALUE, 0);

    // The link folder is missing: the shell reports the path as not found.
    auto e = Catch([&] {
        engine.CreateShortcut("velloran.exe", installed.directory, installed.directory + "\\Nowhere",
                              "Velloran", nullptr);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->module, MODULE_INSTALLER);
    EXPECT_EQ(e->location, 854);
    EXPECT_EQ(e->code, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
    // Journaled before the save, as every change is: the rollback finds nothing to delete.
    const std::string nowhere = installed.directory + "\\Nowhere\\Velloran.lnk";
    EXPECT_EQ(engine.Journal(), (JournalMap{{nowhere, JOURNAL_FILE}}));
    EXPECT_FALSE(FileExists(nowhere));
    EXPECT_TRUE(ThreadLeftCom());

    // A link path longer than the save buffer is refused, not truncated.
    const std::string longName(300, 'L');
    e = Catch([&] {
        engine.CreateShortcut("velloran.exe", installed.directory, installed.links, longName, nullptr);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 854);
    EXPECT_EQ(e->code, static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(engine.Journal().size(), 1u);
    EXPECT_TRUE(ThreadLeftCom());
}

TEST_F(EngineShell, EachLinkStepFailsAtItsOwnSiteAndReleasesWhatItGot)
{
    struct Case {
        LinkStep step;
        int location;
    };
    const Case cases[] = {
        {LinkStep::QueryPersistFile, 816}, {LinkStep::SetPath, 820},
        {LinkStep::SetDescription, 826},   {LinkStep::SetWorkingDirectory, 838},
        {LinkStep::SetIconLocation, 843},  {LinkStep::Save, 854},
    };
    Installed installed;
    CInstaller engine(INVALID_HANDLE_VALUE, 0);
    EngineCalls().CoCreateInstance = &FakeCoCreateInstance;

    DWORD error = 0x2000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        CFakeShellLink link(c.step, ++error);
        g_fakeLink = &link;
        auto e = Catch([&] {
            engine.CreateShortcut("velloran.exe", installed.directory, installed.links, "Velloran",
                                  "-help");
        });
        ASSERT_TRUE(e);
        EXPECT_EQ(e->module, MODULE_INSTALLER);
        EXPECT_EQ(e->location, c.location);
        EXPECT_EQ(e->code, error);
        EXPECT_EQ(link.References(), 1u);  // only the test's own reference is left
        // Only the save itself is journaled before it is tried.
        EXPECT_EQ(engine.Journal().count(installed.links + "\\Velloran.lnk"), c.step == LinkStep::Save ? 1u : 0u);
        EXPECT_FALSE(FileExists(installed.links + "\\Velloran.lnk"));
        EXPECT_TRUE(ThreadLeftCom());
    }

    // A refused argument list does not stop the link.
    CFakeShellLink link(LinkStep::SetArguments, 0x2100);
    g_fakeLink = &link;
    engine.CreateShortcut("velloran.exe", installed.directory, installed.links, "Velloran", "-help");
    EXPECT_EQ(link.Calls(), (std::vector<std::string>{"QueryInterface(IPersistFile)", "SetPath",
                                                      "SetDescription", "SetArguments",
                                                      "SetWorkingDirectory", "SetIconLocation",
                                                      "Save"}));
    EXPECT_EQ(link.References(), 1u);
    EXPECT_EQ(engine.Journal().count(installed.links + "\\Velloran.lnk"), 1u);
}

TEST_F(EngineShell, ComRuntimeFailuresAndTheClientNumbering)
{
    Installed installed;
    auto make = [&](CInstaller& engine) {
        return Catch([&] {
            engine.CreateShortcut("velloran.exe", installed.directory, installed.links, "Velloran",
                                  nullptr);
        });
    };

    CInstaller server(INVALID_HANDLE_VALUE, 0);
    CInstaller client(INVALID_HANDLE_VALUE, 0, EngineSiteShift{-1, +1});

    g_failError = 0x3001;
    EngineCalls().CoInitialize = &FailCoInitialize;
    auto e = make(server);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 804);
    EXPECT_EQ(e->code, 0x3001u);
    e = make(client);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 805);
    ResetEngineCalls();

    g_failError = 0x3002;
    EngineCalls().CoCreateInstance = &FailCoCreateInstance;
    e = make(server);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 812);
    EXPECT_EQ(e->code, 0x3002u);
    EXPECT_TRUE(ThreadLeftCom());
    ResetEngineCalls();

    e = Catch([&] {
        client.CreateShortcut("velloran.exe", installed.directory, installed.directory + "\\Nowhere",
                              "Velloran", nullptr);
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->location, 855);
    EXPECT_TRUE(server.Journal().empty());
    EXPECT_EQ(client.Journal().size(), 1u);
}

TEST_F(EngineShell, InternetShortcutIsAFileOfItsHeadAndTheUrl)
{
    Installed installed;
    LogFile log("url.log");
    CInstaller engine(log.handle.get(), 0);
    const size_t creationLines = log.Lines().size();
    const std::string url = "https://www.velloran.example/products/velloran";
    const std::string path = installed.links + "\\Velloran on Web.url";

    engine.CreateUrlShortcut("Velloran on Web.url", installed.links, url);

    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), 24 + url.size());
    EXPECT_EQ(bytes, "[InternetShortcut]\r\nURL=" + url);  // no zero, no final line break
    std::vector<std::string> lines = log.Lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(creationLines));
    EXPECT_EQ(lines, std::vector<std::string>{"Install File: " + path});
    EXPECT_EQ(engine.Journal(), (JournalMap{{path, JOURNAL_FILE}}));

    // Over an older shortcut: backed up and restored like any installed file.
    const std::string older = "[InternetShortcut]\r\nURL=http://old.example/";
    ASSERT_TRUE(WriteFileBytes(installed.directory + "\\Old.url", older));
    engine.CreateUrlShortcut("Old.url", installed.directory, url);
    EXPECT_EQ(ReadFileBytes(installed.directory + "\\Old.url"), "[InternetShortcut]\r\nURL=" + url);
    engine.RollBackInstallFiles();
    EXPECT_EQ(ReadFileBytes(installed.directory + "\\Old.url"), older);
}

TEST_F(EngineShell, UninstallEntryHoldsItsFourStrings)
{
    const std::string key = std::string(UNINSTALL_KEY) + "VelloranTest";
    // An older entry: its values are overwritten one by one, others stay.
    {
        fw::CRegKey old;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, old.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(old.get(), "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>("Old"), 4);
        RegSetValueExA(old.get(), "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("Someone"), 8);
    }

    LogFile log("uninstall.log");
    CInstaller engine(log.handle.get(), 0);
    const size_t creationLines = log.Lines().size();
    CInstaller::UninstallEntryDetails details;
    details.displayVersion = "6.1";
    details.publisher = "Korvelline LLC";
    details.displayIcon = "C:\\Program Files\\Velloran\\velloran.exe";
    details.estimatedSizeKb = 1234;
    engine.RegisterUninstall("VelloranTest", "C:\\Program Files\\Velloran", "Velloran", "uninstall.exe", "Velloran",
                             details);

    const std::pair<const char*, std::string> expected[] = {
        {"InstallLocation", "C:\\Program Files\\Velloran"},
        {"UninstallString", "\"C:\\Program Files\\Velloran\\uninstall.exe\""},
        {"QuietUninstallString", "\"C:\\Program Files\\Velloran\\uninstall.exe\" -silent"},
        {"StartMenuLocation", "Velloran"},
        {"DisplayName", "Velloran"},
        {"DisplayVersion", "6.1"},
        {"Publisher", "Korvelline LLC"},
        {"DisplayIcon", "C:\\Program Files\\Velloran\\velloran.exe"},
    };
    for (const auto& value : expected) {
        SCOPED_TRACE(value.first);
        std::string data;
        DWORD type = 0;
        ASSERT_TRUE(RegReadValue(HKEY_LOCAL_MACHINE, key, value.first, &data, &type));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data, value.second + std::string(1, '\0'));  // stored with its terminating zero
    }
    for (const auto& value : {std::make_pair("EstimatedSize", 1234ul), std::make_pair("NoModify", 1ul),
                              std::make_pair("NoRepair", 1ul)}) {
        DWORD data = 0;
        EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, key, value.first, &data)) << value.first;
        EXPECT_EQ(data, value.second) << value.first;
    }

    // Neither logged nor journaled: a rollback leaves the entry.
    EXPECT_EQ(log.Lines().size(), creationLines);
    EXPECT_TRUE(engine.Journal().empty());
}

TEST_F(EngineShell, RunOnceKeyIsMadeAndLoggedOnlyWhenMissing)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, RUNONCE_KEY);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, RUNONCE_KEY);
    ASSERT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, RUNONCE_KEY));

    LogFile first("runonce-first.log");
    { CInstaller engine(first.handle.get(), 0); }
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, RUNONCE_KEY));
    EXPECT_EQ(first.Lines(), std::vector<std::string>{"Create 'RunOnce' registry key entry"});

    LogFile second("runonce-second.log");
    { CInstaller engine(second.handle.get(), 0); }
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, RUNONCE_KEY));
    EXPECT_TRUE(second.Lines().empty());
}

// --- restart ---

namespace {

struct ExitRequest {
    int calls = 0;
    UINT flags = 0;
    DWORD reason = 0;
    bool shutdownPrivilegeEnabled = false;
};
ExitRequest g_exitRequest;

bool ShutdownPrivilegeEnabled()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    fw::CKernelHandle token(raw);
    LUID shutdown{};
    if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown))
        return false;
    std::vector<BYTE> buffer(4096);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &size))
        return false;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
        if (p.Luid.LowPart == shutdown.LowPart && p.Luid.HighPart == shutdown.HighPart)
            return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
}

void DisableShutdownPrivilege()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw))
        return;
    fw::CKernelHandle token(raw);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = 0;
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
}

BOOL WINAPI RecordExitWindows(UINT flags, DWORD reason)
{
    ++g_exitRequest.calls;
    g_exitRequest.flags = flags;
    g_exitRequest.reason = reason;
    g_exitRequest.shutdownPrivilegeEnabled = ShutdownPrivilegeEnabled();
    SetLastError(ERROR_NOT_READY);
    return FALSE;
}

}  // namespace

TEST_F(EngineShell, RestartAsksForARebootWithTheShutdownPrivilege)
{
    DisableShutdownPrivilege();
    ASSERT_FALSE(ShutdownPrivilegeEnabled());
    LogFile log("restart-fake.log");
    CInstaller engine(log.handle.get(), 0);
    const size_t creationLines = log.Lines().size();
    EngineCalls().ExitWindowsEx = &RecordExitWindows;

    EXPECT_EQ(engine.RestartSystem(), FALSE);  // the refusal is passed on
    EXPECT_EQ(g_exitRequest.calls, 1);
    EXPECT_EQ(g_exitRequest.flags, static_cast<UINT>(EWX_REBOOT));
    EXPECT_EQ(g_exitRequest.reason, 0u);
    EXPECT_TRUE(g_exitRequest.shutdownPrivilegeEnabled);
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), creationLines + 1);
    EXPECT_EQ(lines.back(), "Restart System");
}

// Wine's restart ends the session of this throwaway prefix and carries out
// the renames waiting for it; this program lives on.
TEST(Restart, ForRealCarriesOutPendingRenamesAndReturns)
{
    const std::string dir = MakeTempDir("restart");
    const std::string pending = dir + "\\new.bin";
    const std::string target = dir + "\\target.bin";
    ASSERT_TRUE(WriteFileBytes(pending, "after restart"));
    ASSERT_TRUE(WriteFileBytes(target, "before restart"));
    ASSERT_TRUE(MoveFileExA(pending.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));

    LogFile log("restart-real.log");
    CInstaller engine(log.handle.get(), 0);
    EXPECT_NE(engine.RestartSystem(), FALSE);

    for (int i = 0; i < 200 && FileExists(pending); ++i)
        Sleep(50);
    EXPECT_FALSE(FileExists(pending));
    EXPECT_EQ(ReadFileBytes(target), "after restart");
    EXPECT_EQ(log.Lines().back(), "Restart System");
    RemoveTree(dir);
}
