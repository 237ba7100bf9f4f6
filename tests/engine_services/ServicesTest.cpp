#include "tests/engine_services/EngineTest.h"
#include "tests/support/MachineSnapshot.h"

#include <algorithm>

using namespace testsupport;

namespace {

using Lines = std::vector<std::string>;

std::string TestServiceBinary()
{
    return BinPath("svctest_service.exe");
}

// The stand-in product's own service program.
std::string ProductServiceBinary()
{
    return BuildDir() + "\\sample\\server\\velloransrv.exe";
}

// The state the service manager reports (0 when the service cannot be
// opened) and the service's process id.
DWORD StateOf(const std::string& name, DWORD* processId = nullptr)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        return 0;
    if (processId)
        *processId = status.dwProcessId;
    return status.dwCurrentState;
}

bool WaitForState(const std::string& name, DWORD state)
{
    for (int i = 0; i < 100; ++i) {
        if (StateOf(name) == state)
            return true;
        Sleep(50);
    }
    return false;
}

// A demand-start service that was on the machine before the run.
void CreateExisting(const std::string& name, const std::string& displayName, const char* dependencies)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    fw::CServiceHandle service(CreateServiceA(manager.get(), name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, "C:\\old\\old.exe", nullptr, nullptr,
                                              dependencies, nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << name << " error " << GetLastError();
}

DWORD Dword(const std::string& name, const char* value)
{
    DWORD data = 0xFFFFFFFF;
    RegReadDword(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\" + name, value, &data);
    return data;
}

std::string String(const std::string& name, const char* value)
{
    std::string data = "(missing)";
    RegReadString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\" + name, value, &data);
    return data;
}

}  // namespace

class ServicesTest : public EngineTest {
protected:
    Lines LogSince(size_t first) const
    {
        const Lines lines = Log();
        return Lines(lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, lines.size())), lines.end());
    }
};

TEST_F(ServicesTest, NewDriverAndServiceAreCreatedJournaledAndRolledBack)
{
    const std::string driverPath = SystemDir() + "\\drivers\\svctdrv.sys";
    EXPECT_EQ(engine->InstallDriver(driverPath, "svctdrv", "Engine Test Driver", SERVICE_DEMAND_START), 1);
    EXPECT_EQ(engine->InstallService(TestServiceBinary(), "svctsrv", "Engine Test Service", "Serves the tests",
                                     "PlugPlay", SERVICE_AUTO_START, {"svctdrv", "svctpeer"}),
              1);

    EXPECT_EQ(Dword("svctdrv", "Type"), 1u);
    EXPECT_EQ(Dword("svctdrv", "Start"), 3u);
    EXPECT_EQ(Dword("svctdrv", "ErrorControl"), 1u);
    EXPECT_EQ(String("svctdrv", "ImagePath"), driverPath);
    EXPECT_EQ(String("svctdrv", "DisplayName"), "Engine Test Driver");
    EXPECT_EQ(Dword("svctsrv", "Type"), 0x10u);
    EXPECT_EQ(Dword("svctsrv", "Start"), 2u);
    EXPECT_EQ(String("svctsrv", "Group"), "PlugPlay");
    EXPECT_EQ(String("svctsrv", "Description"), "Serves the tests");
    // Wine's CreateServiceA reads past the end of the list it converts, so
    // only the first name is reliable here; the whole list is checked where a
    // service is reconfigured.
    const Lines dependencies = RegReadMultiString(HKEY_LOCAL_MACHINE, ServiceKey("svctsrv"), "DependOnService");
    ASSERT_FALSE(dependencies.empty());
    EXPECT_EQ(dependencies.front(), "svctdrv");

    EXPECT_EQ(engine->Journal(), (JournalMap{{"svctdrv", JOURNAL_SERVICE}, {"svctsrv", JOURNAL_SERVICE}}));
    EXPECT_TRUE(engine->SavedServiceValues().empty());

    // No kernel driver really loads here: the start fails, yet the name is
    // recorded so that a failed run tries to stop it.
    EXPECT_EQ(engine->StartInstalledService("svctdrv"), 0);
    EXPECT_TRUE(engine->WasServiceStarted("svctdrv"));
    EXPECT_FALSE(engine->WasServiceStarted("SVCTDRV"));

    engine->UninstallCreatedDrivers();
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("svctdrv")));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("svctsrv")));
    EXPECT_EQ(engine->RestartRequired(), 0);
    EXPECT_EQ(Log(), (Lines{"Install Driver: " + driverPath, "Install Service: svctsrv",
                            "Start Installed Service: svctdrv",
                            "Warning: Service not started: svctdrv (error 0x0000045a)", "Uninstall Service: svctdrv",
                            "Uninstall Service: svctsrv"}));
}

TEST_F(ServicesTest, ExistingServicesAreReconfiguredAndRestoredExactly)
{
    // Fewer values than a reconfiguration writes (no group, no description),
    // and one without any dependency.
    CreateExisting("svctold", "Old Name", "oldDep\0");
    CreateExisting("svcttwice", "Twice", nullptr);
    MachineScope scope;
    scope.registryKeys = {ServiceKey("svctold"), ServiceKey("svcttwice")};
    scope.serviceStates = {"svctold", "svcttwice"};
    scope.devices = false;
    const CMachineSnapshot before = CMachineSnapshot::Take(scope);
    const std::string binary = TestServiceBinary();

    EXPECT_EQ(engine->InstallService(binary, "svctold", "New Name", "new text", "PlugPlay", SERVICE_AUTO_START, {}),
              1);
    EXPECT_EQ(engine->InstallService(binary, "svcttwice", "First", "first", "", SERVICE_AUTO_START, {}), 1);
    // An empty name must not end the list early.
    EXPECT_EQ(engine->InstallService(binary, "svcttwice", "Second", "second", "", SERVICE_AUTO_START,
                                     {"svctdrv", "", "svctpeer"}),
              1);
    engine->SaveServiceRegistry("svctnokey");

    EXPECT_TRUE(engine->Journal().empty());
    ASSERT_EQ(engine->SavedServiceValues().size(), 2u);
    EXPECT_EQ(String("svctold", "ImagePath"), binary);
    EXPECT_EQ(Dword("svctold", "Start"), 2u);
    EXPECT_EQ(String("svctold", "DisplayName"), "New Name");
    EXPECT_EQ(String("svctold", "Group"), "PlugPlay");
    std::string dependencies;
    DWORD type = 0;
    ASSERT_TRUE(RegReadValue(HKEY_LOCAL_MACHINE, ServiceKey("svcttwice"), "DependOnService", &dependencies, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(dependencies, std::string("svctdrv\0svctpeer\0\0", 18));

    // Back to the state before the run, in the registry and in the service
    // manager alike: values the run added go, the first snapshot wins over
    // the one taken before the second reconfiguration.
    engine->RestoreServiceRegistry();
    EXPECT_TRUE(engine->SavedServiceValues().empty());
    EXPECT_EQ(::testing::PrintToString(before.DifferencesTo(CMachineSnapshot::Take(scope))), "{}");
    EXPECT_EQ(engine->RestartRequired(), 0);
    EXPECT_EQ(Log(), (Lines{"Install Service: svctold", "Install Service: svcttwice", "Install Service: svcttwice"}));
}

TEST_F(ServicesTest, RunningServiceIsLeftAloneAndStoppedOnRequest)
{
    const std::string binary = ProductServiceBinary();
    ASSERT_EQ(engine->InstallService(binary, "velloransrv", "Running", "runs", "", SERVICE_DEMAND_START, {}), 1);
    EXPECT_EQ(engine->StartInstalledService("velloransrv"), 1);
    ASSERT_TRUE(WaitForState("velloransrv", SERVICE_RUNNING));
    DWORD firstProcess = 0;
    StateOf("velloransrv", &firstProcess);
    EXPECT_EQ(engine->RestartRequired(), 0);

    // Reconfiguring it while it runs needs a restart; the start leaves it be.
    EXPECT_EQ(engine->InstallService(binary, "velloransrv", "Running", "runs", "", SERVICE_DEMAND_START, {}), 1);
    EXPECT_EQ(engine->RestartRequired(), 1);
    EXPECT_EQ(engine->StartInstalledService("velloransrv"), 0);
    DWORD laterProcess = 0;
    EXPECT_EQ(StateOf("velloransrv", &laterProcess), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(laterProcess, firstProcess);
    EXPECT_TRUE(engine->WasServiceStarted("velloransrv"));

    EXPECT_EQ(engine->StopInstalledService("velloransrv"), 1);
    EXPECT_EQ(StateOf("velloransrv"), static_cast<DWORD>(SERVICE_STOPPED));
    // With a restart pending nothing is started, not even a stopped service.
    EXPECT_EQ(engine->StartInstalledService("velloransrv"), 0);
    Sleep(200);
    EXPECT_EQ(StateOf("velloransrv"), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(engine->StopInstalledService("velloransrv"), 1);
    EXPECT_EQ(engine->StopInstalledService("svctabsent"), 1);

    EXPECT_EQ(Log(), (Lines{"Install Service: velloransrv", "Start Installed Service: velloransrv",
                            "Install Service: velloransrv", REBOOT_WARNING,
                            "Start Installed Service: velloransrv", REBOOT_WARNING,
                            "Stop Installed Service: velloransrv", "Start Installed Service: velloransrv",
                            "Stop Installed Service: velloransrv", "Stop Installed Service: svctabsent"}));
}

TEST_F(ServicesTest, UninstallStopsAndDeletesOrWarnsThatItCannot)
{
    ASSERT_EQ(engine->InstallService(ProductServiceBinary(), "svctdel", "Deleted", "", "", SERVICE_DEMAND_START, {}),
              1);
    ASSERT_EQ(engine->InstallService(TestServiceBinary() + " -nostop", "svctstubborn", "Stubborn", "", "",
                                     SERVICE_DEMAND_START, {}),
              1);
    ASSERT_EQ(engine->StartInstalledService("svctdel"), 1);
    ASSERT_EQ(engine->StartInstalledService("svctstubborn"), 1);
    ASSERT_TRUE(WaitForState("svctdel", SERVICE_RUNNING));
    ASSERT_TRUE(WaitForState("svctstubborn", SERVICE_RUNNING));
    const size_t first = Log().size();

    EXPECT_EQ(engine->UninstallService("svctdel"), 1);
    EXPECT_EQ(StateOf("svctdel"), 0u);
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("svctdel")));
    EXPECT_EQ(engine->RestartRequired(), 0);

    EXPECT_EQ(engine->StopInstalledService("svctstubborn"), 0);
    EXPECT_EQ(engine->RestartRequired(), 1);
    // Refusing to stop, it can only be marked for deletion; the second
    // attempt finds the mark.
    EXPECT_EQ(engine->UninstallService("svctstubborn"), 1);
    EXPECT_EQ(engine->UninstallService("svctstubborn"), 1);
    EXPECT_EQ(engine->UninstallService("svctabsent"), 0);

    EXPECT_EQ(LogSince(first),
              (Lines{"Uninstall Service: svctdel", "Stop Installed Service: svctstubborn", REBOOT_WARNING,
                     "Uninstall Service: svctstubborn", "Warning: Service can't be stoped!", REBOOT_WARNING,
                     "Uninstall Service: svctstubborn", "Warning: Service can't be stoped!", REBOOT_WARNING,
                     "Warning: Service marked for delete!", REBOOT_WARNING, "Uninstall Service: svctabsent"}));
}

TEST_F(ServicesTest, StartThrowsWhenTheServiceCannotBeOpened)
{
    std::unique_ptr<CExceptionEx> error = Thrown([this] { engine->StartInstalledService("svctmissing"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->module, MODULE_INSTALLER);
    EXPECT_EQ(error->location, 2033);
    EXPECT_EQ(error->code, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(engine->WasServiceStarted("svctmissing"));
    EXPECT_EQ(Log(), Lines{"Start Installed Service: svctmissing"});

    StartEngine(EngineSiteShift{-1, +1});
    error = Thrown([this] { engine->StartInstalledService("svctmissing"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->location, 2034);
}
