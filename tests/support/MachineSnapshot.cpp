#include "tests/support/MachineSnapshot.h"

#include "framework/Handles.h"
#include "tests/support/TestSupport.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <cstdio>

namespace testsupport {

namespace {

// Contents are compared by a cheap fingerprint: size and FNV-1a of the bytes.
std::string Fingerprint(const std::string& bytes)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[64];
    snprintf(text, sizeof text, "%zu bytes %016llx", bytes.size(), static_cast<unsigned long long>(hash));
    return text;
}

void AddTree(const std::string& folder, std::map<std::string, std::string>* items)
{
    WIN32_FIND_DATAA data;
    fw::CFindHandle find(FindFirstFileA((folder + "\\*").c_str(), &data));
    if (!find)
        return;
    items->emplace("dir " + folder, "");
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            AddTree(path, items);
        else
            items->emplace("file " + path, Fingerprint(ReadFileBytes(path)));
    } while (FindNextFileA(find.get(), &data));
}

void AddKey(HKEY root, const std::string& subkey, std::map<std::string, std::string>* items)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return;
    items->emplace("key HKLM\\" + subkey, "");
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD nameLength = sizeof name;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::string data(size, '\0');
        nameLength = sizeof name;
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type,
                          reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
            continue;
        data.resize(size);
        items->emplace("reg HKLM\\" + subkey + "\\" + name, std::to_string(type) + ":" + Fingerprint(data));
    }
    std::vector<std::string> children;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key.get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name, nameLength);
    }
    key.reset();
    for (const std::string& child : children)
        AddKey(root, subkey + "\\" + child, items);
}

// The configuration the Service Control Manager holds for the service.
std::string ServiceConfig(SC_HANDLE manager, const std::string& name)
{
    fw::CServiceHandle service(OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return "(cannot be opened)";
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 64);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return "(not read)";
    std::string text = std::to_string(config->dwServiceType) + " " + std::to_string(config->dwStartType) + " " +
                       std::to_string(config->dwErrorControl) + " [" + config->lpBinaryPathName + "] [" +
                       config->lpLoadOrderGroup + "] [" + config->lpDisplayName + "] [";
    for (const char* dependency = config->lpDependencies; dependency && *dependency;
         dependency += strlen(dependency) + 1)
        text += std::string(dependency) + ";";
    text += "] [";
    needed = 0;
    QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> described(needed + 64);
    auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(described.data());
    if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, described.data(),
                             static_cast<DWORD>(described.size()), &needed) &&
        description->lpDescription)
        text += description->lpDescription;
    return text + "]";
}

void AddServices(const std::vector<std::string>& watched, std::map<std::string, std::string>* items)
{
    fw::CServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager)
        return;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusA(manager.get(), SERVICE_DRIVER | SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                        &count, &resume);
    std::vector<BYTE> buffer(needed + 4096);
    resume = 0;
    if (!EnumServicesStatusA(manager.get(), SERVICE_DRIVER | SERVICE_WIN32, SERVICE_STATE_ALL,
                             reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                             static_cast<DWORD>(buffer.size()), &needed, &count, &resume))
        return;
    const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        const std::string name = services[i].lpServiceName;
        std::string shown;
        if (std::find(watched.begin(), watched.end(), name) != watched.end()) {
            // Running and stopped are what a user sees; the pending states
            // are passing moments.
            shown = services[i].ServiceStatus.dwCurrentState == SERVICE_RUNNING ? "running" : "stopped";
            items->emplace("service config " + name, ServiceConfig(manager.get(), name));
        }
        items->emplace("service " + name, shown);
    }
}

const char* const SNAPSHOT_HEADER = "machine snapshot 1";

// Item keys and values are paths, registry names and fingerprints; a tab,
// line break or backslash in one is escaped so that each item stays a line.
std::string Escape(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '\t': escaped += "\\t"; break;
        case '\n': escaped += "\\n"; break;
        case '\r': escaped += "\\r"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string Unescape(const std::string& text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char c = text[++i];
        plain += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return plain;
}

// The INF the device's driver key names; empty without a driver.
std::string DriverPackage(HDEVINFO list, SP_DEVINFO_DATA* device)
{
    char driver[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, device, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(driver),
                                           sizeof driver - 1, nullptr))
        return std::string();
    std::string inf;
    RegReadString(HKEY_LOCAL_MACHINE, std::string("System\\CurrentControlSet\\Control\\Class\\") + driver, "InfPath",
                  &inf);
    return inf;
}

std::vector<std::string> PresentDevices(bool withPackage)
{
    std::vector<std::string> devices;
    fw::CDevInfoList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!list)
        return devices;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        char ids[4096] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(list.get(), &device, SPDRP_HARDWAREID, &type,
                                               reinterpret_cast<BYTE*>(ids), sizeof ids - 2, nullptr))
            continue;
        std::string joined;
        for (const char* id = ids; *id; id += strlen(id) + 1) {
            if (!joined.empty())
                joined += "|";
            joined += id;
        }
        if (withPackage) {
            const std::string package = DriverPackage(list.get(), &device);
            joined += " on " + (package.empty() ? std::string("(no driver)") : package);
        }
        devices.push_back(joined);
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

}  // namespace

std::vector<std::string> PresentDeviceIds()
{
    return PresentDevices(false);
}

CMachineSnapshot CMachineSnapshot::Take(const MachineScope& scope)
{
    CMachineSnapshot snapshot;
    for (const std::string& tree : scope.trees)
        AddTree(tree, &snapshot.items);
    for (const std::string& file : scope.files) {
        if (FileExists(file))
            snapshot.items.emplace("file " + file, Fingerprint(ReadFileBytes(file)));
    }
    for (const std::string& pattern : scope.patterns) {
        const std::string folder = pattern.substr(0, pattern.find_last_of('\\'));
        WIN32_FIND_DATAA data;
        fw::CFindHandle find(FindFirstFileA(pattern.c_str(), &data));
        for (bool more = find.valid(); more; more = FindNextFileA(find.get(), &data) != FALSE) {
            const std::string path = folder + "\\" + data.cFileName;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                snapshot.items.emplace("file " + path, Fingerprint(ReadFileBytes(path)));
        }
    }
    for (const std::string& key : scope.registryKeys)
        AddKey(HKEY_LOCAL_MACHINE, key, &snapshot.items);
    for (const auto& value : scope.registryValues) {
        std::string data;
        DWORD type = 0;
        if (RegReadValue(HKEY_LOCAL_MACHINE, value.first, value.second.c_str(), &data, &type))
            snapshot.items.emplace("reg HKLM\\" + value.first + "\\" + value.second,
                                   std::to_string(type) + ":" + Fingerprint(data));
    }
    if (scope.services)
        AddServices(scope.serviceStates, &snapshot.items);
    if (scope.devices) {
        // Devices may share ids: count them.
        std::map<std::string, int> counts;
        for (const std::string& ids : PresentDevices(scope.devicePackages))
            ++counts[ids];
        for (const auto& entry : counts)
            snapshot.items.emplace("device " + entry.first, std::to_string(entry.second));
    }
    return snapshot;
}

std::vector<std::string> CMachineSnapshot::DifferencesTo(const CMachineSnapshot& later) const
{
    std::vector<std::string> differences;
    for (const auto& item : items) {
        auto found = later.items.find(item.first);
        if (found == later.items.end())
            differences.push_back("gone: " + item.first);
        else if (found->second != item.second)
            differences.push_back("changed: " + item.first + " (" + item.second + " -> " + found->second + ")");
    }
    for (const auto& item : later.items) {
        if (items.find(item.first) == items.end())
            differences.push_back("added: " + item.first + " (" + item.second + ")");
    }
    return differences;
}

bool CMachineSnapshot::Save(const std::string& path) const
{
    std::string text = std::string(SNAPSHOT_HEADER) + "\n";
    for (const auto& item : items)
        text += Escape(item.first) + "\t" + Escape(item.second) + "\n";
    return WriteFileBytes(path, text);
}

bool CMachineSnapshot::Load(const std::string& path, CMachineSnapshot* snapshot)
{
    const std::string text = ReadFileBytes(path);
    const std::string header = std::string(SNAPSHOT_HEADER) + "\n";
    if (text.compare(0, header.size(), header) != 0)
        return false;
    snapshot->items.clear();
    for (size_t start = header.size(); start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            return false;
        snapshot->items.emplace(Unescape(line.substr(0, tab)), Unescape(line.substr(tab + 1)));
        start = end + 1;
    }
    return true;
}

}  // namespace testsupport
