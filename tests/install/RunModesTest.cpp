// Exit codes and messages of the run modes: a silent run without the licence
// switch or with a damaged package, the unpack-only run, a failure with and
// without "-im", a run that needs a restart.
#include "tests/install/InstallTestSupport.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include "framework/Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace installtest;
using namespace testsupport;

namespace {

struct SetupRun {
    long exitCode = 0;
    std::vector<std::string> boxes;
    std::vector<std::string> debugLines;
};

// Runs the setup and answers its message boxes with `button`.
SetupRun RunAnswering(const TestProduct& product, const std::string& setup, const std::string& switches,
                 int button = IDOK, const std::string& currentDirectory = std::string())
{
    SetupRun run;
    CMessageBoxWatcher watcher(product.name, button);
    run.exitCode = RunProcess("\"" + setup + "\" " + switches, 90000, currentDirectory);
    watcher.Stop();
    run.boxes = watcher.Texts();
    return run;
}

// Runs the setup as its debugger and collects what it sends there.
SetupRun RunDebugged(const std::string& setup, const std::string& switches, const std::string& currentDirectory)
{
    SetupRun run;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + setup + "\" " + switches;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        currentDirectory.c_str(), &startup, &info)) {
        run.exitCode = -1000;
        return run;
    }
    fw::CKernelHandle process(info.hProcess);
    fw::CKernelHandle thread(info.hThread);
    DEBUG_EVENT event{};
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000 && WaitForDebugEvent(&event, 60000)) {
        if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
            const OUTPUT_DEBUG_STRING_INFO& text = event.u.DebugString;
            std::string bytes(text.nDebugStringLength, '\0');
            SIZE_T got = 0;
            ReadProcessMemory(process.get(), text.lpDebugStringData, &bytes[0], bytes.size(), &got);
            bytes.resize(got);
            while (!bytes.empty() && bytes.back() == '\0')
                bytes.pop_back();
            run.debugLines.push_back(bytes);
        } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
        }
        const bool exited = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        if (exited)
            run.exitCode = static_cast<int32_t>(event.u.ExitProcess.dwExitCode);
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        if (exited)
            break;
    }
    return run;
}

std::vector<std::string> UnpackList(const TestProduct& product)
{
    std::vector<std::string> names;
    if (&product == &Server())
        names = {"velloransrv.exe", "velloran.exe", "license.txt", "license.rtf", "uninstall.exe",
                 "readme.txt", "velloran-help.chm", "nexstb.sys", "nexpnp.sys", "nexbus.sys",
                 "nexbus.inf", "nexbus.cat", "velloransh.exe"};
    else
        names = {"velloransrvlt.exe", "velloranlt.exe", "license.txt", "license.rtf", "uninstall.exe",
                 "readme.txt", "velloran-client-help.chm", "nexbuslt.sys", "nexbuslt.inf", "nexbuslt.cat",
                 "velloranltsh.exe"};
    return names;
}

std::string SetupErrorArg0(int location)
{
    char text[32];
    snprintf(text, sizeof text, "Error arg0 = 0x%.8x", 0x10000000u | static_cast<unsigned>(location));
    return text;
}

}  // namespace

TEST(SilentExitCodes, WithoutTheLicenceSwitchNothingIsInstalled)
{
    ASSERT_TRUE(HaveDisplay());
    SetupRun quiet = RunAnswering(Server(), PackedSetup(Server()), "-silent");
    EXPECT_EQ(quiet.exitCode, -7);
    EXPECT_TRUE(quiet.boxes.empty());
    EXPECT_FALSE(DirectoryExists(InstallFolder(Server())));
    // The run returns before its end: the temporary log stays.
    EXPECT_TRUE(FileExists(TempLog(Server())));

    SetupRun told = RunAnswering(Server(), PackedSetup(Server()), "-silent -im");
    EXPECT_EQ(told.exitCode, -7);
    EXPECT_EQ(told.boxes, std::vector<std::string>{"To install Velloran, license must be accepted!"});
}

TEST(SilentExitCodes, ADamagedPackageEndsWithMinus8)
{
    ASSERT_TRUE(HaveDisplay());
    const std::string folder = MakeTempDir("stub");
    const std::string stub = StubSetup(Client(), folder);
    SetupRun quiet = RunAnswering(Client(), stub, "-silent -licenseaccept");
    EXPECT_EQ(quiet.exitCode, -8);
    EXPECT_TRUE(quiet.boxes.empty());

    SetupRun told = RunAnswering(Client(), stub, "-silent -licenseaccept -im");
    EXPECT_EQ(told.exitCode, -8);
    EXPECT_EQ(told.boxes, std::vector<std::string>{
                              "Installation package is damaged! Please download the latest version of "
                              "Velloran Client from our web site and try again!"});
    EXPECT_FALSE(DirectoryExists(InstallFolder(Client())));
}

TEST(SilentExitCodes, AFailedRunWithMessagesOpensTheLogAndEndsWithMinus10)
{
    ASSERT_TRUE(HaveDisplay());
    const std::string folder = MakeTempDir("failim");
    const std::string setup = SetupWithout(Server(), {"readme.txt"}, folder);
    SetupRun run = RunAnswering(Server(), setup, "-silent -licenseaccept -im");
    EXPECT_EQ(run.exitCode, -10);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_NE(run.boxes[0].find(SetupErrorArg0(524)), std::string::npos);
    EXPECT_EQ(run.boxes[1], "To resolve installation issue please send installation log file [" +
                                TempLog(Server()) + "] to our support team.");
    EXPECT_TRUE(FileExists(TempLog(Server())));
}

TEST(SilentExitCodes, AFileInUseDefersToTheRestart)
{
    // A program file held open by another process, as a running program
    // holds its image (readable, not writable): the plan replaces it at the
    // restart, starts no service, and "-norestart" ends with -9.
    const std::string install = InstallFolder(Server());
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
    const std::string held = install + "\\license.txt";
    ASSERT_TRUE(WriteFileBytes(held, "an older licence"));
    FileHolder holder(held, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    EXPECT_EQ(RunSetup(PackedSetup(Server()), "-silent -licenseaccept -norestart"), -9);
    holder.Release();

    EXPECT_EQ(ReadFileBytes(held), "an older licence");  // replaced only at the restart
    // The run finished, all but the restart: its log is in the install folder.
    EXPECT_FALSE(FileExists(TempLog(Server())));
    const std::vector<std::string> lines = ReadLines(install + "\\velloran-install.log");
    EXPECT_EQ(MissingInOrder(lines, {"Install File: " + held,
                                     "Warning: === Reboot required to complete operation ===",
                                     "Install Service: velloransrv"}),
              "");
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("Start Installed Service"), std::string::npos) << line;
    bool pending = false;
    for (const auto& rename : PendingRenames())
        pending = pending || rename.second.find("license.txt") != std::string::npos;
    EXPECT_TRUE(pending);
}

TEST(SilentExitCodes, AFileInUseRestartsWindowsWithoutNoRestart)
{
    // The same run without "-norestart" asks Windows to restart and ends
    // normally; in a throwaway prefix the restart only ends Wine's session.
    const std::string install = InstallFolder(Client());
    ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
    const std::string held = install + "\\readme.txt";
    ASSERT_TRUE(WriteFileBytes(held, "an older readme"));
    FileHolder holder(held, FILE_SHARE_READ);
    ASSERT_TRUE(holder.holding());

    EXPECT_EQ(RunSetup(PackedSetup(Client()), "-silent -licenseaccept"), 0);
    holder.Release();
    const std::vector<std::string> lines = ReadLines(install + "\\" + Client().logFile);
    EXPECT_EQ(MissingInOrder(lines, {"Warning: === Reboot required to complete operation ===",
                                     "Firewall rules was created succesful", "Restart System"}),
              "");
    EXPECT_FALSE(FileExists(TempLog(Client())));
}

TEST(UnpackOnly, WritesExactlyTheListedFilesAndTellsTheDebugger)
{
    for (const TestProduct* product : {&Server(), &Client()}) {
        const std::string folder = MakeTempDir("unpack");
        const SetupRun run = RunDebugged(PackedSetup(*product), "-unpack", folder);
        EXPECT_EQ(run.exitCode, 0);
        const std::vector<std::string> names = UnpackList(*product);
        std::vector<std::string> expectedDebug;
        for (const std::string& name : names)
            expectedDebug.push_back("VELLORAN: unpack file: " + name + "\n");
        EXPECT_EQ(run.debugLines, expectedDebug);

        const std::string unpacked = folder + "\\" + product->name + " files";
        std::vector<std::string> listed = ListFolder(unpacked);
        std::vector<std::string> sorted = names;
        std::sort(listed.begin(), listed.end());
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(listed, sorted);
        for (const std::string& name : names)
            EXPECT_EQ(ReadFileBytes(unpacked + "\\" + name), PayloadBytes(*product, name)) << name;
        // Nothing was installed.
        EXPECT_FALSE(DirectoryExists(InstallFolder(*product)));
    }
}

TEST(UnpackOnly, AnExistingFolderFailsAt245AndADamagedPackageAt253)
{
    ASSERT_TRUE(HaveDisplay());
    const std::string folder = MakeTempDir("unpackfail");
    const std::string unpacked = folder + "\\Velloran files";
    ASSERT_TRUE(CreateDirectoryA(unpacked.c_str(), nullptr));
    SetupRun existing = RunAnswering(Server(), PackedSetup(Server()), "-unpack", IDOK, folder);
    EXPECT_EQ(existing.exitCode, -13);
    ASSERT_EQ(existing.boxes.size(), 1u);
    EXPECT_NE(existing.boxes[0].find(SetupErrorArg0(245)), std::string::npos) << existing.boxes[0];
    EXPECT_TRUE(ListFolder(unpacked).empty());

    const std::string damaged = MakeTempDir("unpackstub");
    const std::string stub = StubSetup(Server(), damaged);
    // Silent without "-im": no box, the error in the log that stays.
    SetupRun broken = RunAnswering(Server(), stub, "-unpack -silent", IDOK, damaged);
    EXPECT_EQ(broken.exitCode, -13);
    EXPECT_TRUE(broken.boxes.empty()) << ::testing::PrintToString(broken.boxes);
    const std::vector<std::string> lines = ReadLines(TempLog(Server()));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find(SetupErrorArg0(253)) != std::string::npos;
    })) << ::testing::PrintToString(lines);
    EXPECT_TRUE(DirectoryExists(damaged + "\\Velloran files"));
    EXPECT_TRUE(ListFolder(damaged + "\\Velloran files").empty());
}
