#include "engine/Installer.h"

#include "engine/PlatformCalls.h"

#include <cstring>
#include <newdev.h>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_DEVICE_SEARCH = 1770;
constexpr int LOC_INF_CLASS = 1785;
constexpr int LOC_DEVICE_LIST = 1795;
constexpr int LOC_DEVICE_ELEMENT = 1812;
constexpr int LOC_HARDWARE_ID = 1825;
constexpr int LOC_REGISTER_DEVICE = 1837;
constexpr int LOC_DRIVER_NEW_DEVICE = 1855;
constexpr int LOC_DRIVER_UPDATE = 1895;

constexpr DWORD PRESENT_DEVICES = DIGCF_PRESENT | DIGCF_ALLCLASSES;
constexpr DWORD CLASS_NAME_SIZE = 32;
// The property's size only changes when the device changes under us; a
// device that keeps doing so ends the search rather than the setup.
constexpr int HARDWARE_ID_READ_ATTEMPTS = 8;

const char* const LOG_INSTALL_WDM = "Install WDM Driver: ";
const char* const LOG_UNINSTALL_WDM = "Uninstall WDM Driver: ";
const char* const LOG_UNINSTALL_PACKAGE = "Uninstall Driver Package: ";
const char* const LOG_PACKAGE_STAYS = "Warning: Driver package can't be removed!";

// Where the driver store keeps INFs (below the Windows folder) and the
// catalogs that come with them (below the system folder).
const char* const INF_FOLDER = "\\inf";
const char* const CATALOG_FOLDER = "\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
const char* const CLASS_KEY = "System\\CurrentControlSet\\Control\\Class\\";
constexpr DWORD DRIVER_KEY_NAME_SIZE = 256;

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

bool EndsWith(const std::string& text, const char* suffix)
{
    const size_t length = strlen(suffix);
    return text.size() >= length &&
           lstrcmpiA(text.c_str() + text.size() - length, suffix) == 0;
}

// False when the folder is not there.
bool AddFolderFiles(const std::string& folder, PathSet* files)
{
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!search)
        return false;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            files->insert(folder + "\\" + found.cFileName);
    } while (FindNextFileA(search.get(), &found));
    return true;
}

std::string WindowsFolder()
{
    char buffer[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : std::string(buffer, length);
}

std::string SystemFolder()
{
    char buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::string() : std::string(buffer, length);
}

bool ServiceExists(SC_HANDLE manager, const std::string& name)
{
    if (manager == nullptr)
        return false;
    fw::CServiceHandle service(OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS));
    return service.valid();
}

}  // namespace

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
    ForEachDeviceWithId(hardwareId, [this](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        char driverKey[DRIVER_KEY_NAME_SIZE] = {};
        if (EngineCalls().SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_DRIVER, nullptr,
                                                            reinterpret_cast<BYTE*>(driverKey),
                                                            sizeof driverKey - 1, nullptr) &&
            driverKey[0] != '\0')
            SaveRegistryValues(CLASS_KEY + std::string(driverKey));
        return true;
    });
}

PathSet CInstaller::DriverStoreFiles() const
{
    PathSet files;
    const std::string windows = WindowsFolder();
    if (!windows.empty())
        AddFolderFiles(windows + INF_FOLDER, &files);
    const std::string system = SystemFolder();
    if (!system.empty() && AddFolderFiles(system + CATALOG_FOLDER, &files))
        files.insert(system + CATALOG_FOLDER);
    return files;
}

void CInstaller::JournalNewDriverStoreFiles(const PathSet& before)
{
    for (const std::string& path : DriverStoreFiles()) {
        if (before.count(path) != 0)
            continue;
        // The INF is the package: removing it from the store takes what
        // belongs to it along. Its other files are journaled as files, so
        // that whatever the removal leaves goes as well; a catalog folder the
        // store had to make goes once it is empty.
        if (EndsWith(path, CATALOG_FOLDER))
            m_journal[path] = JOURNAL_DIRECTORY;
        else
            m_journal[path] = EndsWith(path, ".inf") ? JOURNAL_DRIVER_PACKAGE : JOURNAL_FILE;
    }
}

void CInstaller::BackupStoredCatalog(const std::string& infPath)
{
    char catalog[MAX_PATH] = {};
    GetPrivateProfileStringA("Version", "CatalogFile", "", catalog, MAX_PATH, infPath.c_str());
    const std::string system = SystemFolder();
    if (catalog[0] == '\0' || system.empty() || strpbrk(catalog, "\\/:") != nullptr)
        return;
    const std::string folder = system + CATALOG_FOLDER;
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(FindFirstFileA((folder + "\\" + catalog).c_str(), &found));
    if (search)
        BackupFile(catalog, folder);
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
        // updated, by the next attempt; it goes with the failure.
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
    // the store on its own; what was there before is saved, what it adds is
    // journaled, whether the install succeeds or not.
    const bool serviceExisted = ServiceExists(m_hSCManager.get(), serviceName);
    if (serviceExisted)
        SaveServiceRegistry(serviceName);
    // The backup of a stored catalog lands in the store: it is listed before.
    BackupStoredCatalog(infPath);
    const PathSet storeBefore = DriverStoreFiles();
    const auto journalWhatAppeared = [&] {
        if (!serviceExisted && ServiceExists(m_hSCManager.get(), serviceName))
            m_journal[serviceName] = JOURNAL_SERVICE;
        JournalNewDriverStoreFiles(storeBefore);
    };

    BOOL restart = FALSE;
    if (search == DeviceSearch::Absent) {
        std::unique_ptr<CExceptionEx> error = CreateRootDevice(hardwareId, infPath, &restart);
        journalWhatAppeared();
        if (error)
            throw error.release();
        m_journal[hardwareId] = JOURNAL_PNP_DEVICE;
    } else {
        // A device that was there before stays after a rollback, with the
        // driver settings it had.
        const auto journaled = m_journal.find(hardwareId);
        if (journaled == m_journal.end() || journaled->second != JOURNAL_PNP_DEVICE)
            SaveDeviceDriverKeys(hardwareId);
        const BOOL updated = EngineCalls().UpdateDriverForPlugAndPlayDevicesA(
            nullptr, hardwareId.c_str(), infPath.c_str(), INSTALLFLAG_FORCE, &restart);
        const DWORD error = GetLastError();
        journalWhatAppeared();
        if (!updated)
            ThrowAt(LOC_DRIVER_UPDATE, error);
    }

    if (restart)
        SetRestartRequired();
}

void CInstaller::UninstallWdmDriver(const std::string& hardwareId)
{
    WriteLog(LOG_UNINSTALL_WDM, hardwareId.c_str());
    EnginePlatformCalls& calls = EngineCalls();
    ForEachDeviceWithId(hardwareId, [&calls](HDEVINFO devices, SP_DEVINFO_DATA* device) {
        calls.SetupDiCallClassInstaller(DIF_REMOVE, devices, device);
        return true;
    });
}

int CInstaller::CopyOemInf(const std::string& infPath)
{
    // A failed backup is this operation's failure: without it the store's
    // catalog could not be put back.
    try {
        BackupStoredCatalog(infPath);
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> dropped(e);
        SetLastError(dropped->code);
        return 0;
    }
    const PathSet storeBefore = DriverStoreFiles();
    const BOOL copied = EngineCalls().SetupCopyOEMInfA(infPath.c_str(),
                                                      nullptr,     // no source media location
                                                      SPOST_NONE,
                                                      0,           // copy style
                                                      nullptr, 0,  // no destination name wanted
                                                      nullptr, nullptr);
    const DWORD error = GetLastError();
    JournalNewDriverStoreFiles(storeBefore);
    SetLastError(error);
    return copied ? 1 : 0;
}

void CInstaller::UninstallDriverPackage(const std::string& storedInfPath)
{
    WriteLog(LOG_UNINSTALL_PACKAGE, storedInfPath.c_str());
    const size_t slash = storedInfPath.find_last_of('\\');
    const std::string name = slash == std::string::npos ? storedInfPath : storedInfPath.substr(slash + 1);
    // Forced: the devices of this run that used it are gone already, and a
    // device that was there before gets its old driver settings back.
    if (!EngineCalls().SetupUninstallOEMInfA(name.c_str(), SUOI_FORCEDELETE, nullptr))
        WriteLog(LOG_PACKAGE_STAYS);
}

void CInstaller::UninstallCreatedDrivers()
{
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
