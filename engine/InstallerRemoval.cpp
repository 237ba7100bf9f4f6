// Taking an installation off again, as the uninstaller does: every removal is
// journaled before it is made with what puts the thing back, so that a
// failed, faulted or killed uninstall leaves the product installed.
#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"

#include <cstdio>
#include <cstring>
#include <newdev.h>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_REMOVE_DEVICE = 2210;
constexpr int LOC_REMOVE_PACKAGE = 2220;
constexpr int LOC_COPY_PACKAGE = 2225;
constexpr int LOC_REMOVE_SERVICE = 2230;
constexpr int LOC_REMOVE_FILE = 2240;
constexpr int LOC_REMOVE_DIRECTORY = 2250;
constexpr int LOC_REMOVE_KEY = 2260;
constexpr int LOC_STOP_SERVICE = 2270;

constexpr DWORD SERVICE_FULL_ACCESS = 0xF01FF;
constexpr DWORD STOP_POLL_MS = 250;
constexpr int STOP_POLLS = 80;  // 20 s
constexpr DWORD PRESENT_DEVICES = DIGCF_PRESENT | DIGCF_ALLCLASSES;
constexpr DWORD CLASS_NAME_SIZE = 32;

const char* const SERVICES_KEY = "System\\CurrentControlSet\\Services\\";
const char* const REGISTRY_JOURNAL_PREFIX = "HKLM\\";
const char* const CATALOG_FOLDER = "\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

const char* const LOG_STOP_SERVICE = "Stop Service: ";
const char* const LOG_REMOVE_DEVICE = "Remove Device: ";
const char* const LOG_REMOVE_PACKAGE = "Uninstall Driver Package: ";
const char* const LOG_REMOVE_SERVICE = "Uninstall Service: ";
const char* const LOG_REMOVE_FILE = "Remove File: ";
const char* const LOG_REMOVE_DIRECTORY = "Remove Directory: ";
const char* const LOG_REMOVE_KEY = "Remove Registry Key: ";
const char* const LOG_FOLDER_KEPT = "Warning: Folder not empty, kept: ";
const char* const LOG_SERVICE_RUNS = "Warning: Service can't be stoped!";
const char* const LOG_RESTORE_DEVICE = "Restore Device: ";
const char* const LOG_RESTORE_PACKAGE = "Restore Driver Package: ";
const char* const LOG_RESTORE_SERVICE = "Restore Service: ";
const char* const LOG_RESTART_SERVICE = "Restart Service: ";

bool Exists(const std::string& path, DWORD* error)
{
    if (EngineCalls().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    *error = GetLastError();
    return false;
}

bool Gone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StemOf(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

const wchar_t* Wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A DWORD or text of the saved values of a service key.
const SavedRegistryValue* Find(const std::vector<SavedRegistryValue>& values, const char16_t* name)
{
    for (const SavedRegistryValue& value : values) {
        if (lstrcmpiW(Wide(value.name), reinterpret_cast<const wchar_t*>(name)) == 0)
            return &value;
    }
    return nullptr;
}

DWORD DwordValue(const std::vector<SavedRegistryValue>& values, const char16_t* name, DWORD fallback)
{
    const SavedRegistryValue* value = Find(values, name);
    if (value == nullptr || value->data.size() < sizeof(DWORD))
        return fallback;
    DWORD data = 0;
    memcpy(&data, value->data.data(), sizeof data);
    return data;
}

std::u16string TextValue(const std::vector<SavedRegistryValue>& values, const char16_t* name)
{
    const SavedRegistryValue* value = Find(values, name);
    if (value == nullptr)
        return std::u16string();
    std::u16string units;
    for (size_t i = 0; i + 1 < value->data.size(); i += 2)
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(value->data[i]) |
                                              static_cast<unsigned char>(value->data[i + 1]) << 8));
    return units.substr(0, units.find(u'\0'));
}

// Whether `path` names `file` or lies inside the folder `folder`, in any case.
bool SamePath(const std::string& path, const std::string& file)
{
    return !file.empty() && lstrcmpiA(path.c_str(), file.c_str()) == 0;
}

bool InsideFolder(const std::string& path, const std::string& folder)
{
    return !folder.empty() && path.size() > folder.size() + 1 && path[folder.size()] == '\\' &&
           SamePath(path.substr(0, folder.size()), folder);
}

bool IsActive(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    return EngineCalls().QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
}

// Sends the stop and waits for it; false when the service still runs.
bool StopAndWait(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    if (!EngineCalls().ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return false;
    for (int i = 0; i < STOP_POLLS; ++i) {
        if (!EngineCalls().QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
            return true;
        Sleep(STOP_POLL_MS);
    }
    return false;
}

}  // namespace

bool CInstaller::InstallationRecord::Empty() const
{
    return files.empty() && directories.empty() && services.empty() && devices.empty() && packages.empty() &&
           registryKeys.empty() && firewall.empty();
}

CInstaller::InstallationRecord CInstaller::ReadInstallationRecord(const std::vector<JournalRecord>& committed)
{
    InstallationRecord record;
    const auto erase = [](std::vector<std::string>* list, const std::string& item) {
        for (auto at = list->begin(); at != list->end();)
            at = *at == item ? list->erase(at) : at + 1;
    };
    for (const JournalRecord& entry : committed) {
        const std::vector<std::string>& f = entry.fields;
        if (entry.kind == RecordKind::Entry && f.size() >= 2) {
            int32_t kind = 0;
            DecodeInt(f[1], &kind);
            switch (kind) {
            case JOURNAL_FILE:
                record.files.insert(f[0]);
                break;
            case JOURNAL_DIRECTORY:
                record.directories.insert(f[0]);
                break;
            case JOURNAL_SERVICE:
                erase(&record.services, f[0]);
                record.services.push_back(f[0]);
                break;
            case JOURNAL_PNP_DEVICE:
                record.devices.emplace(f[0], std::string());
                break;
            case JOURNAL_DRIVER_PACKAGE:
                record.packages.insert(f[0]);
                break;
            case JOURNAL_REGISTRY_KEY: {
                const std::string key = f[0].substr(strlen(REGISTRY_JOURNAL_PREFIX));
                erase(&record.registryKeys, key);
                record.registryKeys.push_back(key);
                break;
            }
            default:
                break;
            }
        } else if (entry.kind == RecordKind::Backup && f.size() >= 2) {
            // A backup was only this run's, and went with its commit.
            record.files.erase(f[1]);
        } else if (entry.kind == RecordKind::PackageIntent && f.size() >= 2 && !f[1].empty()) {
            record.devices[f[1]] = f[0];
        } else if (entry.kind == RecordKind::Firewall && !f.empty()) {
            FirewallChange change;
            if (!DecodeFirewall(f[0], &change) ||
                (change.kind != FirewallChange::RULE_ADDED && change.kind != FirewallChange::APPLICATION_ADDED))
                continue;
            bool known = false;
            for (const FirewallChange& other : record.firewall)
                known = known || (other.kind == change.kind && other.name == change.name &&
                                  other.path == change.path && other.direction == change.direction);
            if (!known)
                record.firewall.push_back(change);
        }
    }
    return record;
}

void CInstaller::StopServiceForRemoval(const std::string& name)
{
    if (!m_hSCManager)
        ThrowAt(LOC_STOP_SERVICE, ERROR_INVALID_HANDLE);
    fw::CServiceHandle service(EngineCalls().OpenServiceA(m_hSCManager.get(), name.c_str(),
                                                          SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_START));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            return;
        ThrowAt(LOC_STOP_SERVICE, error);
    }
    if (!IsActive(service.get()))
        return;
    WriteLog(LOG_STOP_SERVICE, name.c_str());
    // It runs again if the uninstall does not finish.
    Journal(JournalRecord::MakeText(RecordKind::ServiceStopped, name));
    if (!StopAndWait(service.get())) {
        // Its files are in use: they go at the restart.
        WriteLog(LOG_SERVICE_RUNS);
    }
}

void CInstaller::RemoveDevices(const std::string& hardwareId, const std::string& infPath)
{
    DWORD error = 0;
    const DeviceSearch search = FindDeviceByHardwareId(hardwareId, &error);
    if (search == DeviceSearch::Failed)
        ThrowAt(LOC_REMOVE_DEVICE, error);
    if (search == DeviceSearch::Absent)
        return;
    WriteLog(LOG_REMOVE_DEVICE, hardwareId.c_str());
    Journal(JournalRecord::MakeTexts(RecordKind::DeviceRemoved, hardwareId, infPath));

    EnginePlatformCalls& calls = EngineCalls();
    CEngineDevInfoList devices(calls.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, PRESENT_DEVICES));
    if (!devices)
        ThrowAt(LOC_REMOVE_DEVICE, GetLastError());
    // Every device with the id: the installation made them all.
    std::vector<SP_DEVINFO_DATA> matches;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; calls.SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        DWORD size = 0;
        calls.SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
        std::string ids(size + 2, '\0');
        if (size == 0 || !calls.SetupDiGetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID, nullptr,
                                                                  reinterpret_cast<BYTE*>(&ids[0]), size, nullptr))
            continue;
        for (size_t at = 0; at < ids.size() && ids[at] != '\0'; at += strlen(&ids[at]) + 1) {
            if (hardwareId == &ids[at]) {
                matches.push_back(device);
                break;
            }
        }
    }
    for (SP_DEVINFO_DATA& match : matches) {
        if (!calls.SetupDiCallClassInstaller(DIF_REMOVE, devices.get(), &match))
            ThrowAt(LOC_REMOVE_DEVICE, GetLastError());
        SP_DEVINSTALL_PARAMS_A params{};
        params.cbSize = sizeof params;
        if (calls.SetupDiGetDeviceInstallParamsA(devices.get(), &match, &params) &&
            (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
            SetRestartRequired();
    }
}

void CInstaller::RemoveDriverPackage(const std::string& publishedInf, const std::string& copyFolder)
{
    DWORD error = 0;
    if (!Exists(publishedInf, &error)) {
        if (Gone(error))
            return;
        ThrowAt(LOC_REMOVE_PACKAGE, error);
    }
    WriteLog(LOG_REMOVE_PACKAGE, publishedInf.c_str());
    EnginePlatformCalls& calls = EngineCalls();

    // A copy of the package, to hand back to the store should the uninstall
    // not finish: the INF under its published name, its catalog under the
    // name the INF gives it.
    const std::string folder = copyFolder + "\\" + StemOf(FileNameOf(publishedInf));
    Journal(JournalRecord::MakeEntry(folder, JOURNAL_DIRECTORY));
    if (!calls.CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowAt(LOC_COPY_PACKAGE, GetLastError());
    const auto copy = [&](const std::string& from, const std::string& to) {
        Journal(JournalRecord::MakeEntry(to, JOURNAL_FILE));
        if (!calls.CopyFileA(from.c_str(), to.c_str(), FALSE))
            ThrowAt(LOC_COPY_PACKAGE, GetLastError());
        fw::CFileHandle file(calls.CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !calls.FlushFileBuffers(file.get()))
            ThrowAt(LOC_COPY_PACKAGE, GetLastError());
    };
    const std::string inf = folder + "\\" + FileNameOf(publishedInf);
    copy(publishedInf, inf);
    char catalog[MAX_PATH] = {};
    calls.GetPrivateProfileStringA("Version", "CatalogFile", "", catalog, MAX_PATH, publishedInf.c_str());
    char system[MAX_PATH] = {};
    const UINT length = calls.GetSystemDirectoryA(system, MAX_PATH);
    if (catalog[0] != '\0' && strpbrk(catalog, "\\/:") == nullptr && length != 0 && length < MAX_PATH) {
        const std::string catalogs = std::string(system) + CATALOG_FOLDER;
        // Windows names the stored catalog after the published INF, Wine after the INF's own.
        for (const std::string& stored : {catalogs + "\\" + StemOf(FileNameOf(publishedInf)) + ".cat",
                                          catalogs + "\\" + catalog}) {
            if (Exists(stored, &error)) {
                copy(stored, folder + "\\" + catalog);
                break;
            }
        }
    }
    Journal(JournalRecord::MakeTexts(RecordKind::PackageRemoved, publishedInf, inf));

    // Where Windows has it (Windows 10 1703 on), the driver uninstall takes
    // the package and moves any device off it; before, the store's own
    // removal by the published name.
    BOOL restart = FALSE;
    if (!calls.DiUninstallDriverA(nullptr, publishedInf.c_str(), 0, &restart)) {
        error = GetLastError();
        if (error != ERROR_PROC_NOT_FOUND && error != ERROR_MOD_NOT_FOUND)
            ThrowAt(LOC_REMOVE_PACKAGE, error);
        if (!calls.SetupUninstallOEMInfA(FileNameOf(publishedInf).c_str(), SUOI_FORCEDELETE, nullptr))
            ThrowAt(LOC_REMOVE_PACKAGE, GetLastError());
    }
    if (restart)
        SetRestartRequired();
    // Judged by what is on disk: the store's removal may answer either way.
    if (Exists(publishedInf, &error))
        ThrowAt(LOC_REMOVE_PACKAGE, ERROR_ACCESS_DENIED);
}

void CInstaller::RemoveService(const std::string& name)
{
    if (!m_hSCManager)
        ThrowAt(LOC_REMOVE_SERVICE, ERROR_INVALID_HANDLE);
    EnginePlatformCalls& calls = EngineCalls();
    fw::CServiceHandle service(calls.OpenServiceA(m_hSCManager.get(), name.c_str(), SERVICE_FULL_ACCESS));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
            return;
        ThrowAt(LOC_REMOVE_SERVICE, error);
    }
    WriteLog(LOG_REMOVE_SERVICE, name.c_str());
    // Its whole configuration first: a rollback makes it again from that.
    SaveRegistryValues(SERVICES_KEY + name, LOC_REMOVE_SERVICE);
    Journal(JournalRecord::MakeText(RecordKind::ServiceRemoved, name));
    if (IsActive(service.get()) && !StopAndWait(service.get())) {
        WriteLog(LOG_SERVICE_RUNS);
        SetRestartRequired();
    }
    if (!calls.DeleteService(service.get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE)
            ThrowAt(LOC_REMOVE_SERVICE, error);
        SetRestartRequired();
    }
}

void CInstaller::RemoveInstalledFile(const std::string& path, const std::string& backupFolder)
{
    DWORD error = 0;
    if (!Exists(path, &error)) {
        if (Gone(error))
            return;
        ThrowAt(LOC_REMOVE_FILE, error);
    }
    WriteLog(LOG_REMOVE_FILE, path.c_str());
    EnginePlatformCalls& calls = EngineCalls();
    char number[16];
    snprintf(number, sizeof number, "%u_", ++m_backupCount);
    // The running uninstaller goes into its own folder, which it deletes at
    // the restart itself.
    const std::string& folder = SamePath(path, m_uninstallerProgram) ? m_uninstallerFolder : backupFolder;
    const std::string backup = folder + "\\" + number + FileNameOf(path);

    // A rename on one volume moves the whole file at once: journaled first,
    // it is found in the backup if it moved, and in place if it did not.
    Journal(JournalRecord::MakeBackup(path, backup));
    if (calls.MoveFileExA(path.c_str(), backup.c_str(), MOVEFILE_WRITE_THROUGH))
        return;
    error = GetLastError();
    if (!Exists(path, &error))
        return;

    // In use, or on another volume: a copy is kept, whole and on disk before
    // the file goes, now or at the restart.
    const std::string copy = backup + ".copy";
    Journal(JournalRecord::MakeEntry(copy, JOURNAL_FILE));
    if (!calls.CopyFileA(path.c_str(), copy.c_str(), FALSE))
        ThrowAt(LOC_REMOVE_FILE, GetLastError());
    fw::CFileHandle file(calls.CreateFileA(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !calls.FlushFileBuffers(file.get()))
        ThrowAt(LOC_REMOVE_FILE, GetLastError());
    file.reset();
    Journal(JournalRecord::MakeBackup(path, copy));
    if (calls.DeleteFileA(path.c_str()) || Gone(GetLastError()))
        return;
    // Still there until the restart: a rollback only deletes the copy and
    // calls the deletion off.
    Journal(JournalRecord::MakeTarget(RecordKind::TargetDeferred, path));
    ScheduleRenames({DeletePair(path)}, LOC_REMOVE_FILE, RenameRole::Removal);
    SetRestartRequired();
}

void CInstaller::RemoveInstalledDirectory(const std::string& path)
{
    DWORD error = 0;
    if (!Exists(path, &error)) {
        if (Gone(error))
            return;
        ThrowAt(LOC_REMOVE_DIRECTORY, error);
    }
    WriteLog(LOG_REMOVE_DIRECTORY, path.c_str());
    Journal(JournalRecord::MakeText(RecordKind::DirectoryRemoved, path));
    if (EngineCalls().RemoveDirectoryA(path.c_str()))
        return;
    error = GetLastError();
    if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_SHARING_VIOLATION)
        ThrowAt(LOC_REMOVE_DIRECTORY, error);
    // What goes at the restart goes before its folder; anything else in it
    // is the user's, and the folder stays for it.
    const std::u16string inside = RenamePath(path) + u"\\";
    bool goesAtRestart = false;
    for (const RenamePair& pair : m_removals)
        goesAtRestart = goesAtRestart || pair.source.compare(0, inside.size(), inside) == 0;
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(EngineCalls().FindFirstFileA((path + "\\*").c_str(), &found));
    bool userFiles = false;
    if (search) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            const RenamePair own = DeletePair(path + "\\" + name);
            bool scheduled = false;
            for (const RenamePair& pair : m_removals)
                scheduled = scheduled || pair == own;
            userFiles = userFiles || !scheduled;
        } while (EngineCalls().FindNextFileA(search.get(), &found));
    }
    if (goesAtRestart && !userFiles) {
        ScheduleRenames({DeletePair(path)}, LOC_REMOVE_DIRECTORY, RenameRole::Removal);
        SetRestartRequired();
        return;
    }
    WriteLog(LOG_FOLDER_KEPT, path.c_str());
}

void CInstaller::RemoveRegistryKey(const std::string& subkey)
{
    std::vector<SavedRegistryValue> values;
    if (!ReadKeyValues(subkey, &values, LOC_REMOVE_KEY))
        return;
    WriteLog(LOG_REMOVE_KEY, subkey.c_str());
    if (m_savedServiceValues.count(subkey) == 0)
        Journal(JournalRecord::MakeKeySaved(subkey, values));
    const std::u16string key = Widen(subkey);
    const LONG result = EngineCalls().RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(key));
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        ThrowAt(LOC_REMOVE_KEY, static_cast<DWORD>(result));
}

void CInstaller::JournalFirewallRemoval(const FirewallChange& change)
{
    Journal(JournalRecord::MakeFirewallRemoved(change));
}

void CInstaller::RestoreRemovedDirectories() noexcept
{
    // Outer folders first: they sort before what lies inside them.
    for (const std::string& path : m_removedDirectories) {
        if (!EngineCalls().CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            RollbackStepFailed("RestoreDirectory", path, GetLastError());
    }
}

void CInstaller::CancelScheduledRemovals() noexcept
{
    if (m_removals.empty())
        return;
    const std::vector<RenamePair> removals = m_removals;
    const DWORD error = CancelRenames(removals);
    if (error != ERROR_SUCCESS) {
        for (const RenamePair& pair : removals)
            RollbackStepFailed("CancelRemoval", Narrow(pair.source), error);
        SetRestartRequired();
    }
}

void CInstaller::RecreateRemovedServices() noexcept
{
    EnginePlatformCalls& calls = EngineCalls();
    for (const std::string& name : m_removedServices) {
        WriteLog(LOG_RESTORE_SERVICE, name.c_str());
        fw::CServiceHandle existing(calls.OpenServiceA(m_hSCManager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (existing)
            continue;
        const auto saved = m_savedServiceValues.find(SERVICES_KEY + name);
        if (saved == m_savedServiceValues.end()) {
            RollbackStepFailed("RestoreService", name, ERROR_NOT_FOUND);
            continue;
        }
        const std::vector<SavedRegistryValue>& values = saved->second;
        // Made again with what the Service Control Manager needs; the key's
        // every value is put back after, by the registry's restore.
        const std::u16string wideName = Widen(name);
        const std::u16string display = TextValue(values, u"DisplayName");
        const std::u16string image = TextValue(values, u"ImagePath");
        const std::u16string group = TextValue(values, u"Group");
        fw::CServiceHandle created(
            reinterpret_cast<SC_HANDLE>(calls.CreateServiceW(m_hSCManager.get(), Wide(wideName),
                                                       display.empty() ? Wide(wideName) : Wide(display),
                                                       SERVICE_FULL_ACCESS,
                                                       DwordValue(values, u"Type", SERVICE_WIN32_OWN_PROCESS),
                                                       DwordValue(values, u"Start", SERVICE_DEMAND_START),
                                                       DwordValue(values, u"ErrorControl", SERVICE_ERROR_NORMAL),
                                                       Wide(image), group.empty() ? nullptr : Wide(group), nullptr,
                                                       nullptr, nullptr, nullptr)));
        if (!created)
            RollbackStepFailed("RestoreService", name, GetLastError());
    }
}

void CInstaller::RestoreRemovedPackages() noexcept
{
    for (const auto& package : m_removedPackages) {
        WriteLog(LOG_RESTORE_PACKAGE, package.first.c_str());
        DWORD error = 0;
        if (Exists(package.first, &error))
            continue;
        char published[MAX_PATH] = {};
        DWORD required = 0;
        if (!EngineCalls().SetupCopyOEMInfA(package.second.c_str(), nullptr, SPOST_NONE, SP_COPY_NOOVERWRITE, published,
                                            MAX_PATH, &required, nullptr) &&
            GetLastError() != ERROR_FILE_EXISTS)
            RollbackStepFailed("RestorePackage", package.first, GetLastError());
    }
}

void CInstaller::RecreateRemovedDevices() noexcept
{
    for (const auto& device : m_removedDevices) {
        WriteLog(LOG_RESTORE_DEVICE, device.first.c_str());
        DWORD error = 0;
        const DeviceSearch search = FindDeviceByHardwareId(device.first, &error);
        if (search == DeviceSearch::Found)
            continue;
        if (search == DeviceSearch::Failed || device.second.empty()) {
            RollbackStepFailed("RestoreDevice", device.first, search == DeviceSearch::Failed ? error : ERROR_NOT_FOUND);
            continue;
        }
        BOOL restart = FALSE;
        std::unique_ptr<CExceptionEx> failure = CreateRootDevice(device.first, device.second, &restart);
        if (failure)
            RollbackStepFailed("RestoreDevice", device.first, failure->code);
        else if (restart)
            SetRestartRequired();
    }
}

void CInstaller::RestartStoppedServices() noexcept
{
    EnginePlatformCalls& calls = EngineCalls();
    // In the order they were stopped: the product's own service first.
    for (const std::string& name : m_stoppedServices) {
        WriteLog(LOG_RESTART_SERVICE, name.c_str());
        fw::CServiceHandle service(
            calls.OpenServiceA(m_hSCManager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_START));
        if (!service) {
            RollbackStepFailed("RestartService", name, GetLastError());
            continue;
        }
        if (!IsActive(service.get()) && !calls.StartServiceA(service.get(), 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            RollbackStepFailed("RestartService", name, GetLastError());
    }
}

void CInstaller::CommitUninstall()
{
    Journal(JournalRecord::MakeCommitted());
    EnginePlatformCalls& calls = EngineCalls();
    // The backups and the package copies: nothing needs them any more. One
    // still in use (a running program that was moved aside) goes at the
    // restart, and its folder after it.
    std::vector<std::string> leftovers;
    for (const auto& backup : m_backups)
        leftovers.push_back(backup.second);
    for (const auto& entry : m_journal) {
        if (entry.second == JOURNAL_FILE)
            leftovers.push_back(entry.first);
    }
    bool leftAtRestart = false;
    for (const std::string& file : leftovers) {
        // The uninstaller's own program still runs: it is left in the
        // uninstaller's folder, which goes at the restart without asking for it.
        if (!calls.DeleteFileA(file.c_str()) && !Gone(GetLastError()) && !InsideFolder(file, m_uninstallerFolder))
            leftAtRestart = DeleteAtRestart(file, false) || leftAtRestart;
    }
    for (auto entry = m_journal.rbegin(); entry != m_journal.rend(); ++entry) {
        if (entry->second == JOURNAL_DIRECTORY && !calls.RemoveDirectoryA(entry->first.c_str()) &&
            !Gone(GetLastError()))
            leftAtRestart = DeleteAtRestart(entry->first, false) || leftAtRestart;
    }
    m_backups.clear();
    m_deferredOnly.clear();
    // Files that go at the restart keep the record of this uninstall until
    // then: no later run of the product may start before them.
    if (m_pJournalFile && m_removals.empty()) {
        const size_t slash = m_pJournalFile->Path().find_last_of('\\');
        if (leftAtRestart && slash != std::string::npos)
            DeleteAtRestart(m_pJournalFile->Path().substr(0, slash), false);
        DWORD error = 0;
        if (!m_pJournalFile->Remove(&error))
            WriteLog("Warning: Journal not removed: ", m_pJournalFile->Path().c_str());
    } else if (m_pJournalFile) {
        // The record keeps every run out until those files are gone; the
        // same restart then takes it and its folder, after them.
        const std::string& path = m_pJournalFile->Path();
        const size_t slash = path.find_last_of('\\');
        if (slash != std::string::npos)
            DeleteLeftoversAtRestart({path, path.substr(0, slash)});
    }
    m_runBegun = false;
}

void CInstaller::SetRunningUninstaller(const std::string& program, const std::string& folder)
{
    m_uninstallerProgram = program;
    m_uninstallerFolder = folder;
}
