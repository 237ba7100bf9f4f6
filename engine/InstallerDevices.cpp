#include "engine/Installer.h"

#include "engine/PlatformCalls.h"

#include <cstring>
#include <newdev.h>

namespace {

// Throw sites (server numbering; the product's shift is added).
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
// id, in enumeration order, until it returns false. A read failure other than
// "no ids" ends the walk.
template <typename OnMatch>
void ForEachDeviceWithId(const std::string& hardwareId, OnMatch onMatch)
{
    EnginePlatformCalls& calls = EngineCalls();
    CEngineDevInfoList devices(calls.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, PRESENT_DEVICES));
    if (!devices)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    fw::CLocalMem ids;
    DWORD size = 0;
    for (DWORD index = 0; calls.SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        const IdRead read = ReadHardwareIds(devices.get(), &device, &ids, &size);
        if (read == IdRead::Failed)
            return;
        if (read == IdRead::NoIds || !HasHardwareId(static_cast<const char*>(ids.get()), size, hardwareId))
            continue;
        if (!onMatch(devices.get(), &device))
            return;
    }
}

}  // namespace

bool CInstaller::FindDeviceByHardwareId(const std::string& hardwareId)
{
    bool found = false;
    ForEachDeviceWithId(hardwareId, [&found](HDEVINFO, SP_DEVINFO_DATA*) {
        found = true;
        return false;
    });
    return found;
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

    BOOL restart = FALSE;
    if (!FindDeviceByHardwareId(hardwareId)) {
        if (std::unique_ptr<CExceptionEx> error = CreateRootDevice(hardwareId, infPath, &restart))
            throw error.release();
        m_journal[hardwareId] = JOURNAL_PNP_DEVICE;
    } else {
        // The device was there before: it stays after a rollback, only its
        // service's settings are put back.
        SaveServiceRegistry(serviceName);
        if (!EngineCalls().UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId.c_str(), infPath.c_str(),
                                                              INSTALLFLAG_FORCE, &restart))
            ThrowAt(LOC_DRIVER_UPDATE, GetLastError());
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
    return EngineCalls().SetupCopyOEMInfA(infPath.c_str(),
                                          nullptr,     // no source media location
                                          SPOST_NONE,
                                          0,           // copy style
                                          nullptr, 0,  // no destination name wanted
                                          nullptr, nullptr)
               ? 1
               : 0;
}

void CInstaller::UninstallCreatedDrivers()
{
    for (const auto& entry : m_journal) {
        if (entry.second == JOURNAL_SERVICE)
            UninstallService(entry.first);
        else if (entry.second == JOURNAL_PNP_DEVICE)
            UninstallWdmDriver(entry.first);
    }
}
