#include "tests/engine_services/EngineTest.h"

#include "framework/SystemLibrary.h"

#include <setupapi.h>
#include <newdev.h>

#include <algorithm>
#include <cstring>
#include <map>

// Declared only, with the type of SetupDiGetINFClassA: no library exports it.
BOOL WINAPI VelloranAbsentEntry(PCSTR, LPGUID, PSTR, DWORD, PDWORD);

using namespace testsupport;

namespace {

using Lines = std::vector<std::string>;

constexpr DWORD FAKE_ERROR = ERROR_GEN_FAILURE;

// The raw hardware-id property of every present device that carries the id.
std::vector<std::string> DevicesWithId(const std::string& id)
{
    std::vector<std::string> found;
    fw::CDevInfoList devices(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; devices && SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
        std::string ids(size, '\0');
        if (size == 0 || !SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr,
                                                            reinterpret_cast<BYTE*>(&ids[0]), size, nullptr))
            continue;
        for (size_t at = 0; at < ids.size() && ids[at] != '\0'; at += strlen(&ids[at]) + 1) {
            if (id == &ids[at]) {
                found.push_back(ids);
                break;
            }
        }
    }
    return found;
}

// A root device with the id and no driver, as one already on the machine.
void RegisterDevice(const std::string& id, const std::string& inf)
{
    GUID classGuid{};
    char className[32] = {};
    ASSERT_TRUE(SetupDiGetINFClassA(inf.c_str(), &classGuid, className, sizeof className, nullptr));
    fw::CDevInfoList devices(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(devices.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                         &device));
    const std::string ids = id + std::string(2, '\0');
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.data()),
                                                  static_cast<DWORD>(ids.size())));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.get(), &device));
}

BOOL WINAPI FailInfClass(PCSTR, LPGUID, PSTR, DWORD, PDWORD)
{
    SetLastError(FAKE_ERROR);
    return FALSE;
}
HDEVINFO WINAPI FailClassDevs(const GUID*, PCSTR, HWND, DWORD)
{
    SetLastError(FAKE_ERROR);
    return INVALID_HANDLE_VALUE;
}
HDEVINFO WINAPI FailDeviceList(const GUID*, HWND)
{
    SetLastError(FAKE_ERROR);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FailDeviceElement(HDEVINFO, PCSTR, const GUID*, PCSTR, HWND, DWORD, PSP_DEVINFO_DATA)
{
    SetLastError(FAKE_ERROR);
    return FALSE;
}
BOOL WINAPI FailHardwareId(HDEVINFO, PSP_DEVINFO_DATA, DWORD, const BYTE*, DWORD)
{
    SetLastError(FAKE_ERROR);
    return FALSE;
}
BOOL WINAPI FailRegistration(DI_FUNCTION function, HDEVINFO devices, PSP_DEVINFO_DATA device)
{
    if (function != DIF_REGISTERDEVICE)
        return SetupDiCallClassInstaller(function, devices, device);
    SetLastError(FAKE_ERROR);
    return FALSE;
}
BOOL WINAPI FailDriverUpdate(HWND, LPCSTR, LPCSTR, DWORD, PBOOL)
{
    SetLastError(FAKE_ERROR);
    return FALSE;
}
BOOL WINAPI DriverUpdateAskingForRestart(HWND window, LPCSTR id, LPCSTR inf, DWORD flags, PBOOL restart)
{
    const BOOL done = UpdateDriverForPlugAndPlayDevicesA(window, id, inf, flags, restart);
    if (restart)
        *restart = TRUE;
    return done;
}
// The listing of the store's INFs breaks off.
HANDLE WINAPI FailFindFirst(LPCSTR, LPWIN32_FIND_DATAA)
{
    SetLastError(FAKE_ERROR);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FailFindNext(HANDLE, LPWIN32_FIND_DATAA)
{
    SetLastError(FAKE_ERROR);
    return FALSE;
}

// Another program's package and the system's own log arriving in the driver
// store while the run's copy and driver updates work: each call adds
// another program's files (Wine names the catalog folder in lower case),
// and a line to the SetupAPI log, then does the real work.
std::string g_windows;
std::string g_system;
std::map<std::string, std::string> g_foreign;  // path, bytes as last written

void AnotherProgramWritesTheStore()
{
    const std::string catalogs = g_system + "\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}";
    CreateDirectoryA((g_system + "\\catroot").c_str(), nullptr);
    CreateDirectoryA(catalogs.c_str(), nullptr);
    const std::string log = g_windows + "\\inf\\setupapi.dev.log";
    g_foreign[log] += ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - *other]\r\n";
    g_foreign[g_windows + "\\inf\\oem77.inf"] = "; another vendor's package\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n";
    g_foreign[g_windows + "\\inf\\oem77.pnf"] = std::string("\x01\x03\x00\x00PNF\xff", 8);
    g_foreign[catalogs + "\\oem77.cat"] = std::string("\x30\x82\x01\x00 catalog", 12);
    for (const auto& file : g_foreign)
        WriteFileBytes(file.first, file.second);
}
BOOL WINAPI CopyOemInfBesideAnotherProgram(PCSTR inf, PCSTR media, DWORD type, DWORD style, PSTR name, DWORD size,
                                           PDWORD required, PSTR* component)
{
    AnotherProgramWritesTheStore();
    return RealEngineCalls().SetupCopyOEMInfA(inf, media, type, style, name, size, required, component);
}
BOOL WINAPI DriverUpdateBesideAnotherProgram(HWND window, LPCSTR id, LPCSTR inf, DWORD flags, PBOOL restart)
{
    AnotherProgramWritesTheStore();
    return RealEngineCalls().UpdateDriverForPlugAndPlayDevicesA(window, id, inf, flags, restart);
}

}  // namespace

class DevicesTest : public EngineTest {
protected:
    // The stand-in product's bus-driver package, copied as the plan would.
    void SetUp() override
    {
        EngineTest::SetUp();
        package = MakeTempDir("svctpkg");
        for (const char* name : {"nexbus.inf", "nexbus.sys", "nexbus.cat"})
            ASSERT_TRUE(WriteFileBytes(package + "\\" + name, SampleFile(name)));
        inf = package + "\\nexbus.inf";
    }
    void TearDown() override
    {
        EngineTest::TearDown();
        RemoveTree(package);
    }

    static std::string SampleFile(const char* name)
    {
        return ReadFileBytes(BuildDir() + "\\sample\\server\\" + name);
    }

    std::string package;
    std::string inf;
};

TEST_F(DevicesTest, CreatesOneDevicePerIdThenUpdatesAndRollsBack)
{
    engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice");
    engine->InstallWdmDriver("nexbus", inf, "*nexhcDevice");
    EXPECT_EQ(DevicesWithId("*nexbusDevice"), (std::vector<std::string>{std::string("*nexbusDevice\0\0", 15)}));
    EXPECT_EQ(DevicesWithId("*nexhcDevice").size(), 1u);
    std::string imagePath;
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, ServiceKey("nexbus"), "ImagePath", &imagePath));
    EXPECT_EQ(imagePath, SystemDir() + "\\drivers\\nexbus.sys");
    EXPECT_EQ(ReadFileBytes(SystemDir() + "\\drivers\\nexbus.sys"), SampleFile("nexbus.sys"));
    EXPECT_TRUE(engine->SavedServiceValues().empty());

    // Found again: only the driver is updated. The service came with this
    // run's first device, so deleting it is its undo, not a snapshot.
    engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice");
    EXPECT_EQ(DevicesWithId("*nexbusDevice").size(), 1u);
    EXPECT_TRUE(engine->SavedServiceValues().empty());

    // Ids match case-sensitively: this one is a device of its own.
    engine->InstallWdmDriver("nexbus", inf, "*NEXBUSDEVICE");
    EXPECT_EQ(DevicesWithId("*NEXBUSDEVICE").size(), 1u);
    EXPECT_EQ(DevicesWithId("*nexbusDevice").size(), 1u);
    const std::string kernelDriver = SystemDir() + "\\drivers\\svctk.sys";
    EXPECT_EQ(engine->InstallDriver(kernelDriver, "svctk", "Kernel", SERVICE_DEMAND_START), 1);
    // What the driver install put into the store is the run's too.
    const std::string storedInf = WindowsDir() + "\\inf\\nexbus.inf";
    const std::string storedPnf = WindowsDir() + "\\inf\\nexbus.pnf";
    // Wine makes the catalog folder in lower case, and the journal names it so.
    const std::string catalogs = SystemDir() + "\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}";
    const std::string catalog = catalogs + "\\nexbus.cat";
    EXPECT_EQ(engine->Journal(), (JournalMap{{"*NEXBUSDEVICE", JOURNAL_PNP_DEVICE},
                                             {"*nexbusDevice", JOURNAL_PNP_DEVICE},
                                             {"*nexhcDevice", JOURNAL_PNP_DEVICE},
                                             {storedInf, JOURNAL_DRIVER_PACKAGE},
                                             {storedPnf, JOURNAL_FILE},
                                             {catalogs, JOURNAL_DIRECTORY},
                                             {catalog, JOURNAL_FILE},
                                             {"nexbus", JOURNAL_SERVICE},
                                             {"svctk", JOURNAL_SERVICE}}));
    EXPECT_EQ(engine->RestartRequired(), 0);

    // Devices go first: their ids sort before the store's package and the
    // service names. Then the store's leftovers go as files.
    engine->UninstallCreatedDrivers();
    engine->RemoveInstallFiles();
    engine->RemoveInstallDirectories();
    for (const char* id : {"*nexbusDevice", "*nexhcDevice", "*NEXBUSDEVICE"})
        EXPECT_TRUE(DevicesWithId(id).empty()) << id;
    for (const std::string& path : {storedInf, storedPnf, catalog})
        EXPECT_FALSE(FileExists(path)) << path;
    EXPECT_FALSE(DirectoryExists(catalogs));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("nexbus")));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("svctk")));
    EXPECT_EQ(Log(), (Lines{"Install WDM Driver: *nexbusDevice", "Install WDM Driver: *nexhcDevice",
                            "Install WDM Driver: *nexbusDevice", "Install WDM Driver: *NEXBUSDEVICE",
                            "Install Driver: " + kernelDriver, "Uninstall WDM Driver: *NEXBUSDEVICE",
                            "Uninstall WDM Driver: *nexbusDevice", "Uninstall WDM Driver: *nexhcDevice",
                            "Uninstall Driver Package: " + storedInf, "Uninstall Service: nexbus",
                            "Uninstall Service: svctk", "RemoveInstallFiles: " + storedPnf,
                            "RemoveInstallFiles: " + catalog}));
}

TEST_F(DevicesTest, AnotherProgramsStoreFilesOutliveTheRollback)
{
    // As the plan goes: the package into the store, then both devices.
    g_windows = WindowsDir();
    g_system = SystemDir();
    g_foreign.clear();
    EngineCalls().SetupCopyOEMInfA = &CopyOemInfBesideAnotherProgram;
    EngineCalls().UpdateDriverForPlugAndPlayDevicesA = &DriverUpdateBesideAnotherProgram;
    ASSERT_EQ(engine->CopyOemInf(inf), 1);
    engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice");
    engine->InstallWdmDriver("nexbus", inf, "*nexhcDevice");
    ResetEngineCalls();
    ASSERT_EQ(g_foreign.size(), 4u);
    const std::string& setupApiLog = g_foreign[WindowsDir() + "\\inf\\setupapi.dev.log"];
    EXPECT_EQ(std::count(setupApiLog.begin(), setupApiLog.end(), '\n'), 3) << "one line a call";

    // The run's own package only: its INF, the compiled INF and the catalog
    // as the store named them. The catalog folder was not there when the run
    // looked; it goes only if nothing else is left in it.
    const std::string storedInf = WindowsDir() + "\\inf\\nexbus.inf";
    const std::string storedPnf = WindowsDir() + "\\inf\\nexbus.pnf";
    // Wine makes the catalog folder in lower case, and the journal names it so.
    const std::string catalogs = SystemDir() + "\\catroot\\{f750e6c3-38ee-11d1-85e5-00c04fc295ee}";
    const std::string catalog = catalogs + "\\nexbus.cat";
    EXPECT_TRUE(FileExists(storedInf));
    EXPECT_TRUE(FileExists(catalog));
    EXPECT_EQ(engine->Journal(), (JournalMap{{"*nexbusDevice", JOURNAL_PNP_DEVICE},
                                             {"*nexhcDevice", JOURNAL_PNP_DEVICE},
                                             {storedInf, JOURNAL_DRIVER_PACKAGE},
                                             {storedPnf, JOURNAL_FILE},
                                             {catalogs, JOURNAL_DIRECTORY},
                                             {catalog, JOURNAL_FILE},
                                             {"nexbus", JOURNAL_SERVICE}}));

    engine->UninstallCreatedDrivers();
    engine->RemoveInstallFiles();
    engine->RemoveInstallDirectories();
    for (const std::string& path : {storedInf, storedPnf, catalog})
        EXPECT_FALSE(FileExists(path)) << path;
    for (const auto& file : g_foreign)
        EXPECT_EQ(ReadFileBytes(file.first), file.second) << file.first;
    EXPECT_TRUE(DevicesWithId("*nexbusDevice").empty());
    EXPECT_TRUE(DevicesWithId("*nexhcDevice").empty());
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, ServiceKey("nexbus")));
    for (const std::string& line : Log())
        EXPECT_EQ(line.find("oem77"), std::string::npos) << line;
    for (const auto& file : g_foreign)
        DeleteFileA(file.first.c_str());
    RemoveDirectoryA(catalogs.c_str());
}

TEST_F(DevicesTest, UninstallRemovesEveryMatchingDevice)
{
    RegisterDevice("*svctTwin", inf);
    RegisterDevice("*svctTwin", inf);
    RegisterDevice("*svctOther", inf);
    ASSERT_EQ(DevicesWithId("*svctTwin").size(), 2u);

    engine->UninstallWdmDriver("*svctTwin");
    engine->UninstallWdmDriver("*svctNobody");
    EXPECT_TRUE(DevicesWithId("*svctTwin").empty());
    EXPECT_EQ(DevicesWithId("*svctOther").size(), 1u);
    EXPECT_EQ(Log(), (Lines{"Uninstall WDM Driver: *svctTwin", "Uninstall WDM Driver: *svctNobody"}));
}

TEST_F(DevicesTest, FailingStepsThrowTheirSiteAndLeaveNoDevice)
{
    struct Case {
        const char* id;
        int location;
        void (*arm)(EnginePlatformCalls&);
    };
    const Case cases[] = {
        // A store whose listing breaks off is no empty store.
        {"*svctF1775", 1775, [](EnginePlatformCalls& c) { c.FindFirstFileA = &FailFindFirst; }},
        {"*svctF1775b", 1775, [](EnginePlatformCalls& c) { c.FindNextFileA = &FailFindNext; }},
        {"*svctF1785", 1785, [](EnginePlatformCalls& c) { c.SetupDiGetINFClassA = &FailInfClass; }},
        {"*svctF1795", 1795, [](EnginePlatformCalls& c) { c.SetupDiCreateDeviceInfoList = &FailDeviceList; }},
        {"*svctF1812", 1812, [](EnginePlatformCalls& c) { c.SetupDiCreateDeviceInfoA = &FailDeviceElement; }},
        {"*svctF1825", 1825, [](EnginePlatformCalls& c) { c.SetupDiSetDeviceRegistryPropertyA = &FailHardwareId; }},
        {"*svctF1837", 1837, [](EnginePlatformCalls& c) { c.SetupDiCallClassInstaller = &FailRegistration; }},
        // The device is registered before the driver fails: it must go again.
        {"*nexbusDevice", 1855, [](EnginePlatformCalls& c) { c.UpdateDriverForPlugAndPlayDevicesA = &FailDriverUpdate; }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.location);
        test.arm(EngineCalls());
        std::unique_ptr<CExceptionEx> error = Thrown([&] { engine->InstallWdmDriver("nexbus", inf, test.id); });
        ResetEngineCalls();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->module, MODULE_INSTALLER);
        EXPECT_EQ(error->location, test.location);
        EXPECT_EQ(error->code, FAKE_ERROR);
        EXPECT_TRUE(DevicesWithId(test.id).empty());
    }
    // Journaled before each attempt, the devices and the bus service; nothing of the store.
    for (const auto& entry : engine->Journal())
        EXPECT_TRUE(entry.second == JOURNAL_PNP_DEVICE || entry.first == "nexbus") << entry.first;

    // A search that fails is no proof of absence: nothing is created.
    EngineCalls().SetupDiGetClassDevsA = &FailClassDevs;
    std::unique_ptr<CExceptionEx> searchError =
        Thrown([&] { engine->InstallWdmDriver("nexbus", inf, "*svctSearch"); });
    ResetEngineCalls();
    ASSERT_TRUE(searchError);
    EXPECT_EQ(searchError->location, 1770);
    EXPECT_EQ(searchError->code, FAKE_ERROR);
    EXPECT_TRUE(DevicesWithId("*svctSearch").empty());

    // A missing package fails on its own.
    std::unique_ptr<CExceptionEx> error =
        Thrown([&] { engine->InstallWdmDriver("nexbus", package + "\\absent.inf", "*svctAbsent"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->location, 1785);

    // An existing device whose update fails stays, unjournaled.
    RegisterDevice("*nexhcDevice", inf);
    EngineCalls().UpdateDriverForPlugAndPlayDevicesA = &FailDriverUpdate;
    error = Thrown([&] { engine->InstallWdmDriver("nexbus", inf, "*nexhcDevice"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->location, 1895);
    EXPECT_EQ(error->code, FAKE_ERROR);
    EXPECT_EQ(DevicesWithId("*nexhcDevice").size(), 1u);
    EXPECT_EQ(engine->Journal().count("*nexhcDevice"), 0u);

    StartEngine(EngineSiteShift{-1, +1});
    EngineCalls().SetupDiCreateDeviceInfoList = &FailDeviceList;
    error = Thrown([&] { engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->location, 1796);
}

TEST_F(DevicesTest, ALibraryThatCannotBeLoadedFailsTheOperationsThatNeedIt)
{
    // The entries as they would stand if SetupAPI were missing from the
    // system folder: each operation fails with the load's error.
    EnginePlatformCalls& calls = EngineCalls();
    calls.SetupDiGetINFClassA = SYSTEM_ENTRY("velloran-absent.dll", SetupDiGetINFClassA);
    calls.SetupCopyOEMInfA = SYSTEM_ENTRY("velloran-absent.dll", SetupCopyOEMInfA);
    std::unique_ptr<CExceptionEx> error = Thrown([&] { engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->location, 1785);
    EXPECT_EQ(error->code, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(engine->CopyOemInf(inf), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // A library that lacks the entry point.
    calls.SetupDiGetINFClassA = SYSTEM_ENTRY("setupapi.dll", VelloranAbsentEntry);
    error = Thrown([&] { engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, static_cast<uint32_t>(ERROR_PROC_NOT_FOUND));
    ResetEngineCalls();
    EXPECT_TRUE(DevicesWithId("*nexbusDevice").empty());
    for (const auto& entry : engine->Journal())
        EXPECT_NE(entry.second, JOURNAL_DRIVER_PACKAGE) << entry.first;
}

TEST_F(DevicesTest, DriverUpdateAskingForRestartSetsTheFlag)
{
    EngineCalls().UpdateDriverForPlugAndPlayDevicesA = &DriverUpdateAskingForRestart;
    engine->InstallWdmDriver("nexbus", inf, "*nexbusDevice");
    EXPECT_EQ(engine->RestartRequired(), 1);
    EXPECT_EQ(Log(), (Lines{"Install WDM Driver: *nexbusDevice", REBOOT_WARNING}));
    EXPECT_EQ(engine->Journal().count("*nexbusDevice"), 1u);
}

TEST_F(DevicesTest, CopyOemInfNeedsTheCatalogBesideTheInf)
{
    // Contents of their own: an INF identical to one already in the store
    // would be found there instead of copied.
    const std::string withCatalog = SampleFile("nexbus.inf") + "; with catalog\r\n";
    ASSERT_TRUE(WriteFileBytes(package + "\\svctcopy.inf", withCatalog));
    EXPECT_NE(engine->CopyOemInf(package + "\\svctcopy.inf"), 0);
    EXPECT_EQ(ReadFileBytes(WindowsDir() + "\\inf\\svctcopy.inf"), withCatalog);

    const std::string lonely = MakeTempDir("svctnocat");
    ASSERT_TRUE(WriteFileBytes(lonely + "\\svctnocat.inf", SampleFile("nexbus.inf") + "; no catalog\r\n"));
    EXPECT_EQ(engine->CopyOemInf(lonely + "\\svctnocat.inf"), 0);
    EXPECT_FALSE(FileExists(WindowsDir() + "\\inf\\svctnocat.inf"));
    RemoveTree(lonely);
}
