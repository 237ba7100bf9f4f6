#include "tests/install/InstallTestSupport.h"

#include "framework/Handles.h"
#include "package/PackageWriter.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UiAutomation.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <tuple>

using namespace testsupport;

namespace installtest {

namespace {

std::string SpecialFolder(int csidl)
{
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, csidl, FALSE);
    return path;
}

std::string WriteSetup(const std::string& bytes, const TestProduct& product, const std::string& folder)
{
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string path = folder + "\\" + product.setup + ".exe";
    if (!WriteFileBytes(path, bytes))
        throw std::runtime_error("cannot write " + path);
    return path;
}

const std::string SERVICES = "System\\CurrentControlSet\\Services\\";
const std::string UNINSTALL = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::string LowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool DevicePresent(const std::string& hardwareId)
{
    for (const std::string& ids : PresentDeviceIds()) {
        if (ids == hardwareId || ids.find(hardwareId + "|") == 0)
            return true;
    }
    return false;
}

struct Expected {
    const TestProduct& product;
    std::vector<std::pair<std::string, std::string>> systemFiles;  // entry, folder
    std::vector<std::string> installFiles;
    std::vector<std::string> dependencies;
    std::string displayName, description;
    std::vector<std::tuple<std::string, std::string, DWORD>> kernelDrivers;  // name, display, start
    std::string busHardwareId, hostHardwareId;
    std::vector<std::tuple<std::string, std::string, std::string>> links;  // link name, target, arguments
    std::string webUrl;
    std::vector<std::string> logLines;
};

Expected ServerExpectation()
{
    const std::string system = SystemDir();
    const std::string drivers = system + "\\Drivers";
    const std::string install = InstallFolder(Server());
    const std::string menu = StartMenuFolder(Server());
    return Expected{
        Server(),
        {{"velloransrv.exe", system}, {"nexpnp.sys", drivers}, {"nexstb.sys", drivers}, {"nexbus.sys", drivers}},
        {"velloran.exe", "velloransh.exe", "license.txt", "readme.txt", "velloran-help.chm", "uninstall.exe",
         "nexbus.sys", "nexbus.inf", "nexbus.cat"},
        {"nexbus", "nexpnp"},
        "Velloran Service",
        "Velloran - helps to share USB devices over IP",
        {{"nexstb", "Velloran Stub Device", SERVICE_DEMAND_START}, {"nexpnp", "Velloran PnP Device", SERVICE_AUTO_START}},
        "*nexbusDevice",
        "*nexhcDevice",
        {{"Velloran", "velloran.exe", ""},
         {"Velloran Help", "velloran-help.chm", ""},
         {"Velloran License", "license.txt", ""},
         {"Velloran Uninstall Wizard", "uninstall.exe", ""},
         {"Velloran Console Command Line", "velloransh.exe", ""},
         {"Velloran Command Line", "velloran.exe", "-help"}},
        "https://www.velloran.com/",
        {"Velloran installation...",
         "Install File: " + system + "\\velloransrv.exe",
         "Install File: " + drivers + "\\nexpnp.sys",
         "Install File: " + drivers + "\\nexstb.sys",
         "Install File: " + drivers + "\\nexbus.sys",
         "CreateDirectory: " + install,
         "Install File: " + install + "\\velloran.exe",
         "Install File: " + install + "\\uninstall.exe",
         "Install Driver: " + drivers + "\\nexstb.sys",
         "Install Driver: " + drivers + "\\nexpnp.sys",
         "Install File: " + install + "\\nexbus.inf",
         "Install WDM Driver: *nexbusDevice",
         "Install WDM Driver: *nexhcDevice",
         "Install Service: velloransrv",
         "Start Installed Service: nexpnp",
         "Start Installed Service: velloransrv",
         "CreateDirectory: " + menu,
         "CreateShortcuts: " + menu + "\\Velloran.lnk",
         "CreateShortcuts: " + menu + "\\Velloran Command Line.lnk",
         "Install File: " + menu + "\\Velloran on Web.url",
         "CreateShortcuts: " + DesktopFolder() + "\\Velloran.lnk",
         "Create Firewall rules",
         "Authorized appication: " + system + "\\velloransrv.exe",
         "Firewall rules was created succesful"},
    };
}

Expected ClientExpectation()
{
    const std::string system = SystemDir();
    const std::string drivers = system + "\\Drivers";
    const std::string install = InstallFolder(Client());
    const std::string menu = StartMenuFolder(Client());
    return Expected{
        Client(),
        {{"velloransrvlt.exe", system}, {"nexbuslt.sys", drivers}},
        {"velloranlt.exe", "velloranltsh.exe", "license.txt", "readme.txt", "velloran-client-help.chm",
         "uninstall.exe", "nexbuslt.sys", "nexbuslt.inf", "nexbuslt.cat"},
        {"nexbuslt"},
        "Velloran Client Service",
        "Velloran Client - helps to connect USB devices over IP",
        {},
        "*nexbusltDevice",
        "*nexhcltDevice",
        {{"Velloran Client", "velloranlt.exe", ""},
         {"Velloran Client Help", "velloran-client-help.chm", ""},
         {"Velloran Client License", "license.txt", ""},
         {"Velloran Client Uninstall Wizard", "uninstall.exe", ""},
         {"Velloran Client Console Command Line", "velloranltsh.exe", ""},
         {"Velloran Client Command Line", "velloranlt.exe", "-help"}},
        "https://www.velloran.com/client/",
        {"Velloran Client installation...",
         "Install File: " + system + "\\velloransrvlt.exe",
         "Install File: " + drivers + "\\nexbuslt.sys",
         "CreateDirectory: " + install,
         "Install File: " + install + "\\velloranlt.exe",
         "Install File: " + install + "\\uninstall.exe",
         "Install File: " + install + "\\nexbuslt.inf",
         "Install WDM Driver: *nexbusltDevice",
         "Install WDM Driver: *nexhcltDevice",
         "Install Service: velloransrvlt",
         "Start Installed Service: velloransrvlt",
         "CreateDirectory: " + menu,
         "CreateShortcuts: " + menu + "\\Velloran Client.lnk",
         "Install File: " + menu + "\\Velloran Client on Web.url",
         "CreateShortcuts: " + DesktopFolder() + "\\Velloran Client.lnk",
         "Create Firewall rules",
         "Authorized appication: " + system + "\\velloransrvlt.exe",
         "Firewall rules was created succesful"},
    };
}

void CheckExpected(const Expected& expected)
{
    const TestProduct& product = expected.product;
    const std::string install = InstallFolder(product);
    const std::string system = SystemDir();

    for (const auto& file : expected.systemFiles)
        EXPECT_EQ(ReadFileBytes(file.second + "\\" + file.first), PayloadBytes(product, file.first)) << file.first;
    for (const std::string& file : expected.installFiles)
        EXPECT_EQ(ReadFileBytes(install + "\\" + file), PayloadBytes(product, file)) << file;
    // Nothing but the listed files and the log lands in the install folder.
    EXPECT_FALSE(FileExists(install + "\\license.rtf"));

    // The product service.
    const std::string key = SERVICES + product.serviceName;
    DWORD value = 0;
    std::string text;
    EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, key, "Type", &value));
    EXPECT_EQ(value, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, key, "Start", &value));
    EXPECT_EQ(value, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, key, "Group", &text));
    EXPECT_EQ(text, "PlugPlay");
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, key, "DisplayName", &text));
    EXPECT_EQ(text, expected.displayName);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, key, "Description", &text));
    EXPECT_EQ(text, expected.description);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, key, "ImagePath", &text));
    EXPECT_EQ(LowerCase(text), LowerCase(system + "\\" + product.serviceProgram));
    // Wine's CreateServiceA keeps only the first name of a dependency list
    // (the rest of the stored value is garbage); the engine's own tests see
    // the whole list through the reconfiguration path.
    const std::vector<std::string> dependencies = RegReadMultiString(HKEY_LOCAL_MACHINE, key, "DependOnService");
    ASSERT_FALSE(dependencies.empty());
    EXPECT_EQ(dependencies.front(), expected.dependencies.front());

    for (const auto& driver : expected.kernelDrivers) {
        const std::string driverKey = SERVICES + std::get<0>(driver);
        EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, driverKey, "Type", &value)) << std::get<0>(driver);
        EXPECT_EQ(value, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
        EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, driverKey, "Start", &value));
        EXPECT_EQ(value, std::get<2>(driver)) << std::get<0>(driver);
        EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, driverKey, "DisplayName", &text));
        EXPECT_EQ(text, std::get<1>(driver));
    }

    // The bus driver: its service (from the INF), both devices, the INF in the driver store.
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, SERVICES + product.busService));
    EXPECT_TRUE(DevicePresent(expected.busHardwareId));
    EXPECT_TRUE(DevicePresent(expected.hostHardwareId));
    EXPECT_TRUE(FileExists(WindowsDir() + "\\inf\\" + product.busService + ".inf"));

    // Shortcuts.
    const std::string menu = StartMenuFolder(product);
    for (const auto& link : expected.links) {
        const ShellLink read = ReadLink(menu + "\\" + std::get<0>(link) + ".lnk");
        EXPECT_TRUE(read.read) << std::get<0>(link);
        EXPECT_EQ(LowerCase(read.path), LowerCase(install + "\\" + std::get<1>(link))) << std::get<0>(link);
        EXPECT_EQ(read.arguments, std::get<2>(link)) << std::get<0>(link);
        EXPECT_EQ(LowerCase(read.workingDirectory), LowerCase(install)) << std::get<0>(link);
        EXPECT_EQ(read.description, std::get<0>(link));
    }
    const std::string web = ReadFileBytes(menu + "\\" + product.name + " on Web.url");
    EXPECT_EQ(web, "[InternetShortcut]\r\nURL=" + expected.webUrl);
    const ShellLink desktop = ReadLink(DesktopFolder() + "\\" + product.name + ".lnk");
    EXPECT_TRUE(desktop.read);
    EXPECT_EQ(LowerCase(desktop.path), LowerCase(install + "\\" + std::get<1>(expected.links[0])));

    // The uninstall entry.
    const std::string uninstall = UNINSTALL + product.uninstallKey;
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "InstallLocation", &text));
    EXPECT_EQ(text, install);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "UninstallString", &text));
    EXPECT_EQ(text, "\"" + install + "\\uninstall.exe\"");
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "QuietUninstallString", &text));
    EXPECT_EQ(text, "\"" + install + "\\uninstall.exe\" -silent");
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "DisplayVersion", &text));
    EXPECT_EQ(text, &product == &Client() ? "6.2.2" : "6.1");
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "Publisher", &text));
    EXPECT_EQ(text, "Korvelline LLC");
    for (const char* flag : {"NoModify", "NoRepair"}) {
        EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, uninstall, flag, &value)) << flag;
        EXPECT_EQ(value, 1u) << flag;
    }
    EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, uninstall, "EstimatedSize", &value));
    EXPECT_GT(value, 0u);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "StartMenuLocation", &text));
    EXPECT_EQ(text, product.name);
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, uninstall, "DisplayName", &text));
    EXPECT_EQ(text, product.name);

    // The product service answers: it was started by the plan.
    EXPECT_TRUE(ServiceRunning(product.serviceName));

    // The log: placed in the install folder, the temporary one deleted.
    const std::vector<std::string> lines = ReadLines(install + "\\" + product.logFile);
    EXPECT_EQ(MissingInOrder(lines, expected.logLines), "");
    EXPECT_FALSE(FileExists(TempLog(product)));
    for (const std::string& line : lines) {
        // Wine cannot start a kernel driver (1114): the log says so, as it
        // would of any service that does not start.
        bool driverNotStarted = false;
        for (const std::string& driver : product.kernelDrivers)
            driverNotStarted = driverNotStarted || line == "Warning: Service not started: " + driver + " (error 0x0000045a)";
        if (driverNotStarted)
            continue;
        EXPECT_EQ(line.find("Warning: "), std::string::npos) << line;
        EXPECT_EQ(line.find("Error"), std::string::npos) << line;
    }
}

uint32_t U32At(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

uint32_t Crc32(const char* data, size_t size, uint32_t crc)
{
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

}  // namespace

const TestProduct& Server()
{
    static const TestProduct product{
        "velloran_setup",
        "server",
        "Velloran",
        "velloran-install.log",
        "velloransrv.exe",
        "velloransrv",
        "nexbus",
        {"velloransrv.exe", "velloran.exe", "license.txt", "license.rtf", "velloran-help.chm", "readme.txt",
         "uninstall.exe", "velloransh.exe", "nexpnp.sys", "nexstb.sys", "nexbus.sys", "nexbus.inf",
         "nexbus.cat", "usblibvista", "usblibxp"},
        {"nexstb", "nexpnp"},
        "{FB9376AC-5253-42a5-AC0A-D306F32FFAD2}",
        "Velloran Setup",
        "velloran-uninstall.log",
    };
    return product;
}

const TestProduct& Client()
{
    static const TestProduct product{
        "velloran_client_setup",
        "client",
        "Velloran Client",
        "velloran-client-setup.log",
        "velloransrvlt.exe",
        "velloransrvlt",
        "nexbuslt",
        {"velloransrvlt.exe", "velloranlt.exe", "license.txt", "license.rtf", "velloran-client-help.chm",
         "readme.txt", "uninstall.exe", "velloranltsh.exe", "nexbuslt.sys", "nexbuslt.inf", "nexbuslt.cat",
         "usblibvista", "usblibxp"},
        {},
        "{7C7278B8-BD56-4435-B665-81454D89C383}",
        "Velloran Client Setup",
        "velloran-client-uninstall.log",
    };
    return product;
}

std::string PayloadFile(const TestProduct& product, const std::string& entry)
{
    return BuildDir() + "\\sample\\" + product.sampleFolder + "\\" + entry;
}

std::string PayloadBytes(const TestProduct& product, const std::string& entry)
{
    return ReadFileBytes(PayloadFile(product, entry));
}

std::string PackedSetup(const TestProduct& product)
{
    return BuildDir() + "\\deliver\\" + product.setup + ".exe";
}

std::string MakeSetup(const TestProduct& product, const SetupRecipe& recipe, const std::string& folder)
{
    CPackageWriter writer;
    for (const std::string& entry : product.entries) {
        if (std::find(recipe.missing.begin(), recipe.missing.end(), entry) != recipe.missing.end())
            continue;
        // A trailing comment line: the programs still run, the INF still reads.
        const std::string bytes = PayloadBytes(product, entry) + (recipe.newer ? "\r\n; newer build\r\n" : "");
        std::string error;
        if (!writer.AddEntry(entry, bytes, &error))
            throw std::runtime_error(entry + ": " + error);
    }
    std::string setup;
    std::string error;
    const std::string stub = ReadFileBytes(recipe.stub.empty() ? BinPath(product.setup + ".exe") : recipe.stub);
    if (!CPackageWriter::AppendToStub(stub, writer.Build(), &setup, &error))
        throw std::runtime_error("append: " + error);
    return WriteSetup(setup, product, folder);
}

std::string SetupWithout(const TestProduct& product, const std::vector<std::string>& missing,
                         const std::string& folder)
{
    SetupRecipe recipe;
    recipe.missing = missing;
    return MakeSetup(product, recipe, folder);
}

std::string StubSetup(const TestProduct& product, const std::string& folder)
{
    return WriteSetup(ReadFileBytes(BinPath(product.setup + ".exe")), product, folder);
}

std::string InstallFolder(const TestProduct& product)
{
    return SpecialFolder(CSIDL_PROGRAM_FILES) + "\\" + product.name;
}

std::string StartMenuFolder(const TestProduct& product)
{
    return SpecialFolder(CSIDL_COMMON_PROGRAMS) + "\\" + product.name;
}

std::string DesktopFolder()
{
    return SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
}

std::string TempLog(const TestProduct& product)
{
    return TempDir() + "\\" + product.logFile;
}

std::string JournalFolder(const TestProduct& product)
{
    return SpecialFolder(CSIDL_COMMON_APPDATA) + "\\" + product.journalFolder;
}

std::string JournalPath(const TestProduct& product)
{
    return JournalFolder(product) + "\\install.journal";
}

MachineScope InstallScope(const TestProduct& product)
{
    MachineScope scope;
    const std::string system = SystemDir();
    // The driver store: INFs with their compiled forms, and the catalogs.
    scope.trees = {InstallFolder(product), StartMenuFolder(product), WindowsDir() + "\\inf",
                   system + "\\catroot", JournalFolder(product)};
    // Each file the run writes outside its own folders, with whatever
    // temporary or backup file was made beside it.
    scope.patterns = {DesktopFolder() + "\\" + product.name + ".lnk*", system + "\\" + product.serviceProgram + "*",
                      system + "\\drivers\\usbd.sys*"};
    for (const std::string& entry : product.entries) {
        if (entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".sys") == 0)
            scope.patterns.push_back(system + "\\drivers\\" + entry + "*");
    }
    const std::string services = "System\\CurrentControlSet\\Services\\";
    scope.registryKeys = {services + product.serviceName, services + product.busService,
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product.uninstallKey,
                          // the System class: the bus devices' driver settings
                          "System\\CurrentControlSet\\Control\\Class\\{4d36e97d-e325-11ce-bfc1-08002be10318}"};
    for (const std::string& driver : product.kernelDrivers)
        scope.registryKeys.push_back(services + driver);
    scope.registryValues = {{"System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations"}};
    scope.serviceStates = product.kernelDrivers;
    scope.serviceStates.push_back(product.serviceName);
    scope.serviceStates.push_back(product.busService);
    return scope;
}

std::string UninstallValue(const TestProduct& product, const std::string& name)
{
    std::string value;
    RegReadString(HKEY_LOCAL_MACHINE, UNINSTALL + product.uninstallKey, name, &value);
    return value;
}

std::string UninstallLog(const TestProduct& product)
{
    return TempDir() + "\\" + product.uninstallLog;
}

std::vector<std::string> UninstallerFolders(const TestProduct& product)
{
    const std::string parent = SpecialFolder(CSIDL_COMMON_APPDATA);
    std::vector<std::string> folders;
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(FindFirstFileA((parent + "\\" + product.name + " Uninstall *").c_str(), &found));
    if (search) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                folders.push_back(parent + "\\" + found.cFileName);
        } while (FindNextFileA(search.get(), &found));
    }
    return folders;
}

bool CarryOutPendingRenames()
{
    HANDLE raw = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) {
        fw::CKernelHandle token(raw);
        TOKEN_PRIVILEGES privileges{};
        if (LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
    if (!ExitWindowsEx(EWX_REBOOT, 0))
        return false;
    for (int i = 0; i < 100; ++i) {
        std::string bytes;
        DWORD type = 0;
        if (!RegReadValue(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager",
                          "PendingFileRenameOperations", &bytes, &type))
            return true;
        Sleep(100);
    }
    return false;
}

bool ServiceRunning(const std::string& name)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    // The service starts in the background: give it a moment.
    for (int i = 0; i < 50 && service; ++i) {
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
            return true;
        Sleep(100);
    }
    return false;
}

MachineScope InstallScopeWithoutJournal(const TestProduct& product)
{
    MachineScope scope = InstallScope(product);
    scope.trees.erase(std::remove(scope.trees.begin(), scope.trees.end(), JournalFolder(product)), scope.trees.end());
    return scope;
}

ShellLink ReadLink(const std::string& file)
{
    ShellLink link;
    CoInitialize(nullptr);
    {
        fw::CComPtr<IShellLinkA> shellLink;
        fw::CComPtr<IPersistFile> persist;
        wchar_t wide[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide, MAX_PATH);
        char text[1024] = {};
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       shellLink.put_void())) &&
            SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, persist.put_void())) &&
            SUCCEEDED(persist->Load(wide, STGM_READ))) {
            link.read = true;
            shellLink->GetPath(text, sizeof text, nullptr, 0);
            link.path = text;
            text[0] = '\0';
            shellLink->GetArguments(text, sizeof text);
            link.arguments = text;
            text[0] = '\0';
            shellLink->GetWorkingDirectory(text, sizeof text);
            link.workingDirectory = text;
            text[0] = '\0';
            shellLink->GetDescription(text, sizeof text);
            link.description = text;
        }
    }
    CoUninitialize();
    return link;
}

MachineScope PutBackScope(const TestProduct& product)
{
    MachineScope scope = InstallScope(product);
    const std::string deviceClass = "System\\CurrentControlSet\\Control\\Class\\";
    scope.registryKeys.erase(std::remove_if(scope.registryKeys.begin(), scope.registryKeys.end(),
                                            [&](const std::string& key) { return key.rfind(deviceClass, 0) == 0; }),
                             scope.registryKeys.end());
    scope.devicePackages = true;
    return scope;
}

std::vector<TracedCall> ReadTrace(const std::string& path)
{
    std::vector<TracedCall> calls;
    const std::string bytes = ReadFileBytes(path);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + 1;
        const size_t name = line.find(' ');
        if (name == std::string::npos)
            continue;
        TracedCall call;
        call.number = strtol(line.c_str(), nullptr, 10);
        const size_t tail = line.find(' ', name + 1);
        call.name = line.substr(name + 1, tail == std::string::npos ? std::string::npos : tail - name - 1);
        call.change = tail != std::string::npos && line.compare(tail + 1, 6, "change") == 0;
        calls.push_back(call);
    }
    return calls;
}

long RunSetup(const std::string& setupPath, const std::string& switches, DWORD timeoutMs)
{
    return RunProcess("\"" + setupPath + "\" " + switches, timeoutMs);
}

CStartedSetup::CStartedSetup(const std::string& setupPath, const std::string& switches)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = "\"" + setupPath + "\" " + switches;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return;
    m_process.reset(info.hProcess);
    fw::CKernelHandle thread(info.hThread);
}

CStartedSetup::~CStartedSetup()
{
    Kill();
}

long CStartedSetup::Wait(DWORD timeoutMs)
{
    if (!m_process || WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return -1001;
    DWORD code = 0;
    GetExitCodeProcess(m_process.get(), &code);
    return static_cast<long>(static_cast<int32_t>(code));
}

bool CStartedSetup::Kill()
{
    if (!m_process || WaitForSingleObject(m_process.get(), 0) == WAIT_OBJECT_0)
        return false;
    TerminateProcess(m_process.get(), 1);
    WaitForSingleObject(m_process.get(), 10000);
    return true;
}

bool StopService(const std::string& name)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        return false;
    for (int i = 0; i < 100; ++i) {
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED)
            return true;
        Sleep(100);
    }
    return false;
}

bool WaitForLogLine(const TestProduct& product, const std::string& line, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        const std::vector<std::string> lines = ReadLines(TempLog(product));
        if (std::find(lines.begin(), lines.end(), line) != lines.end())
            return true;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

void CheckInstalled(const TestProduct& product)
{
    CheckExpected(&product == &Client() ? ClientExpectation() : ServerExpectation());
}

std::string Arg0Text(int module, int location)
{
    char text[32];
    snprintf(text, sizeof text, "Error arg0 = 0x%.8x", (static_cast<unsigned>(module) << 16) | location);
    return text;
}

void CheckFailedRun(const TestProduct& product, const std::string& setup, const std::string& boxStart,
                    const std::string& boxEnd, const CMachineSnapshot& before,
                    const std::function<void()>& afterRun)
{
    DeleteFileA(TempLog(product).c_str());
    CMessageBoxWatcher watcher(product.name, IDOK);
    const long exitCode = RunSetup(setup, "-silent -licenseaccept", 90000);
    watcher.Stop();
    if (afterRun)
        afterRun();

    // A failed silent run says so in its exit code, without "-im" too, and
    // shows no box that nobody may be there to answer: the error goes to the log.
    EXPECT_EQ(exitCode, -10);
    EXPECT_TRUE(watcher.Texts().empty()) << ::testing::PrintToString(watcher.Texts());

    // The log stays in the temporary folder, holding the error and the
    // rollback; nothing was left for a restart to finish.
    const std::vector<std::string> lines = ReadLines(TempLog(product));
    std::string text;
    for (const std::string& line : lines) {
        if (line.rfind(boxStart, 0) == 0 && line.size() >= boxEnd.size() &&
            line.compare(line.size() - boxEnd.size(), boxEnd.size(), boxEnd) == 0) {
            text = line;
            break;
        }
    }
    EXPECT_FALSE(text.empty()) << "no error line " << boxStart << "..." << boxEnd;
    EXPECT_EQ(MissingInOrder(lines, {product.name + " installation...", text, "=== Rollback process ==="}), "");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Restart System")), 0);
    const auto failure = std::find(lines.begin(), lines.end(), text);
    EXPECT_EQ(std::count(failure, lines.end(), std::string("Warning: === Reboot required to complete operation ===")), 0)
        << "the rollback deferred something to a restart";

    const std::vector<std::string> differences = before.DifferencesTo(CMachineSnapshot::Take(InstallScope(product)));
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
}

JournalLayout ReadJournalLayout(const std::string& bytes)
{
    constexpr size_t HEAD = 16;
    JournalLayout layout;
    size_t at = 0;
    while (bytes.size() - at >= HEAD + 2 && bytes.compare(at, 4, "VJR1") == 0) {
        const uint32_t length = U32At(bytes, at + 8);
        if (U32At(bytes, at + 4) != layout.offsets.size() || length < 2 || bytes.size() - at - HEAD < length)
            break;
        const uint32_t crc = Crc32(bytes.data() + at + HEAD, length, Crc32(bytes.data() + at + 4, 8, 0));
        if (crc != U32At(bytes, at + 12))
            break;
        layout.offsets.push_back(at);
        layout.sizes.push_back(HEAD + length);
        layout.kinds.push_back(static_cast<uint16_t>(static_cast<unsigned char>(bytes[at + HEAD]) |
                                                     static_cast<unsigned char>(bytes[at + HEAD + 1]) << 8));
        at += HEAD + length;
        layout.whole = at;
    }
    return layout;
}

std::string MissingInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles)
{
    size_t at = 0;
    for (const std::string& needle : needles) {
        while (at < lines.size() && lines[at] != needle)
            ++at;
        if (at == lines.size())
            return needle;
        ++at;
    }
    return std::string();
}

}  // namespace installtest
