#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/PlatformCalls.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_START_NO_MANAGER = 2026;
constexpr int LOC_START_OPEN = 2033;
constexpr int LOC_SAVE_SERVICE = 2046;
constexpr int LOC_SAVE_UNINSTALL_ENTRY = 2052;

// Configure, query status, start and stop; deletion needs SERVICE_ALL_ACCESS.
constexpr DWORD SERVICE_OPEN_ACCESS = 0xF003F;
constexpr DWORD SERVICE_FULL_ACCESS = 0xF01FF;

// Stop waits: StopInstalledService gives a service 20 s, the rollback 10 s.
constexpr DWORD STOP_POLL_MS = 500;
constexpr int STOP_POLLS = 40;
constexpr int UNINSTALL_STOP_POLLS = 20;

// Slack after the dependency names; keeps the list double-zero terminated.
constexpr size_t DEPENDENCY_BUFFER_SLACK = 16;
// Value names are at most 16383 characters.
constexpr DWORD MAX_VALUE_NAME = 16384;
// A value that keeps growing while it is read is given up after this many reads.
constexpr int VALUE_READ_ATTEMPTS = 4;

const char* const SERVICES_KEY = "System\\CurrentControlSet\\Services\\";
const char* const REGISTRY_JOURNAL_PREFIX = "HKLM\\";

const char* const LOG_INSTALL_DRIVER = "Install Driver: ";
const char* const LOG_INSTALL_SERVICE = "Install Service: ";
const char* const LOG_START_SERVICE = "Start Installed Service: ";
const char* const LOG_STOP_SERVICE = "Stop Installed Service: ";
const char* const LOG_UNINSTALL_SERVICE = "Uninstall Service: ";
const char* const LOG_CANNOT_STOP = "Warning: Service can't be stoped!";
const char* const LOG_MARKED_FOR_DELETE = "Warning: Service marked for delete!";
const char* const LOG_NOT_STARTED = "Warning: Service not started: ";

// True when the status can be read and the service is anything but stopped.
bool IsServiceActive(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    return EngineCalls().QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// Polls until the service reports STOPPED, the query fails, or the polls run out.
void WaitForStop(SC_HANDLE service, int polls)
{
    for (int i = 0; i < polls; ++i) {
        Sleep(STOP_POLL_MS);
        SERVICE_STATUS status{};
        if (!EngineCalls().QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
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

// The description is part of the service's configuration: one that cannot be
// set fails the install like the rest of it.
bool SetDescription(SC_HANDLE service, const std::string& description)
{
    SERVICE_DESCRIPTIONA text{};
    text.lpDescription = const_cast<char*>(description.c_str());
    return EngineCalls().ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text) != FALSE;
}

const wchar_t* Wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool SameName(const std::u16string& a, const std::u16string& b)
{
    return lstrcmpiW(Wide(a), Wide(b)) == 0;
}

const SavedRegistryValue* FindValue(const std::vector<SavedRegistryValue>& values, const char16_t* name)
{
    for (const SavedRegistryValue& value : values) {
        if (SameName(value.name, name))
            return &value;
    }
    return nullptr;
}

DWORD DwordOf(const std::vector<SavedRegistryValue>& values, const char16_t* name, DWORD fallback)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (value == nullptr || value->type != REG_DWORD || value->data.size() < sizeof(DWORD))
        return fallback;
    DWORD data = 0;
    memcpy(&data, value->data.data(), sizeof data);
    return data;
}

// The UTF-16 units of a stored value, whatever its terminators.
std::u16string UnitsOf(const std::string& data)
{
    std::u16string units;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                              static_cast<unsigned char>(data[i + 1]) << 8));
    return units;
}

// A string value as text (up to its first zero); `present` tells whether it was there.
std::u16string TextOf(const std::vector<SavedRegistryValue>& values, const char16_t* name, bool* present = nullptr)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (present)
        *present = value != nullptr;
    if (value == nullptr)
        return std::u16string();
    const std::u16string units = UnitsOf(value->data);
    return units.substr(0, units.find(u'\0'));
}

// The entries of a saved multi-string value, each prefixed and terminated.
void AppendMultiString(const std::vector<SavedRegistryValue>& values, const char16_t* name,
                       const std::u16string& prefix, std::u16string* list)
{
    const SavedRegistryValue* value = FindValue(values, name);
    if (value == nullptr)
        return;
    const std::u16string units = UnitsOf(value->data);
    for (size_t at = 0; at < units.size();) {
        size_t end = units.find(u'\0', at);
        if (end == std::u16string::npos)
            end = units.size();
        if (end > at) {
            *list += prefix;
            list->append(units, at, end - at);
            *list += u'\0';
        }
        at = end + 1;
    }
}

std::string ServiceKeyOf(const std::string& serviceName)
{
    return SERVICES_KEY + serviceName;
}

// The service a saved key belongs to, or empty for any other key.
std::string ServiceOfKey(const std::string& subkey)
{
    const size_t prefix = strlen(SERVICES_KEY);
    if (subkey.compare(0, prefix, SERVICES_KEY) != 0 || subkey.find('\\', prefix) != std::string::npos)
        return std::string();
    return subkey.substr(prefix);
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

    EnginePlatformCalls& calls = EngineCalls();
    fw::CServiceHandle existing(calls.OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (existing) {
        // Declared after the service handle: the lock is released first.
        fw::CServiceLock lock(calls.LockServiceDatabase(m_hSCManager.get()));
        SaveServiceRegistry(serviceName);
        BOOL changed = calls.ChangeServiceConfigA(existing.get(), serviceType, startType, SERVICE_ERROR_NORMAL,
                                                  binaryPath.c_str(), groupArg,
                                                  nullptr,  // no tag
                                                  dependencyArg,
                                                  nullptr, nullptr,  // LocalSystem
                                                  displayName.c_str());
        DWORD error = GetLastError();
        if (changed && description && !SetDescription(existing.get(), *description)) {
            changed = FALSE;
            error = GetLastError();
        }
        // A running service keeps its old configuration until it is restarted.
        if (changed && IsServiceActive(existing.get()))
            SetRestartRequired();
        SetLastError(error);
        return changed ? 1 : 0;
    }
    // Only a service that is certainly not there is one this run creates.
    const DWORD openError = GetLastError();
    if (openError != ERROR_SERVICE_DOES_NOT_EXIST)
        return 0;

    Journal(JournalRecord::MakeEntry(serviceName, JOURNAL_SERVICE));
    fw::CServiceHandle created(calls.CreateServiceA(m_hSCManager.get(), serviceName.c_str(), displayName.c_str(),
                                                    SERVICE_FULL_ACCESS, serviceType, startType,
                                                    SERVICE_ERROR_NORMAL, binaryPath.c_str(), groupArg,
                                                    nullptr,  // no tag
                                                    dependencyArg,
                                                    nullptr, nullptr));  // LocalSystem
    if (!created)
        return 0;
    if (description && !SetDescription(created.get(), *description))
        return 0;
    return 1;
}

int CInstaller::StartInstalledService(const std::string& serviceName)
{
    WriteLog(LOG_START_SERVICE, serviceName.c_str());
    if (!m_hSCManager)
        ThrowAt(LOC_START_NO_MANAGER, GetLastError());

    EnginePlatformCalls& calls = EngineCalls();
    fw::CServiceHandle service(calls.OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (!service)
        ThrowAt(LOC_START_OPEN, GetLastError());

    // A service that already runs would keep the old binary; only a restart
    // brings the new one in.
    if (IsServiceActive(service.get()))
        SetRestartRequired();

    Journal(JournalRecord::MakeServiceStarted(serviceName));
    if (RestartRequired())
        return 0;
    if (calls.StartServiceA(service.get(), 0, nullptr))
        return 1;
    // Not the installation's failure (a kernel driver may only start with
    // its device), but nobody should have to guess why it does not run.
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING) {
        char code[32];
        snprintf(code, sizeof code, " (error 0x%.8lx)", static_cast<unsigned long>(error));
        WriteLog(LOG_NOT_STARTED, (serviceName + code).c_str());
    }
    return 0;
}

int CInstaller::StopInstalledService(const std::string& serviceName) noexcept
{
    WriteLog(LOG_STOP_SERVICE, serviceName.c_str());
    if (!m_hSCManager) {
        SetRestartRequired();
        return 0;
    }

    EnginePlatformCalls& calls = EngineCalls();
    fw::CServiceHandle service(calls.OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_OPEN_ACCESS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return 1;
        SetRestartRequired();
        return 0;
    }

    SERVICE_STATUS status{};
    if (calls.QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED)
        return 1;

    if (!calls.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
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

int CInstaller::UninstallService(const std::string& serviceName) noexcept
{
    WriteLog(LOG_UNINSTALL_SERVICE, serviceName.c_str());
    if (!m_hSCManager)
        return 0;
    EnginePlatformCalls& calls = EngineCalls();
    fw::CServiceHandle service(calls.OpenServiceA(m_hSCManager.get(), serviceName.c_str(), SERVICE_FULL_ACCESS));
    if (!service) {
        // Never created, or gone already: nothing to undo.
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST)
            RollbackStepFailed("UninstallService", serviceName, error);
        return 0;
    }

    if (IsServiceActive(service.get())) {
        SERVICE_STATUS status{};
        if (calls.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            WaitForStop(service.get(), UNINSTALL_STOP_POLLS);
        } else {
            WriteLog(LOG_CANNOT_STOP);
            SetRestartRequired();
        }
    }

    if (!calls.DeleteService(service.get())) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            WriteLog(LOG_MARKED_FOR_DELETE);
            SetRestartRequired();
        } else {
            RollbackStepFailed("UninstallService", serviceName, error);
        }
    }
    return 1;
}

void CInstaller::SaveServiceRegistry(const std::string& serviceName)
{
    // A service this run created was absent before: deleting it is its undo.
    const auto journaled = m_journal.find(serviceName);
    if (journaled != m_journal.end() && journaled->second == JOURNAL_SERVICE)
        return;
    SaveRegistryValues(ServiceKeyOf(serviceName), LOC_SAVE_SERVICE);
}

bool CInstaller::ReadKeyValues(const std::string& subkey, std::vector<SavedRegistryValue>* values, int location)
{
    EnginePlatformCalls& calls = EngineCalls();
    fw::CRegKey key;
    const std::u16string wideKey = Widen(subkey);
    LONG result = calls.RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(wideKey), 0, KEY_QUERY_VALUE, key.put());
    if (result == ERROR_FILE_NOT_FOUND)
        return false;
    if (result != ERROR_SUCCESS)
        ThrowAt(location, static_cast<DWORD>(result));

    DWORD largestData = 0;
    result = calls.RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, &largestData, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        ThrowAt(location, static_cast<DWORD>(result));

    // A key without values is saved too, as an empty list: whatever the run
    // adds to it goes again.
    values->clear();
    std::unique_ptr<wchar_t[]> name(new wchar_t[MAX_VALUE_NAME]);
    std::string data(largestData + 2, '\0');
    for (DWORD index = 0;;) {
        DWORD nameLength = MAX_VALUE_NAME;
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        result = calls.RegEnumValueW(key.get(), index, name.get(), &nameLength, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&data[0]), &dataLength);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_MORE_DATA && dataLength > data.size() && values->size() < MAX_VALUE_NAME) {
            // The value grew since the key was measured: read it again, whole.
            data.resize(dataLength);
            continue;
        }
        if (result != ERROR_SUCCESS)
            ThrowAt(location, static_cast<DWORD>(result));
        SavedRegistryValue value;
        value.name.assign(reinterpret_cast<const char16_t*>(name.get()), nameLength);
        value.data.assign(data.data(), dataLength);
        value.type = type;
        values->push_back(std::move(value));
        ++index;
    }
    return true;
}

void CInstaller::SaveRegistryValues(const std::string& subkey, int location)
{
    // The first snapshot of a run is the state before it; later ones would
    // hold the run's own changes.
    if (m_savedServiceValues.count(subkey) != 0)
        return;
    std::vector<SavedRegistryValue> values;
    if (ReadKeyValues(subkey, &values, location))
        Journal(JournalRecord::MakeKeySaved(subkey, values));
}

void CInstaller::SaveOrJournalRegistryKey(const std::string& subkey)
{
    if (m_savedServiceValues.count(subkey) != 0)
        return;
    std::vector<SavedRegistryValue> values;
    if (ReadKeyValues(subkey, &values, LOC_SAVE_UNINSTALL_ENTRY))
        Journal(JournalRecord::MakeKeySaved(subkey, values));
    else
        Journal(JournalRecord::MakeEntry(REGISTRY_JOURNAL_PREFIX + subkey, JOURNAL_REGISTRY_KEY));
}

void CInstaller::TakeOverRegistryKey(const std::string& subkey)
{
    std::vector<SavedRegistryValue> values;
    if (ReadKeyValues(subkey, &values, LOC_SAVE_UNINSTALL_ENTRY))
        Journal(JournalRecord::MakeEntry(REGISTRY_JOURNAL_PREFIX + subkey, JOURNAL_REGISTRY_KEY));
}

namespace {

// Tells the Service Control Manager the configuration the saved values
// describe. Only what the engine changes is put back: the account stays.
// Returns the error of the first call that failed.
DWORD RestoreServiceConfig(SC_HANDLE manager, const std::string& name, const std::vector<SavedRegistryValue>& values)
{
    EnginePlatformCalls& calls = EngineCalls();
    if (manager == nullptr)
        return ERROR_INVALID_HANDLE;
    fw::CServiceHandle service(calls.OpenServiceA(manager, name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service)
        return GetLastError();

    bool hasImagePath = false;
    const std::u16string imagePath = TextOf(values, u"ImagePath", &hasImagePath);
    bool hasDisplayName = false;
    const std::u16string displayName = TextOf(values, u"DisplayName", &hasDisplayName);
    const std::u16string group = TextOf(values, u"Group");
    // An empty list (a double zero) clears dependencies; no argument would keep the run's.
    std::u16string dependencies;
    AppendMultiString(values, u"DependOnService", u"", &dependencies);
    AppendMultiString(values, u"DependOnGroup", u"+", &dependencies);
    dependencies += u'\0';
    dependencies += u'\0';
    const std::u16string serviceName = Widen(name);

    DWORD failure = ERROR_SUCCESS;
    if (!calls.ChangeServiceConfigW(service.get(), DwordOf(values, u"Type", SERVICE_NO_CHANGE),
                                    DwordOf(values, u"Start", SERVICE_NO_CHANGE),
                                    DwordOf(values, u"ErrorControl", SERVICE_NO_CHANGE),
                                    hasImagePath ? Wide(imagePath) : nullptr, Wide(group),
                                    nullptr,  // the tag stays
                                    Wide(dependencies),
                                    nullptr, nullptr,  // the account stays
                                    hasDisplayName ? Wide(displayName) : Wide(serviceName)))
        failure = GetLastError();

    // An empty description removes the one the run set.
    std::u16string description = TextOf(values, u"Description");
    SERVICE_DESCRIPTIONW text{};
    text.lpDescription = const_cast<wchar_t*>(Wide(description));
    if (!calls.ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &text) && failure == ERROR_SUCCESS)
        failure = GetLastError();
    return failure;
}

}  // namespace

void CInstaller::RestoreServiceRegistry() noexcept
{
    EnginePlatformCalls& calls = EngineCalls();
    for (const auto& entry : m_savedServiceValues) {
        const std::string& subkey = entry.first;
        const std::vector<SavedRegistryValue>& values = entry.second;
        // The Service Control Manager keeps the configuration it was given
        // until the next restart: it is told the old one first, then the key
        // is made exactly what it was, whatever that call wrote into it.
        const std::string service = ServiceOfKey(subkey);
        if (!service.empty()) {
            const DWORD error = RestoreServiceConfig(m_hSCManager.get(), service, values);
            if (error != ERROR_SUCCESS)
                RollbackStepFailed("RestoreServiceConfig", service, error);
        }

        fw::CRegKey key;
        const std::u16string wideKey = Widen(subkey);
        LONG result = calls.RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(wideKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
        if (result != ERROR_SUCCESS) {
            RollbackStepFailed("RestoreServiceRegistry", subkey, static_cast<DWORD>(result));
            continue;
        }
        // The values added since go; the saved ones get their bytes back.
        std::vector<std::u16string> added;
        wchar_t name[MAX_VALUE_NAME];
        for (DWORD index = 0;; ++index) {
            DWORD length = MAX_VALUE_NAME;
            result = calls.RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != ERROR_SUCCESS) {
                RollbackStepFailed("RestoreServiceRegistry", subkey, static_cast<DWORD>(result));
                break;
            }
            const std::u16string current(reinterpret_cast<const char16_t*>(name), length);
            if (FindValue(values, current.c_str()) == nullptr)
                added.push_back(current);
        }
        for (const std::u16string& value : added) {
            result = calls.RegDeleteValueW(key.get(), Wide(value));
            if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
                RollbackStepFailed("RestoreServiceRegistry", subkey + "\\" + Narrow(value), static_cast<DWORD>(result));
        }
        for (const SavedRegistryValue& value : values) {
            result = SetValueExactly(key.get(), Wide(value.name), value.type, value.data);
            if (result != ERROR_SUCCESS)
                RollbackStepFailed("RestoreServiceRegistry", subkey + "\\" + Narrow(value.name),
                                   static_cast<DWORD>(result));
        }
    }

    m_savedServiceValues.clear();

    for (const auto& entry : m_journal) {
        if (entry.second != JOURNAL_REGISTRY_KEY)
            continue;
        const std::u16string wideKey = Widen(entry.first.substr(strlen(REGISTRY_JOURNAL_PREFIX)));
        const LONG result = calls.RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(wideKey));
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
            RollbackStepFailed("RestoreServiceRegistry", entry.first, static_cast<DWORD>(result));
    }
}
