#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/PlatformCalls.h"

#include <cstring>
#include <newdev.h>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_DEVICE_SEARCH = 1770;
constexpr int LOC_STORE_STATE = 1775;
constexpr int LOC_DRIVER_KEY = 1778;
constexpr int LOC_INF_CLASS = 1785;
constexpr int LOC_DEVICE_LIST = 1795;
constexpr int LOC_DEVICE_ELEMENT = 1812;
constexpr int LOC_HARDWARE_ID = 1825;
constexpr int LOC_REGISTER_DEVICE = 1837;
constexpr int LOC_DRIVER_NEW_DEVICE = 1855;
constexpr int LOC_DRIVER_UPDATE = 1895;
constexpr int LOC_SERVICE_QUERY = 1902;
constexpr int LOC_SAVE_DRIVER_KEY = 1908;

constexpr DWORD PRESENT_DEVICES = DIGCF_PRESENT | DIGCF_ALLCLASSES;
constexpr DWORD CLASS_NAME_SIZE = 32;
// The property's size only changes when the device changes under us; a
// device that keeps doing so ends the search rather than the setup.
constexpr int HARDWARE_ID_READ_ATTEMPTS = 8;
constexpr DWORD DRIVER_KEY_NAME_SIZE = 256;
constexpr DWORD INF_NAME_UNITS = MAX_PATH;

const char* const LOG_INSTALL_WDM = "Install WDM Driver: ";
const char* const LOG_UNINSTALL_WDM = "Uninstall WDM Driver: ";
const char* const LOG_UNINSTALL_PACKAGE = "Uninstall Driver Package: ";
const char* const LOG_PACKAGE_STAYS = "Warning: Driver package can't be removed!";

// Where the driver store keeps INFs (below the Windows folder) and the
// catalogs that come with them (below the system folder).
const char* const INF_FOLDER = "\\inf";
const char* const CATALOG_FOLDER = "\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
const char* const CLASS_KEY = "System\\CurrentControlSet\\Control\\Class\\";
const wchar_t* const INF_PATH_VALUE = L"InfPath";

enum class IdRead { Read, NoIds, Failed };

// Reads the device's hardware-id multi-string into a zeroed LocalAlloc buffer.
IdRead ReadHardwareIds(HDEVINFO devices, SP_DEVINFO_DATA* device, fw::CLocalMem* buffer, DWORD* size)
{
    buffer->reset();
    *size = 0;
    for (int attempt = 0; attempt < HARDWARE_ID_READ_ATTEMPTS; ++attempt) {
        DWORD required = 0;
        if (EngineCalls().SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_HARDWAREID, nullptr,
                                                            static_cast<BYTE*>(buffer->get()), *size, &required))
            return IdRead::Read;
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA)
            return IdRead::NoIds;
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return IdRead::Failed;
        buffer->reset(LocalAlloc(LPTR, required));
        if (!*buffer)
            return IdRead::Failed;
        *size = required;
    }
    return IdRead::Failed;
}

// Whether one entry of the multi-string equals the wanted id byte for byte.
// The walk never reads past the returned size, terminated or not.
bool HasHardwareId(const char* ids, DWORD size, const std::string& wanted)
{
    const char* const end = ids + size;
    while (ids < end && *ids != '\0') {
        const char* zero = static_cast<const char*>(memchr(ids, '\0', static_cast<size_t>(end - ids)));
        const size_t length = zero ? static_cast<size_t>(zero - ids) : static_cast<size_t>(end - ids);
        if (length == wanted.size() && memcmp(ids, wanted.data(), length) == 0)
            return true;
        ids += length + 1;
    }
    return false;
}

// Calls onMatch(devices, device) for every present device that carries the
// id, in enumeration order, until it returns false. True when the walk ended
// there or went through every device; false, with the error, when the list
// could not be had or a device could not be read.
template <typename OnMatch>
bool ForEachDeviceWithId(const std::string& hardwareId, OnMatch onMatch, DWORD* error = nullptr)
{
    DWORD ignored = 0;
    DWORD& failure = error ? *error : ignored;
    EnginePlatformCalls& calls = EngineCalls();
    CEngineDevInfoList devices(calls.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, PRESENT_DEVICES));
    if (!devices) {
        failure = GetLastError();
        return false;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    fw::CLocalMem ids;
    DWORD size = 0;
    for (DWORD index = 0;; ++index) {
        if (!calls.SetupDiEnumDeviceInfo(devices.get(), index, &device)) {
            failure = GetLastError();
            return failure == ERROR_NO_MORE_ITEMS;
        }
        const IdRead read = ReadHardwareIds(devices.get(), &device, &ids, &size);
        if (read == IdRead::Failed) {
            failure = GetLastError();
            return false;
        }
        if (read == IdRead::NoIds || !HasHardwareId(static_cast<const char*>(ids.get()), size, hardwareId))
            continue;
        if (!onMatch(devices.get(), &device))
            return true;
    }
}

std::string Upper(std::string text)
{
    CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path with its extension (from the last dot of its name) replaced.
std::string WithExtension(const std::string& path, const char* extension)
{
    const size_t slash = path.find_last_of("\\/");
    const size_t dot = path.find_last_of('.');
    const std::string stem = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                 ? path
                                 : path.substr(0, dot);
    return stem + extension;
}

// The folder `kind` names (Windows or system folder); throws at `location`.
std::string KnownFolder(bool windows, int location, const CInstaller& engine,
                        void (CInstaller::*thrower)(int, DWORD) const)
{
    char buffer[MAX_PATH] = {};
    const UINT length = windows ? EngineCalls().GetWindowsDirectoryA(buffer, MAX_PATH)
                                : EngineCalls().GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        (engine.*thrower)(location, length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
    return std::string(buffer, length);
}

enum class Exists { No, Yes, Unknown };

// The path with its last part as the folder has it on disk (the store's
// catalog folder is made in lower case under Wine): journal keys compare
// case-sensitively, so one name must stand for it throughout. As given when
// it is not there (or cannot be looked at).
std::string ActualName(const std::string& path)
{
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(EngineCalls().FindFirstFileA(path.c_str(), &found));
    if (!search)
        return path;
    return path.substr(0, path.find_last_of('\\') + 1) + found.cFileName;
}

Exists PathExists(const std::string& path, DWORD* error)
{
    if (EngineCalls().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return Exists::Yes;
    *error = GetLastError();
    return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? Exists::No : Exists::Unknown;
}

}  // namespace

CInstaller::ServiceState CInstaller::QueryServiceExists(const std::string& name, int location)
{
    if (!m_hSCManager)
        ThrowAt(location, ERROR_INVALID_HANDLE);
    fw::CServiceHandle service(EngineCalls().OpenServiceA(m_hSCManager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (service)
        return ServiceState::Present;
    const DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        ThrowAt(location, error);
    return ServiceState::Absent;
}

CInstaller::DeviceSearch CInstaller::FindDeviceByHardwareId(const std::string& hardwareId, DWORD* error)
{
    bool found = false;
    const bool completed = ForEachDeviceWithId(
        hardwareId,
        [&found](HDEVINFO, SP_DEVINFO_DATA*) {
            found = true;
            return false;
        },
        error);
    if (found)
        return DeviceSearch::Found;
    // Only a search that went through every device may say there is none.
    return completed ? DeviceSearch::Absent : DeviceSearch::Failed;
}

void CInstaller::SaveDeviceDriverKeys(const std::string& hardwareId)
{
    // A driver update rewrites the device's driver key (which INF, which
    // section); the rollback puts the old one back.
    std::vector<std::string> keys;
    DWORD error = 0;
    DWORD readError = ERROR_SUCCESS;
    const bool completed = ForEachDeviceWithId(
        hardwareId,
        [&keys, &readError](HDEVINFO devices, SP_DEVINFO_DATA* device) {
            char driverKey[DRIVER_KEY_NAME_SIZE] = {};
            if (!EngineCalls().SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_DRIVER, nullptr,
                                                                 reinterpret_cast<BYTE*>(driverKey),
                                                                 sizeof driverKey - 1, nullptr)) {
                // A device without a driver has no key to keep.
                const DWORD failure = GetLastError();
                if (failure != ERROR_INVALID_DATA)
                    readError = failure;
                return readError == ERROR_SUCCESS;
            }
            if (driverKey[0] != '\0')
                keys.push_back(CLASS_KEY + std::string(driverKey));
            return true;
        },
        &error);
    if (readError != ERROR_SUCCESS)
        ThrowAt(LOC_SAVE_DRIVER_KEY, readError);
    if (!completed)
        ThrowAt(LOC_SAVE_DRIVER_KEY, error);
    for (const std::string& key : keys)
        SaveRegistryValues(key, LOC_SAVE_DRIVER_KEY);
}

CInstaller::StoreState CInstaller::ReadStoreState(const std::string& infPath, bool listInfs, int location)
{
    StoreState state;
    char catalog[MAX_PATH] = {};
    EngineCalls().GetPrivateProfileStringA("Version", "CatalogFile", "", catalog, MAX_PATH, infPath.c_str());
    if (strpbrk(catalog, "\\/:") == nullptr)
        state.catalogName = catalog;

    const std::string catalogs = KnownFolder(false, location, *this, &CInstaller::ThrowAt) + CATALOG_FOLDER;
    state.catalogFolder = ActualName(catalogs);
    DWORD error = 0;
    Exists exists = PathExists(catalogs, &error);
    if (exists == Exists::Unknown)
        ThrowAt(location, error);
    state.catalogFolderExisted = exists == Exists::Yes;
    if (!state.catalogName.empty() && state.catalogFolderExisted) {
        exists = PathExists(state.catalogFolder + "\\" + state.catalogName, &error);
        if (exists == Exists::Unknown)
            ThrowAt(location, error);
        state.catalogExisted = exists == Exists::Yes;
    }

    if (listInfs) {
        // Only to tell whether the INF a device install names was there
        // before: nothing of this listing is ever journaled.
        const std::string infs = KnownFolder(true, location, *this, &CInstaller::ThrowAt) + INF_FOLDER;
        WIN32_FIND_DATAA found;
        fw::CFindHandle search(EngineCalls().FindFirstFileA((infs + "\\*.inf").c_str(), &found));
        if (!search) {
            error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND)
                ThrowAt(location, error);
        } else {
            do {
                state.infNames.insert(Upper(found.cFileName));
            } while (EngineCalls().FindNextFileA(search.get(), &found));
            error = GetLastError();
            if (error != ERROR_NO_MORE_FILES)
                ThrowAt(location, error);
        }
    }
    return state;
}

void CInstaller::BackupStoredCatalog(const StoreState& state)
{
    // Wine stores a package's catalog under the INF's CatalogFile name and
    // overwrites one of that name in place.
    if (!state.catalogExisted)
        return;
    BackupFile(state.catalogName, state.catalogFolder);
}

void CInstaller::JournalStoredPackage(const std::string& publishedInf, const StoreState& before)
{
    // The package itself: removing it from the store takes what belongs to
    // it along. Its compiled form and its catalog are journaled as files, so
    // that whatever the removal leaves goes as well. Nothing here asks the
    // system anything that could fail once the package is in the store: a
    // file journaled that never came is simply not there to delete.
    // A recovery finishes what a run ended part-way through left: what is
    // journaled already is not journaled again.
    const auto journal = [this](const std::string& path, int32_t kind) {
        if (m_journal.count(path) == 0)
            Journal(JournalRecord::MakeEntry(path, kind));
    };
    journal(publishedInf, JOURNAL_DRIVER_PACKAGE);
    journal(WithExtension(publishedInf, ".pnf"), JOURNAL_FILE);

    // The catalog folder under the name the store gave it (Wine makes it in
    // lower case), so that putting it back makes it as it was.
    const std::string catalogs = ActualName(before.catalogFolder);
    // Wine keeps the INF's own name for the catalog; one that was there
    // before was backed up and is not the package's.
    // A catalog that is certainly not there is left out; one the question
    // fails for is journaled all the same.
    DWORD error = 0;
    const auto mayBeThere = [&error](const std::string& path) { return PathExists(path, &error) != Exists::No; };
    const std::string own = before.catalogName.empty() ? std::string() : catalogs + "\\" + before.catalogName;
    if (!own.empty() && !before.catalogExisted && mayBeThere(own))
        journal(own, JOURNAL_FILE);
    // Windows names it after the published INF (oemNN.cat).
    const std::string published = catalogs + "\\" + WithExtension(FileNameOf(publishedInf), ".cat");
    if (Upper(published) != Upper(own) && mayBeThere(published))
        journal(published, JOURNAL_FILE);
    if (!before.catalogFolderExisted)
        journal(catalogs, JOURNAL_DIRECTORY);
}

void CInstaller::JournalPackageIntent(const std::string& infPath, const std::string& hardwareId,
                                      const StoreState& before)
{
    const std::vector<std::string> names(before.infNames.begin(), before.infNames.end());
    Journal(JournalRecord::MakePackageIntent(infPath, hardwareId, names, before.catalogName, before.catalogExisted,
                                             before.catalogFolderExisted));
}

void CInstaller::ResolvePackageIntents() noexcept
{
    std::vector<std::string> infs;
    for (const auto& intent : m_packageIntents)
        infs.push_back(intent.first);
    for (const std::string& inf : infs) {
        try {
            const PackageIntent intent = m_packageIntents.at(inf);
            std::string published;
            if (!intent.hardwareId.empty()) {
                try {
                    published = InstalledInfOf(intent.hardwareId);
                } catch (CExceptionEx* e) {
                    delete e;  // no device to ask: the store is asked instead
                }
            }
            if (published.empty()) {
                // The store names a package it holds for the INF; one it did
                // not hold yet it takes now, and that goes as well.
                char name[MAX_PATH] = {};
                DWORD required = 0;
                const BOOL copied = EngineCalls().SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_NONE,
                                                                   SP_COPY_NOOVERWRITE, name, MAX_PATH, &required,
                                                                   nullptr);
                const DWORD error = GetLastError();
                if ((!copied && error != ERROR_FILE_EXISTS) || required == 0 || required > MAX_PATH) {
                    RollbackStepFailed("ResolvePackage", inf, copied ? ERROR_INVALID_DATA : error);
                    continue;
                }
                published = name;
            }
            if (intent.before.infNames.count(Upper(FileNameOf(published))) == 0) {
                StoreState before = intent.before;
                before.catalogFolder =
                    ActualName(KnownFolder(false, LOC_STORE_STATE, *this, &CInstaller::ThrowAt) + CATALOG_FOLDER);
                JournalStoredPackage(published, before);
            }
            Journal(JournalRecord::MakePackageResolved(inf));
        } catch (CExceptionEx* e) {
            RollbackStepFailed("ResolvePackage", inf, e->code);
            delete e;
        } catch (...) {
            RollbackStepFailed("ResolvePackage", inf, ERROR_NOT_ENOUGH_MEMORY);
        }
    }
}

std::string CInstaller::InstalledInfOf(const std::string& hardwareId)
{
    // The driver key of the first device with the id names the INF the
    // driver install took, by its name in the store.
    std::string driverKey;
    DWORD error = 0;
    DWORD readError = ERROR_SUCCESS;
    const bool completed = ForEachDeviceWithId(
        hardwareId,
        [&driverKey, &readError](HDEVINFO devices, SP_DEVINFO_DATA* device) {
            char key[DRIVER_KEY_NAME_SIZE] = {};
            if (!EngineCalls().SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_DRIVER, nullptr,
                                                                 reinterpret_cast<BYTE*>(key), sizeof key - 1,
                                                                 nullptr))
                readError = GetLastError();
            else
                driverKey = key;
            return false;
        },
        &error);
    if (!completed)
        ThrowAt(LOC_DRIVER_KEY, error);
    if (readError != ERROR_SUCCESS)
        ThrowAt(LOC_DRIVER_KEY, readError);
    if (driverKey.empty())
        ThrowAt(LOC_DRIVER_KEY, ERROR_NOT_FOUND);

    EnginePlatformCalls& calls = EngineCalls();
    fw::CRegKey key;
    const std::u16string subkey = Widen(CLASS_KEY + driverKey);
    LONG result = calls.RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(subkey.c_str()), 0,
                                      KEY_QUERY_VALUE, key.put());
    if (result != ERROR_SUCCESS)
        ThrowAt(LOC_DRIVER_KEY, static_cast<DWORD>(result));
    wchar_t inf[INF_NAME_UNITS + 1] = {};
    DWORD size = INF_NAME_UNITS * sizeof(wchar_t);
    DWORD type = 0;
    result = calls.RegQueryValueExW(key.get(), INF_PATH_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(inf), &size);
    if (result != ERROR_SUCCESS)
        ThrowAt(LOC_DRIVER_KEY, static_cast<DWORD>(result));
    const std::string name = Narrow(std::u16string(reinterpret_cast<const char16_t*>(inf)));
    if (name.empty() || name.find_first_of("\\/:") != std::string::npos)
        ThrowAt(LOC_DRIVER_KEY, ERROR_INVALID_DATA);
    return KnownFolder(true, LOC_DRIVER_KEY, *this, &CInstaller::ThrowAt) + INF_FOLDER + "\\" + name;
}

std::unique_ptr<CExceptionEx> CInstaller::CreateRootDevice(const std::string& hardwareId,
                                                           const std::string& infPath, BOOL* restart)
{
    EnginePlatformCalls& calls = EngineCalls();

    GUID classGuid{};
    char className[CLASS_NAME_SIZE] = {};
    if (!calls.SetupDiGetINFClassA(infPath.c_str(), &classGuid, className, CLASS_NAME_SIZE, nullptr))
        return ErrorAt(LOC_INF_CLASS, GetLastError());

    CEngineDevInfoList devices(calls.SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!devices)
        return ErrorAt(LOC_DEVICE_LIST, GetLastError());

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!calls.SetupDiCreateDeviceInfoA(devices.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                        &device))
        return ErrorAt(LOC_DEVICE_ELEMENT, GetLastError());

    // A multi-string of one entry: the id and two zero bytes.
    std::string idList = hardwareId;
    idList.append(2, '\0');
    if (!calls.SetupDiSetDeviceRegistryPropertyA(devices.get(), &device, SPDRP_HARDWAREID,
                                                 reinterpret_cast<const BYTE*>(idList.data()),
                                                 static_cast<DWORD>(idList.size())))
        return ErrorAt(LOC_HARDWARE_ID, GetLastError());

    if (!calls.SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices.get(), &device))
        return ErrorAt(LOC_REGISTER_DEVICE, GetLastError());

    if (!calls.UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId.c_str(), infPath.c_str(),
                                                  INSTALLFLAG_FORCE, restart)) {
        std::unique_ptr<CExceptionEx> error = ErrorAt(LOC_DRIVER_NEW_DEVICE, GetLastError());
        // A registered device without its driver would be found, and only
        // updated, by the next attempt. It goes with the failure; should it
        // stay, the journal still names it and the rollback removes it.
        calls.SetupDiCallClassInstaller(DIF_REMOVE, devices.get(), &device);
        return error;
    }
    return nullptr;
}

void CInstaller::InstallWdmDriver(const std::string& serviceName, const std::string& infPath,
                                  const std::string& hardwareId)
{
    WriteLog(LOG_INSTALL_WDM, hardwareId.c_str());

    DWORD searchError = 0;
    const DeviceSearch search = FindDeviceByHardwareId(hardwareId, &searchError);
    if (search == DeviceSearch::Failed)
        ThrowAt(LOC_DEVICE_SEARCH, searchError);

    // The driver install registers the INF's service and adds the package to
    // the store on its own: what was there before is saved, what it makes is
    // journaled before it can be made.
    if (QueryServiceExists(serviceName, LOC_SERVICE_QUERY) == ServiceState::Present)
        SaveServiceRegistry(serviceName);
    else
        Journal(JournalRecord::MakeEntry(serviceName, JOURNAL_SERVICE));
    const StoreState before = ReadStoreState(infPath, true, LOC_STORE_STATE);
    // The backup of a stored catalog lands in the store.
    BackupStoredCatalog(before);
    JournalPackageIntent(infPath, hardwareId, before);

    BOOL restart = FALSE;
    if (search == DeviceSearch::Absent) {
        // Journaled before it exists: a device a failed creation leaves
        // behind still goes with the rollback.
        Journal(JournalRecord::MakeEntry(hardwareId, JOURNAL_PNP_DEVICE));
        std::unique_ptr<CExceptionEx> error = CreateRootDevice(hardwareId, infPath, &restart);
        if (error)
            throw error.release();
    } else {
        // A device that was there before stays after a rollback, with the
        // driver settings it had.
        const auto journaled = m_journal.find(hardwareId);
        if (journaled == m_journal.end() || journaled->second != JOURNAL_PNP_DEVICE)
            SaveDeviceDriverKeys(hardwareId);
        if (!EngineCalls().UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId.c_str(), infPath.c_str(),
                                                              INSTALLFLAG_FORCE, &restart))
            ThrowAt(LOC_DRIVER_UPDATE, GetLastError());
    }

    // The package the install took is the one the device's driver key names;
    // it is this run's only when the store did not have it before.
    const std::string installed = InstalledInfOf(hardwareId);
    if (before.infNames.count(Upper(FileNameOf(installed))) == 0 && m_journal.count(installed) == 0)
        JournalStoredPackage(installed, before);
    Journal(JournalRecord::MakePackageResolved(infPath));

    if (restart)
        SetRestartRequired();
}

void CInstaller::UninstallWdmDriver(const std::string& hardwareId) noexcept
{
    WriteLog(LOG_UNINSTALL_WDM, hardwareId.c_str());
    EnginePlatformCalls& calls = EngineCalls();
    DWORD removeError = ERROR_SUCCESS;
    bool restart = false;
    DWORD searchError = 0;
    const bool completed = ForEachDeviceWithId(
        hardwareId,
        [&](HDEVINFO devices, SP_DEVINFO_DATA* device) {
            if (!calls.SetupDiCallClassInstaller(DIF_REMOVE, devices, device)) {
                removeError = GetLastError();
                return true;
            }
            // A device that only goes at the restart says so in its install
            // parameters; one that is gone already has none to read.
            SP_DEVINSTALL_PARAMS_A params{};
            params.cbSize = sizeof params;
            if (calls.SetupDiGetDeviceInstallParamsA(devices, device, &params) &&
                (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)) != 0)
                restart = true;
            return true;
        },
        &searchError);
    if (!completed)
        RollbackStepFailed("UninstallWdmDriver", hardwareId, searchError);
    if (removeError != ERROR_SUCCESS)
        RollbackStepFailed("UninstallWdmDriver", hardwareId, removeError);
    if (restart)
        SetRestartRequired();
}

int CInstaller::CopyOemInf(const std::string& infPath)
{
    StoreState before;
    // A failed look at the store or backup is this operation's failure:
    // without them the store could not be put back.
    try {
        before = ReadStoreState(infPath, true, LOC_STORE_STATE);
        BackupStoredCatalog(before);
        JournalPackageIntent(infPath, std::string(), before);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> dropped(e);
        SetLastError(dropped->code);
        return 0;
    }
    char published[MAX_PATH] = {};
    DWORD required = 0;
    // Never over a package of the store: a copy it has already is named, and
    // is not this run's.
    const BOOL copied = EngineCalls().SetupCopyOEMInfA(infPath.c_str(),
                                                      nullptr,  // no source media location
                                                      SPOST_NONE, SP_COPY_NOOVERWRITE, published, MAX_PATH,
                                                      &required, nullptr);
    const DWORD error = GetLastError();
    if (!copied && error != ERROR_FILE_EXISTS) {
        SetLastError(error);
        return 0;
    }
    if (required == 0 || required > MAX_PATH || published[0] == '\0') {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    try {
        // A package the store had already is not this run's.
        if (copied)
            JournalStoredPackage(published, before);
        Journal(JournalRecord::MakePackageResolved(infPath));
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> dropped(e);
        SetLastError(dropped->code);
        return 0;
    }
    return 1;
}

void CInstaller::UninstallDriverPackage(const std::string& storedInfPath) noexcept
{
    WriteLog(LOG_UNINSTALL_PACKAGE, storedInfPath.c_str());
    const std::string name = FileNameOf(storedInfPath);
    // Forced: the devices of this run that used it are gone already, and a
    // device that was there before gets its old driver settings back.
    if (EngineCalls().SetupUninstallOEMInfA(name.c_str(), SUOI_FORCEDELETE, nullptr))
        return;
    const DWORD error = GetLastError();
    DWORD probeError = 0;
    if (PathExists(storedInfPath, &probeError) == Exists::No)
        return;
    WriteLog(LOG_PACKAGE_STAYS);
    RollbackStepFailed("UninstallDriverPackage", name, error);
}

void CInstaller::UninstallCreatedDrivers() noexcept
{
    ResolvePackageIntents();
    // In key order: hardware ids ("*...") first, then the store's packages
    // (full paths), then service names, so that nothing is removed while
    // something of this run still uses it.
    for (const auto& entry : m_journal) {
        if (entry.second == JOURNAL_SERVICE)
            UninstallService(entry.first);
        else if (entry.second == JOURNAL_PNP_DEVICE)
            UninstallWdmDriver(entry.first);
        else if (entry.second == JOURNAL_DRIVER_PACKAGE)
            UninstallDriverPackage(entry.first);
    }
}

void CInstaller::TakeOverService(const std::string& name)
{
    if (QueryServiceExists(name, LOC_SERVICE_QUERY) == ServiceState::Present)
        Journal(JournalRecord::MakeEntry(name, JOURNAL_SERVICE));
}

void CInstaller::TakeOverDevice(const std::string& hardwareId, const std::string& infPath)
{
    DWORD error = 0;
    const DeviceSearch search = FindDeviceByHardwareId(hardwareId, &error);
    if (search == DeviceSearch::Failed)
        ThrowAt(LOC_DEVICE_SEARCH, error);
    if (search == DeviceSearch::Absent)
        return;
    Journal(JournalRecord::MakeEntry(hardwareId, JOURNAL_PNP_DEVICE));
    // As an installation's record does, it names the INF the device is made
    // from: an uninstall that is undone makes the device again from it.
    if (PathExists(infPath, &error) == Exists::Yes) {
        JournalPackageIntent(infPath, hardwareId, StoreState());
        Journal(JournalRecord::MakePackageResolved(infPath));
    }
    const std::string installed = InstalledInfOf(hardwareId);
    if (m_journal.count(installed) != 0)
        return;
    // The stored INF names its catalog; the catalog folder is the system's.
    StoreState state;
    char catalog[MAX_PATH] = {};
    EngineCalls().GetPrivateProfileStringA("Version", "CatalogFile", "", catalog, MAX_PATH, installed.c_str());
    if (strpbrk(catalog, "\\/:") == nullptr)
        state.catalogName = catalog;
    state.catalogFolderExisted = true;
    state.catalogFolder = ActualName(KnownFolder(false, LOC_STORE_STATE, *this, &CInstaller::ThrowAt) + CATALOG_FOLDER);
    JournalStoredPackage(installed, state);
}
