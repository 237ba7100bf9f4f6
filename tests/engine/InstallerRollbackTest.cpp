// A run that touches files, folders, services, their registry values and a
// Plug and Play device, then the rollback sequence: the machine afterwards is
// compared with a snapshot taken before the run.
#include "engine/Installer.h"
#include "tests/support/EngineSupport.h"
#include "tests/support/MachineSnapshot.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace testsupport;

namespace {

const char* const SERVICES_KEY = "System\\CurrentControlSet\\Services\\";
const char* const BUS_SERVICE = "vtbus";
const char* const BUS_HARDWARE_ID = "*vtRollbackDevice";

// A root-enumerated System-class device whose driver is one kernel service.
const char* const BUS_INF =
    "[Version]\r\n"
    "Signature = \"$WINDOWS NT$\"\r\n"
    "Class = System\r\n"
    "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider = Test\r\n"
    "DriverVer = 06/01/2016,1.0.0.1\r\n"
    "[DestinationDirs]\r\n"
    "DefaultDestDir = 12\r\n"
    "[SourceDisksNames]\r\n"
    "1 = disk,,,\r\n"
    "[SourceDisksFiles]\r\n"
    "vtbus.sys = 1\r\n"
    "[Manufacturer]\r\n"
    "Test = Models,NTamd64\r\n"
    "[Models.NTamd64]\r\n"
    "Bus = BusInstall, *vtRollbackDevice\r\n"
    "[BusInstall.NT]\r\n"
    "CopyFiles = BusFiles\r\n"
    "[BusFiles]\r\n"
    "vtbus.sys\r\n"
    "[BusInstall.NT.Services]\r\n"
    "AddService = vtbus, 0x00000002, BusService\r\n"
    "[BusService]\r\n"
    "ServiceType = 1\r\n"
    "StartType = 3\r\n"
    "ErrorControl = 1\r\n"
    "ServiceBinary = %12%\\vtbus.sys\r\n";

std::string DriversDir()
{
    return SystemDir() + "\\drivers";
}

// A service that was there before the run, with every value the engine's
// reconfiguration writes, so that restoring them leaves nothing added.
void CreateExistingService()
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    fw::CServiceHandle service(CreateServiceA(
        manager.get(), "vtexisting", "Existing Service", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "C:\\old\\existing.exe", "OldGroup", nullptr,
        "RpcSs\0", nullptr, nullptr));
    ASSERT_TRUE(service);
    SERVICE_DESCRIPTIONA description{const_cast<char*>("the old description")};
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
}

void Rollback(CInstaller& engine)
{
    engine.UninstallCreatedDrivers();
    engine.RestoreServiceRegistry();
    engine.RemoveInstallFiles();
    engine.RollBackInstallFiles();
    engine.RemoveInstallDirectories();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

}  // namespace

TEST(EngineRollback, MixedRunIsUndoneToTheSnapshotTakenBeforeIt)
{
    const std::string existing = MakeTempDir("existing");
    WriteFileBytes(existing + "\\keep.txt", "the user's version");
    WriteFileBytes(existing + "\\other.txt", "untouched");
    CreateExistingService();
    const std::string install = TempDir() + "\\Velloran Rollback";
    const std::string links = install + "\\Links";

    MachineScope scope;
    scope.trees = {install, existing, WindowsDir() + "\\inf"};
    scope.files = {DriversDir() + "\\vtbus.sys", DriversDir() + "\\vtdrv.sys"};
    for (const char* name : {"vtexisting", "vtdrv", "vtsvc", BUS_SERVICE})
        scope.registryKeys.push_back(std::string(SERVICES_KEY) + name);
    scope.serviceStates = {"vtexisting", "vtdrv", "vtsvc"};
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);

    TestLogFile log("rollback.log");
    {
        CInstaller engine(log.handle.get(), 0);
        engine.InstallFile("vtbus.sys", DriversDir(), "bus driver", 10);
        engine.InstallFile("vtdrv.sys", DriversDir(), "kernel driver", 13);
        engine.CreateInstallDirectory(install);
        engine.CreateInstallDirectory(links);
        engine.InstallFile("vtbus.sys", install, "bus driver", 10);
        engine.InstallFile("vtbus.inf", install, BUS_INF, static_cast<uint32_t>(strlen(BUS_INF)));
        engine.InstallFile("keep.txt", existing, "the product's version", 21);
        engine.CreateShortcut("vtbus.inf", install, links, "Driver Package", nullptr);
        ASSERT_NE(engine.InstallDriver(DriversDir() + "\\vtdrv.sys", "vtdrv", "Rollback Driver", 3), 0);
        ASSERT_NE(engine.InstallService("C:\\new\\existing.exe", "vtexisting", "Reconfigured",
                                        "the new description", "PlugPlay", 2, {"vtdrv"}),
                  0);
        ASSERT_NE(engine.InstallService("C:\\new\\service.exe", "vtsvc", "Rollback Service", "desc",
                                        "PlugPlay", 3, {}),
                  0);
        engine.InstallWdmDriver(BUS_SERVICE, install + "\\vtbus.inf", BUS_HARDWARE_ID);
        const std::vector<std::string> devices = PresentDeviceIds();
        ASSERT_NE(std::find(devices.begin(), devices.end(), BUS_HARDWARE_ID), devices.end());
        EXPECT_EQ(ReadFileBytes(existing + "\\keep.txt"), "the product's version");
        std::string imagePath;
        RegReadString(HKEY_LOCAL_MACHINE, std::string(SERVICES_KEY) + "vtexisting", "ImagePath", &imagePath);
        EXPECT_EQ(imagePath, "C:\\new\\existing.exe");
        EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, std::string(SERVICES_KEY) + BUS_SERVICE));
        FlushFileBuffers(log.handle.get());
        const size_t runLines = log.Lines().size();

        Rollback(engine);
        EXPECT_EQ(engine.RestartRequired(), 0);

        FlushFileBuffers(log.handle.get());
        const std::vector<std::string> lines = log.Lines();
        const std::vector<std::string> rollbackLines(lines.begin() + runLines, lines.end());
        const std::string store = WindowsDir() + "\\inf\\";
        EXPECT_EQ(Joined(rollbackLines),
                  Joined({"Uninstall WDM Driver: *vtRollbackDevice", "Uninstall Driver Package: " + store + "vtbus.inf",
                          "Uninstall Service: vtbus", "Uninstall Service: vtdrv", "Uninstall Service: vtsvc",
                          "RemoveInstallFiles: " + links + "\\Driver Package.lnk",
                          "RemoveInstallFiles: " + install + "\\vtbus.inf",
                          "RemoveInstallFiles: " + install + "\\vtbus.sys", "RemoveInstallFiles: " + store + "vtbus.pnf",
                          "RemoveInstallFiles: " + DriversDir() + "\\vtbus.sys",
                          "RemoveInstallFiles: " + DriversDir() + "\\vtdrv.sys",
                          "RollBackInstallFiles: " + existing + "\\keep.txt"}));
    }

    // The driver store and the INF's own service included.
    EXPECT_EQ(Joined(before.DifferencesTo(CMachineSnapshot::Take(scope))), "");
}

TEST(EngineRollback, RollbackBeforeAnyChangeChangesNothingAndWritesNoLine)
{
    MachineScope scope;
    scope.trees = {DriversDir()};
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    TestLogFile log("empty-rollback.log");
    {
        CInstaller engine(log.handle.get(), 0);
        Rollback(engine);
        EXPECT_EQ(engine.RestartRequired(), 0);
    }
    log.Close();
    EXPECT_EQ(log.Bytes(), "");
    EXPECT_EQ(Joined(before.DifferencesTo(CMachineSnapshot::Take(scope))), "");
}
