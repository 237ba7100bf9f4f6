// The setup log's line format and the capture of the SetupAPI log: what ends
// up in the log file and what the Setup key holds during and after a run.
#include "engine/Installer.h"
#include "engine/PlatformCalls.h"
#include "process/SetupLogApi.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace testsupport;

namespace {

const char* const SETUP_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
const std::string BEGIN = "==== SetupApi log begin ====\r\n";
const std::string END = "===== SetupApi log end =====\r\n";

std::string InfLog()
{
    return WindowsDir() + "\\inf\\setupapi.dev.log";
}

void SetSetupValue(const char* name, DWORD type, const std::string& bytes)
{
    fw::CRegKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETUP_KEY, 0, KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

void SetLogLevel(DWORD level)
{
    SetSetupValue("LogLevel", REG_DWORD, std::string(reinterpret_cast<const char*>(&level), 4));
}

void SetLogPath(const std::string& path)
{
    SetSetupValue("LogPath", REG_SZ, path + '\0');
}

void DeleteSetupValue(const char* name)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETUP_KEY, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueA(key.get(), name);
}

DWORD LogLevel()
{
    DWORD level = 0xDEAD;
    RegReadDword(HKEY_LOCAL_MACHINE, SETUP_KEY, "LogLevel", &level);
    return level;
}

bool HasLogLevel()
{
    return RegReadValue(HKEY_LOCAL_MACHINE, SETUP_KEY, "LogLevel", nullptr, nullptr);
}

void Append(const std::string& path, const std::string& bytes)
{
    WriteFileBytes(path, ReadFileBytes(path) + bytes);
}

class SetupApiCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        fw::CRegKey key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETUP_KEY, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
        DeleteSetupValue("LogLevel");
        DeleteSetupValue("LogPath");
        DeleteFileA(InfLog().c_str());
    }
    void TearDown() override { ResetEngineCalls(); }

    // One writer's life with the capture: `during` runs between the start of
    // the capture and the writer's destruction. Returns the log's bytes.
    std::string Run(const std::function<void(CSetupLogApi&)>& during)
    {
        TestLogFile log("capture.log");
        {
            CSetupLogApi writer(log.handle.get());
            EXPECT_EQ(writer.StartCapture(), 1);
            during(writer);
        }
        log.Close();
        return log.Bytes();
    }
};

// Windows appends to its log while the engine starts; then the check fails.
DWORD g_levelDuringCreation = 0;
BOOL WINAPI GrowLogThenFailTokenOpen(HANDLE, DWORD, PHANDLE)
{
    g_levelDuringCreation = LogLevel();
    Append(InfLog(), "written during creation\r\n");
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

SC_HANDLE WINAPI GrowLogThenFailSCManager(LPCSTR, LPCSTR, DWORD)
{
    Append(InfLog(), "written during creation\r\n");
    SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
    return nullptr;
}

}  // namespace

TEST(SetupLogLine, TextsRunTogetherEndInCrLfAndAreAppendedAtTheEnd)
{
    TestLogFile log("lines.log");
    DWORD written = 0;
    WriteFile(log.handle.get(), "earlier line\r\n", 14, &written, nullptr);
    // The application's handle may point anywhere; lines still go to the end.
    SetFilePointer(log.handle.get(), 0, nullptr, FILE_BEGIN);
    {
        CSetupLogApi writer(log.handle.get());
        writer.WriteLine("Install File: ", "C:\\Program Files\\Velloran\\license.txt");
        writer.WriteLine("Restart System", nullptr);
        writer.WriteLine(nullptr, "a text without a message");
        writer.WriteLine("Error during installation.\nError code = 0x00000005", nullptr);
    }
    log.Close();
    EXPECT_EQ(log.Bytes(),
              "earlier line\r\n"
              "Install File: C:\\Program Files\\Velloran\\license.txt\r\n"
              "Restart System\r\n"
              "Error during installation.\nError code = 0x00000005\r\n");
}

TEST_F(SetupApiCapture, GrowthDuringTheRunAppearsBetweenTheMarkersAndTheLevelGoesBack)
{
    SetLogLevel(0x20);
    WriteFileBytes(InfLog(), "from an earlier run\r\n");
    const std::string bytes = Run([](CSetupLogApi& writer) {
        EXPECT_EQ(LogLevel(), 0x5050u);
        writer.WriteLine("Install WDM Driver: ", "*nexbusDevice");
        Append(InfLog(), ">>>  [Device Install]\r\n<<<  Section end");
    });
    EXPECT_EQ(bytes, "Install WDM Driver: *nexbusDevice\r\n" + BEGIN +
                         ">>>  [Device Install]\r\n<<<  Section end" + END);
    EXPECT_EQ(LogLevel(), 0x20u);
}

TEST_F(SetupApiCapture, LogPathValueNamesTheFolderOfTheLog)
{
    SetLogLevel(0);
    const std::string folder = MakeTempDir("setupapi");
    SetLogPath(folder);
    WriteFileBytes(folder + "\\setupapi.dev.log", "old\r\n");
    WriteFileBytes(InfLog(), "old\r\n");
    const std::string bytes = Run([&](CSetupLogApi&) {
        Append(folder + "\\setupapi.dev.log", "from LogPath\r\n");
        Append(InfLog(), "from the inf folder\r\n");
    });
    EXPECT_EQ(bytes, BEGIN + "from LogPath\r\n" + END);
    EXPECT_EQ(LogLevel(), 0u);
}

TEST_F(SetupApiCapture, OverlongLogPathStillRaisesTheLevelButCopiesNothing)
{
    SetLogLevel(7);
    SetLogPath("C:\\" + std::string(300, 'p'));
    WriteFileBytes(InfLog(), "old\r\n");
    const std::string bytes = Run([](CSetupLogApi&) {
        EXPECT_EQ(LogLevel(), 0x5050u);
        Append(InfLog(), "new\r\n");
    });
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(LogLevel(), 7u);
}

TEST_F(SetupApiCapture, WithoutLogLevelTheValueIsNotCreatedAndTheExcerptStillCopied)
{
    // The log did not exist at the start either: all of it is the excerpt.
    const std::string bytes = Run([](CSetupLogApi&) {
        EXPECT_FALSE(HasLogLevel());
        WriteFileBytes(InfLog(), "created during the run\r\n");
    });
    EXPECT_EQ(bytes, BEGIN + "created during the run\r\n" + END);
    EXPECT_FALSE(HasLogLevel());
}

TEST_F(SetupApiCapture, UnchangedShrunkOrGrownByTwoMebibytesYieldsNoBlockAtAll)
{
    const std::string start(1000, 's');
    const struct {
        const char* what;
        std::string after;
    } cases[] = {
        {"unchanged", start},
        {"shrunk", start.substr(0, 10)},
        {"grown by 2 MiB", start + std::string(0x200000, 'g')},
    };
    for (const auto& c : cases) {
        WriteFileBytes(InfLog(), start);
        const std::string bytes = Run([&](CSetupLogApi& writer) {
            writer.WriteLine("line", nullptr);
            WriteFileBytes(InfLog(), c.after);
        });
        EXPECT_EQ(bytes, "line\r\n") << c.what;
    }
}

TEST_F(SetupApiCapture, GrowthJustBelowTwoMebibytesIsCopiedWhole)
{
    WriteFileBytes(InfLog(), "start");
    std::string grown(0x1FFFFF, 'x');
    grown.front() = '<';
    grown.back() = '>';
    const std::string bytes = Run([&](CSetupLogApi&) { Append(InfLog(), grown); });
    EXPECT_EQ(bytes.size(), BEGIN.size() + grown.size() + END.size());
    EXPECT_TRUE(bytes == BEGIN + grown + END);
}

TEST_F(SetupApiCapture, WithoutTheSetupKeyTheCaptureDoesNotStartAndNothingIsCreated)
{
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, SETUP_KEY), ERROR_SUCCESS);
    WriteFileBytes(InfLog(), "old\r\n");
    TestLogFile log("nokey.log");
    {
        CSetupLogApi writer(log.handle.get());
        EXPECT_EQ(writer.StartCapture(), 0);
        Append(InfLog(), "new\r\n");
    }
    log.Close();
    EXPECT_EQ(log.Bytes(), "");
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, SETUP_KEY));
}

TEST_F(SetupApiCapture, OlderWindowsUseSetupapiLogInTheWindowsFolderAndLevelFFFF)
{
    // The version applies to processes started after the change.
    ASSERT_EQ(RunProcess("winecfg /v winxp64"), 0);
    SetLogLevel(0x10);
    const std::string setupapiLog = WindowsDir() + "\\setupapi.log";
    WriteFileBytes(setupapiLog, "old\r\n");
    const std::string logPath = TempDir() + "\\xp.log";
    const long exitCode =
        RunProcess("\"" + BinPath("engine_test_helper.exe") + "\" capture \"" + logPath + "\" \"" +
                   setupapiLog + "\"");
    RunProcess("winecfg /v win7");
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(ReadFileBytes(logPath),
              "LogLevel during the run: 0xFFFF\r\n" + BEGIN + "appended by the run" + END);
    EXPECT_EQ(LogLevel(), 0x10u);
}

TEST_F(SetupApiCapture, EngineWithoutTheSwitchLeavesTheLevelAndAppendsNothing)
{
    SetLogLevel(0x20);
    WriteFileBytes(InfLog(), "old\r\n");
    TestLogFile log("engine-noswitch.log");
    {
        CInstaller engine(log.handle.get(), 0);
        EXPECT_EQ(LogLevel(), 0x20u);
        Append(InfLog(), "new\r\n");
        engine.WriteLog("Restart System");
    }
    log.Close();
    EXPECT_EQ(log.Bytes(), "Restart System\r\n");
    EXPECT_EQ(LogLevel(), 0x20u);
}

TEST_F(SetupApiCapture, EngineWithTheSwitchEndsItsLogWithTheExcerpt)
{
    SetLogLevel(0x20);
    WriteFileBytes(InfLog(), "old\r\n");
    TestLogFile log("engine-switch.log");
    {
        CInstaller engine(log.handle.get(), 1);
        EXPECT_EQ(LogLevel(), 0x5050u);
        engine.WriteLog("Install WDM Driver: ", "*nexbusDevice");
        Append(InfLog(), "device section\r\n");
        engine.WriteLog("Restart System");
    }
    log.Close();
    EXPECT_EQ(log.Bytes(), "Install WDM Driver: *nexbusDevice\r\nRestart System\r\n" + BEGIN +
                               "device section\r\n" + END);
    EXPECT_EQ(LogLevel(), 0x20u);
}

TEST_F(SetupApiCapture, FailedCreationChecksStillEndTheCapture)
{
    const struct {
        const char* what;
        void (*swap)();
        const char* line;
        uint16_t location;
        uint32_t code;
    } cases[] = {
        {"administrator check", [] { EngineCalls().OpenProcessToken = &GrowLogThenFailTokenOpen; },
         "Error: No such admin privilege", 61, 1313},
        {"service manager", [] { EngineCalls().OpenSCManagerA = &GrowLogThenFailSCManager; },
         "Error: Init Service Control Manager", 70, ERROR_SERVICE_DATABASE_LOCKED},
    };
    for (const auto& c : cases) {
        SetLogLevel(0x20);
        WriteFileBytes(InfLog(), "old\r\n");
        TestLogFile log("engine-fails.log");
        c.swap();
        const Thrown thrown = CatchEx([&] { CInstaller engine(log.handle.get(), 1); });
        ResetEngineCalls();
        log.Close();
        EXPECT_TRUE(thrown.thrown) << c.what;
        EXPECT_EQ(thrown.module, MODULE_INSTALLER) << c.what;
        EXPECT_EQ(thrown.location, c.location) << c.what;
        EXPECT_EQ(thrown.code, c.code) << c.what;
        EXPECT_EQ(log.Bytes(), std::string(c.line) + "\r\n" + BEGIN + "written during creation\r\n" + END)
            << c.what;
        EXPECT_EQ(LogLevel(), 0x20u) << c.what;
    }
    EXPECT_EQ(g_levelDuringCreation, 0x5050u);
}
