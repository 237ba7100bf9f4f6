// Tells a person what an installation left on a (Wine) machine: files,
// services, devices, shortcuts, the uninstall entry and the setup log; after
// an uninstall, that nothing of it is left.
//
//   velloran_inspect.exe PRODUCT-NAME SERVICE [DRIVER-SERVICE...] -- HARDWARE-ID... -- UNINSTALL-KEY
//
// Used by tools/demo; it only reads.
#include "framework/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const SERVICES_KEY = "System\\CurrentControlSet\\Services\\";
const char* const UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::string SpecialFolder(int csidl)
{
    char path[MAX_PATH] = {};
    SHGetSpecialFolderPathA(nullptr, path, csidl, FALSE);
    return path;
}

std::vector<std::string> ListFolder(const std::string& folder, const char* pattern = "*")
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    fw::CFindHandle find(FindFirstFileA((folder + "\\" + pattern).c_str(), &data));
    if (!find)
        return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find.get(), &data));
    return names;
}

DWORD FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

// "  1234 bytes", or "absent" for a file that is not there.
std::string SizeText(const std::string& path)
{
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return "  absent";
    char text[32];
    snprintf(text, sizeof text, "%8lu bytes", static_cast<unsigned long>(FileSize(path)));
    return text;
}

bool FolderExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RegString(HKEY key, const char* value, std::string* out)
{
    char buffer[2048] = {};
    DWORD size = sizeof buffer - 2;
    DWORD type = 0;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (type == REG_MULTI_SZ) {
        std::string joined;
        for (const char* entry = buffer; *entry; entry += strlen(entry) + 1)
            joined += (joined.empty() ? "" : ", ") + std::string(entry);
        *out = joined;
    } else if (type == REG_DWORD) {
        *out = std::to_string(*reinterpret_cast<DWORD*>(buffer));
    } else {
        *out = buffer;
    }
    return true;
}

const char* StartTypeText(const std::string& start)
{
    if (start == "0")
        return "boot";
    if (start == "1")
        return "system";
    if (start == "2")
        return "automatic";
    if (start == "3")
        return "on demand";
    if (start == "4")
        return "disabled";
    return "?";
}

void ReportService(const std::string& name)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (SERVICES_KEY + name).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        printf("  %-14s (not installed)\n", name.c_str());
        return;
    }
    std::string start, type, display, depends, image;
    RegString(key.get(), "Start", &start);
    RegString(key.get(), "Type", &type);
    RegString(key.get(), "DisplayName", &display);
    RegString(key.get(), "ImagePath", &image);
    const bool hasDepends = RegString(key.get(), "DependOnService", &depends);

    const char* state = "stopped";
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    fw::CServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING)
        state = "running";
    printf("  %-14s %-10s %-8s %s\n", name.c_str(), StartTypeText(start), state,
           type == "1" ? "kernel driver" : "own process");
    printf("  %-14s \"%s\" %s%s%s\n", "", display.c_str(), image.c_str(), hasDepends ? ", depends on " : "",
           hasDepends ? depends.c_str() : "");
}

void ReportDevices(const std::vector<std::string>& wanted)
{
    fw::CDevInfoList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    std::vector<std::string> found;
    for (DWORD index = 0; list && SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        char ids[4096] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(list.get(), &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr))
            continue;
        for (const char* id = ids; *id; id += strlen(id) + 1)
            found.push_back(id);
    }
    for (const std::string& id : wanted) {
        int count = 0;
        for (const std::string& present : found)
            count += present == id;
        printf("  %-18s %s\n", id.c_str(), count ? (count == 1 ? "present" : "present (more than one)") : "absent");
    }
}

void ReportLinks(const std::string& folder)
{
    const std::vector<std::string> names = ListFolder(folder);
    if (names.empty())
        printf("  (none)\n");
    for (const std::string& name : names) {
        const std::string path = folder + "\\" + name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".url") == 0) {
            printf("  %-36s -> (web) %lu bytes\n", name.c_str(), static_cast<unsigned long>(FileSize(path)));
            continue;
        }
        fw::CComPtr<IShellLinkA> link;
        fw::CComPtr<IPersistFile> persist;
        wchar_t wide[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        char target[MAX_PATH] = {};
        char arguments[MAX_PATH] = {};
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       link.put_void())) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, persist.put_void())) &&
            SUCCEEDED(persist->Load(wide, STGM_READ))) {
            link->GetPath(target, MAX_PATH, nullptr, 0);
            link->GetArguments(arguments, MAX_PATH);
        }
        printf("  %-36s -> %s %s\n", name.c_str(), target, arguments);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: velloran_inspect PRODUCT SERVICE [SERVICES...] -- HWID... -- UNINSTALL-KEY\n");
        return 2;
    }
    const std::string product = argv[1];
    std::vector<std::string> services, hardwareIds;
    std::string uninstallKey;
    int part = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++part;
            continue;
        }
        if (part == 0)
            services.push_back(arg);
        else if (part == 1)
            hardwareIds.push_back(arg);
        else
            uninstallKey = arg;
    }
    CoInitialize(nullptr);

    const std::string install = SpecialFolder(CSIDL_PROGRAM_FILES) + "\\" + product;
    printf("Install folder %s\n", install.c_str());
    if (!FolderExists(install))
        printf("  (none)\n");
    for (const std::string& name : ListFolder(install))
        printf("  %-28s %8lu bytes\n", name.c_str(), static_cast<unsigned long>(FileSize(install + "\\" + name)));

    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    printf("System folder %s\n", system);
    const std::string serviceFile = std::string(system) + "\\" + services.front() + ".exe";
    printf("  %-28s %s\n", (services.front() + ".exe").c_str(), SizeText(serviceFile).c_str());
    for (size_t i = 1; i < services.size(); ++i) {
        const std::string driver = std::string(system) + "\\drivers\\" + services[i] + ".sys";
        printf("  drivers\\%-20s %s\n", (services[i] + ".sys").c_str(), SizeText(driver).c_str());
    }

    printf("Services (name, start type, state, kind)\n");
    for (const std::string& name : services)
        ReportService(name);

    printf("Devices\n");
    ReportDevices(hardwareIds);

    const std::string menu = SpecialFolder(CSIDL_COMMON_PROGRAMS) + "\\" + product;
    printf("Start Menu %s\n", menu.c_str());
    ReportLinks(menu);
    const std::string desktop = SpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY);
    printf("Desktop %s\n", desktop.c_str());
    ReportLinks(desktop);

    printf("Uninstall entry HKLM\\%s%s\n", UNINSTALL_KEY, uninstallKey.c_str());
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (UNINSTALL_KEY + uninstallKey).c_str(), 0, KEY_READ, key.put()) ==
        ERROR_SUCCESS) {
        for (const char* value : {"DisplayName", "InstallLocation", "UninstallString", "StartMenuLocation"}) {
            std::string text;
            RegString(key.get(), value, &text);
            printf("  %-18s %s\n", value, text.c_str());
        }
    } else {
        printf("  (none)\n");
    }
    CoUninitialize();
    return 0;
}
