#include "engine/Installer.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_START_NO_MANAGER = 2026;
constexpr int LOC_START_OPEN = 2033;

// Configure, query status, start and stop; deletion needs SERVICE_ALL_ACCESS.
constexpr DWORD SERVICE_OPEN_ACCESS = 0xF003F;
constexpr DWORD SERVICE_FULL_ACCESS = 0xF01FF;

// Stop waits: StopInstalledService gives a service 20 s, the rollback 10 s.
constexpr DWORD STOP_POLL_MS = 500;
constexpr int STOP_POLLS = 40;
constexpr int UNINSTALL_STOP_POLLS = 20;

// Slack added to the sizes the registry reports, as the value set may grow
// between the size query and the reads.
constexpr DWORD REGISTRY_BUFFER_SLACK = 16;
// Slack after the dependency names; keeps the list double-zero terminated.
constexpr size_t DEPENDENCY_BUFFER_SLACK = 16;
// Value names are at most 16383 characters.
constexpr DWORD MAX_REGISTRY_NAME = 16384;

const char* const SERVICES_KEY = "System\\CurrentControlSet\\Services\\";
const char* const REGISTRY_JOURNAL_PREFIX = "HKLM\\";

const char* const LOG_INSTALL_DRIVER = "Install Driver: ";
const char* const LOG_INSTALL_SERVICE = "Install Service: ";
const char* const LOG_START_SERVICE = "Start Installed Service: ";
const char* const LOG_STOP_SERVICE = "Stop Installed Service: ";
const char* const LOG_UNINSTALL_SERVICE = "Uninstall Service: ";
const char* const LOG_CANNOT_STOP = "Warning: Service can't be stoped!";
const char* const LOG_MARKED_FOR_DELETE = "Warning: Service marked for delete!";

// True when the status can be read and the service is anything but stopped.
bool IsServiceActive(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// Polls until the service reports STOPPED, the query fails, or the polls run out.
void WaitForStop(SC_HANDLE service, int polls)
{
    for (int i = 0; i < polls; ++i) {
        Sleep(STOP_POLL_MS);
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
            return;
    }
}

// The names as one multi-string: each name and a zero byte, the buffer zeroed
// beforehand so that the list ends in a double zero. An empty name would end
// the list early and hide the names after it, so it is left out. Null when
// the buffer cannot be allocated.
fw::CLocalMem BuildDependencyList(const std::vector<std::string>& names)
{
    size_t size = DEPENDENCY_BUFFER_SLACK;
    for (const std::string& name : names)
        size += name.size() + 1;
    fw::CLocalMem buffer(LocalAlloc(LPTR, size));
    if (!buffer)
        return buffer;
    char* out = static_cast<char*>(buffer.get());
    for (const std::string& name : names) {
        if (name.empty())
            continue;
        memcpy(out, name.data(), name.size());
        out += name.size() + 1;
    }
    return buffer;
}

void SetDescription(SC_HANDLE service, const std::string& description)
{
    SERVICE_DESCRIPTIONA text{};
    text.lpDescription = const_cast<char*>(description.c_str());
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
}

const SavedRegistryValue* FindValue(const std::vector<SavedRegistryValue>& values, const char* name)
{
    for (const SavedRegistryValue& value : values) {
        if (lstrcmpiA(value.name.c_str(), name) == 0)
            return &value;
    }
    return nullptr;
}

DWORD DwordOf(const std::vector<SavedRegistryValue>& values, const char* name, DWORD fallback)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (value == nullptr || value->type != REG_DWORD || value->data.size() < sizeof(DWORD))
        return fallback;
    DWORD data = 0;
    memcpy(&data, value->data.data(), sizeof data);
    return data;
}

// A string value as text (up to its first zero); `present` tells whether it was there.
std::string TextOf(const std::vector<SavedRegistryValue>& values, const char* name, bool* present = nullptr)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (present)
        *present = value != nullptr;
    if (value == nullptr)
        return std::string();
    return std::string(value->data.c_str());
}

// The entries of a saved multi-string value, each prefixed.
void AppendMultiString(const std::vector<SavedRegistryValue>& values, const char* name, const char* prefix,
                       std::string* list)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (value == nullptr)
        return;
    const std::string& data = value->data;
    for (size_t at = 0; at < data.size();) {
        const size_t zero = data.find('\0', at);
        const size_t end = zero == std::string::npos ? data.size() : zero;
        if (end > at) {
            *list += prefix;
            list->append(data, at, end - at);
            *list += '\0';
        }
        at = end + 1;
    }
}

// Tells the Service Control Manager the configuration the saved values
// describe. Only what the engine changes is put back: the account stays.
void RestoreServiceConfig(SC_HANDLE manager, const std::string& name, const std::vector<SavedRegistryValue>& values)
{
    if (manager == nullptr)
        return;
    fw::CServiceHandle service(OpenServiceA(manager, name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        return;

    bool hasImagePath = false;
    const std::string imagePath = TextOf(values, "ImagePath", &hasImagePath);
    bool hasDisplayName = false;
    const std::string displayName = TextOf(values, "DisplayName", &hasDisplayName);
    // An empty list (a double zero) clears dependencies; no argument would keep the run's.
    std::string dependencies;
    AppendMultiString(values, "DependOnService", "", &dependencies);
    AppendMultiString(values, "DependOnGroup", "+", &dependencies);
    dependencies += '\0';
    dependencies += '\0';

    ChangeServiceConfigA(service.get(), DwordOf(values, "Type", SERVICE_NO_CHANGE),
                         DwordOf(values, "Start", SERVICE_NO_CHANGE),
                         DwordOf(values, "ErrorControl", SERVICE_NO_CHANGE),
                         hasImagePath ? imagePath.c_str() : nullptr, TextOf(values, "Group").c_str(),
                         nullptr,  // the tag stays
                         dependencies.data(),
                         nullptr, nullptr,  // the account stays
                         hasDisplayName ? displayName.c_str() : name.c_str());

    // An empty description removes the one the run set.
    std::string description = TextOf(values, "Description");
    SERVICE_DESCRIPTIONA text{};
    text.lpDescription = &description[0];
    ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, &text);
}

// Makes the key hold exactly the saved values: the ones added since go.
void RestoreKeyValues(const std::string& subkey, const std::vector<SavedRegistryValue>& values)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return;
    std::vector<std::string> added;
    for (DWORD index = 0;; ++index) {
        char name[MAX_REGISTRY_NAME];
        DWORD length = sizeof name;
        const LONG result = RegEnumValueA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS && FindValue(values, name) == nullptr)
            added.emplace_back(name, length);
    }
    for (const std::string& name : added)
        RegDeleteValueA(key.get(), name.c_str());
    for (const SavedRegistryValue& value : values)
        RegSetValueExA(key.get(), value.name.c_str(), 0, value.type,
                       reinterpret_cast<const BYTE*>(value.data.data()), static_cast<DWORD>(value.data.size()));
}

}  // namespace

int CInstaller::InstallDriver(const std::string& binaryPath, const std::string& serviceName,
                              const std::string& displayName, DWORD startType)
{
    return InstallServiceEntry(true, binaryPath, serviceName, displayName, nullptr, nullptr, startType,
                               nullptr);
}

int CInstaller::InstallService(const std::string& binaryPath, const std::string& serviceName,
                               const std::string& displayName, const std::string& description,
                               const std::string& loadOrderGroup, DWORD startType,
                               const std::vector<std::string>& dependencies)
{
    return InstallServiceEntry(false, binaryPath, serviceName, displayName, &description, &loadOrderGroup,
                               startType, &dependencies);
}

int CInstaller::InstallServiceEntry(bool kernelDriver, const std::string& binaryPath,
                                    const std::string& serviceName, const std::string& displayName,
                                    const std::string* description, const std::string* loadOrderGroup,
                                    DWORD startType, const std::vector<std::string>* dependencies)
{
    if (!m_hSCManager)
        return 0;
    if (kernelDriver)
        WriteLog(LOG_INSTALL_DRIVER, binaryPath.c_str());
    else
        WriteLog(LOG_INSTALL_SERVICE, serviceName.c_str());

    // Without names no dependency argument is passed, so that an existing
    // service keeps the dependencies it has.
    fw::CLocalMem dependencyList;
    if (dependencies && !dependencies->empty()) {
        dependencyList = BuildDependencyList(*dependencies);
        if (!dependencyList)
            return 0;
    }
    const char* dependencyArg = static_cast<const char*>(dependencyList.get());
    const char* groupArg = loadOrderGroup ? loadOrderGroup->c_str() : nullptr;
    const DWORD serviceType = kernelDriver ? SERVICE_KERNEL_DRIVER : SERVICE_WIN32_OWN_PROCESS;

    fw::CServiceHandle existing(OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (existing) {
        // Declared after the service handle: the lock is released first.
        fw::CServiceLock lock(LockServiceDatabase(m_hSCManager.get()));
        SaveServiceRegistry(serviceName);
        const BOOL changed = ChangeServiceConfigA(existing.get(), serviceType, startType, SERVICE_ERROR_NORMAL,
                                                  binaryPath.c_str(), groupArg,
                                                  nullptr,  // no tag
                                                  dependencyArg,
                                                  nullptr, nullptr,  // LocalSystem
                                                  displayName.c_str());
        // A running service keeps its old configuration until it is restarted.
        if (changed && IsServiceActive(existing.get()))
            SetRestartRequired();
        if (description)
            SetDescription(existing.get(), *description);
        return changed ? 1 : 0;
    }

    fw::CServiceHandle created(CreateServiceA(m_hSCManager.get(), serviceName.c_str(), displayName.c_str(),
                                              SERVICE_FULL_ACCESS, serviceType, startType,
                                              SERVICE_ERROR_NORMAL, binaryPath.c_str(), groupArg,
                                              nullptr,  // no tag
                                              dependencyArg,
                                              nullptr, nullptr));  // LocalSystem
    if (!created)
        return 0;
    m_journal[serviceName] = JOURNAL_SERVICE;
    if (description)
        SetDescription(created.get(), *description);
    return 1;
}

int CInstaller::StartInstalledService(const std::string& serviceName)
{
    WriteLog(LOG_START_SERVICE, serviceName.c_str());
    if (!m_hSCManager)
        ThrowAt(LOC_START_NO_MANAGER, GetLastError());

    fw::CServiceHandle service(OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (!service)
        ThrowAt(LOC_START_OPEN, GetLastError());

    // A service that already runs would keep the old binary; only a restart
    // brings the new one in.
    if (IsServiceActive(service.get()))
        SetRestartRequired();

    int result = 0;
    if (!RestartRequired())
        result = StartServiceA(service.get(), 0, nullptr) ? 1 : 0;

    m_startedServices[serviceName] = JOURNAL_SERVICE_STARTED;
    return result;
}

int CInstaller::StopInstalledService(const std::string& serviceName)
{
    WriteLog(LOG_STOP_SERVICE, serviceName.c_str());
    if (!m_hSCManager) {
        SetRestartRequired();
        return 0;
    }

    fw::CServiceHandle service(OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return 1;
        SetRestartRequired();
        return 0;
    }

    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED)
        return 1;

    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        service.reset();
        SetRestartRequired();
        return 0;
    }
    // A service still stopping after the wait is left to finish on its own.
    WaitForStop(service.get(), STOP_POLLS);
    return 1;
}

bool CInstaller::WasServiceStarted(const std::string& serviceName) const
{
    return m_startedServices.find(serviceName) != m_startedServices.end();
}

int CInstaller::UninstallService(const std::string& serviceName)
{
    WriteLog(LOG_UNINSTALL_SERVICE, serviceName.c_str());
    if (!m_hSCManager)
        return 0;
    fw::CServiceHandle service(OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_FULL_ACCESS));
    if (!service)
        return 0;

    if (IsServiceActive(service.get())) {
        SERVICE_STATUS status{};
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            WaitForStop(service.get(), UNINSTALL_STOP_POLLS);
        } else {
            WriteLog(LOG_CANNOT_STOP);
            SetRestartRequired();
        }
    }

    if (!DeleteService(service.get()) && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
        WriteLog(LOG_MARKED_FOR_DELETE);
        SetRestartRequired();
    }
    return 1;
}

void CInstaller::SaveServiceRegistry(const std::string& serviceName)
{
    // A service this run created was absent before: deleting it is its undo.
    const auto journaled = m_journal.find(serviceName);
    if (journaled != m_journal.end() && journaled->second == JOURNAL_SERVICE)
        return;
    SaveRegistryValues(SERVICES_KEY + serviceName);
}

void CInstaller::SaveRegistryValues(const std::string& subkey)
{
    // The first snapshot of a run is the state before it; later ones would
    // hold the run's own changes.
    if (m_savedServiceValues.count(subkey) != 0)
        return;
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;

    DWORD valueCount = 0;
    DWORD longestName = 0;
    DWORD largestData = 0;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount,
                         &longestName, &largestData, nullptr, nullptr) != ERROR_SUCCESS)
        return;

    const DWORD nameSize = longestName + REGISTRY_BUFFER_SLACK;
    const DWORD dataSize = largestData + REGISTRY_BUFFER_SLACK;
    std::unique_ptr<char[]> name(new (std::nothrow) char[nameSize]());
    std::unique_ptr<BYTE[]> data(new (std::nothrow) BYTE[dataSize]());
    if (!name || !data)
        return;

    // A key without values is saved too, as an empty list: whatever the run
    // adds to it goes again.
    std::vector<SavedRegistryValue> values;
    for (DWORD index = valueCount; index-- > 0;) {
        // Both sizes are in/out: each call starts again from the full buffer.
        DWORD nameLength = nameSize;
        DWORD type = 0;
        if (RegEnumValueA(key.get(), index, name.get(), &nameLength, nullptr, &type, nullptr, nullptr) !=
            ERROR_SUCCESS)
            continue;
        DWORD dataLength = dataSize;
        if (RegQueryValueExA(key.get(), name.get(), nullptr, nullptr, data.get(), &dataLength) != ERROR_SUCCESS)
            continue;
        SavedRegistryValue value;
        value.name.assign(name.get(), nameLength);
        value.data.assign(reinterpret_cast<const char*>(data.get()), dataLength);
        value.type = type;
        values.push_back(std::move(value));
    }
    m_savedServiceValues[subkey] = std::move(values);
}

void CInstaller::SaveOrJournalRegistryKey(const std::string& subkey)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        key.reset();
        SaveRegistryValues(subkey);
        return;
    }
    if (m_savedServiceValues.count(subkey) == 0)
        m_journal[REGISTRY_JOURNAL_PREFIX + subkey] = JOURNAL_REGISTRY_KEY;
}

void CInstaller::RestoreServiceRegistry()
{
    for (const auto& entry : m_savedServiceValues) {
        // The Service Control Manager keeps the configuration it was given
        // until the next restart: it is told the old one first, then the key
        // is made exactly what it was, whatever that call wrote into it.
        if (entry.first.compare(0, strlen(SERVICES_KEY), SERVICES_KEY) == 0 &&
            entry.first.find('\\', strlen(SERVICES_KEY)) == std::string::npos)
            RestoreServiceConfig(m_hSCManager.get(), entry.first.substr(strlen(SERVICES_KEY)), entry.second);
        RestoreKeyValues(entry.first, entry.second);
    }
    m_savedServiceValues.clear();

    for (const auto& entry : m_journal) {
        if (entry.second == JOURNAL_REGISTRY_KEY)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, entry.first.c_str() + strlen(REGISTRY_JOURNAL_PREFIX));
    }
}
