// The stand-in bus driver package as the engine installs it: the INF's class,
// the driver store copy, and a root-enumerated device per hardware id whose
// driver is the package's one kernel-driver service.
#include "framework/Handles.h"
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}
const GUID SYSTEM_CLASS = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const char CATROOT[] = "\\catroot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";

struct DriverBuild {
    const char* build;
    const char* bus;
    const char* product;
    std::vector<std::string> hardwareIds;
};

// The engine's way to a new root device: register it with the id, then let
// the driver update install the INF's driver on it.
void InstallRootDevice(const std::string& inf, const std::string& hardwareId)
{
    GUID classGuid;
    char className[32];
    ASSERT_TRUE(SetupDiGetINFClassA(inf.c_str(), &classGuid, className, sizeof className, nullptr)) << GetLastError();
    fw::CDevInfoList list(SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    ASSERT_TRUE(list.valid()) << GetLastError();
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(list.get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                         &device))
        << GetLastError();
    std::string multi = hardwareId + std::string(2, '\0');
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(list.get(), &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(multi.data()),
                                                  static_cast<DWORD>(hardwareId.size() + 2)))
        << GetLastError();
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.get(), &device)) << GetLastError();
    BOOL reboot = FALSE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId.c_str(), inf.c_str(), INSTALLFLAG_FORCE,
                                                   &reboot))
        << GetLastError();
}

std::string DeviceProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property)
{
    char buffer[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(list, device, property, nullptr, reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2, nullptr))
        return std::string();
    return buffer;
}

struct PresentDevice {
    std::string service;
    std::string description;
    std::string className;
};

// Present devices whose first hardware id is the given one.
std::vector<PresentDevice> FindDevices(const std::string& hardwareId)
{
    std::vector<PresentDevice> found;
    fw::CDevInfoList list(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!list)
        return found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        if (DeviceProperty(list.get(), &device, SPDRP_HARDWAREID) != hardwareId)
            continue;
        found.push_back({DeviceProperty(list.get(), &device, SPDRP_SERVICE),
                         DeviceProperty(list.get(), &device, SPDRP_DEVICEDESC),
                         DeviceProperty(list.get(), &device, SPDRP_CLASS)});
    }
    return found;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

class SampleDriverPackage : public ::testing::TestWithParam<DriverBuild> {};

}  // namespace

TEST_P(SampleDriverPackage, InstallsBothDevicesOnTheOneBusService)
{
    const DriverBuild& build = GetParam();
    const std::string bus = build.bus;
    // Beside each other in a folder of their own, as the setup leaves them in
    // the install folder.
    const std::string folder = MakeTempDir("driverpackage");
    ASSERT_FALSE(folder.empty());
    for (const char* extension : {".inf", ".sys", ".cat"}) {
        const std::string name = bus + extension;
        ASSERT_TRUE(CopyFileA(SamplePath(build.build, name).c_str(), (folder + "\\" + name).c_str(), FALSE)) << name;
    }
    const std::string inf = folder + "\\" + bus + ".inf";

    GUID classGuid;
    char className[32] = {};
    DWORD required = 0;
    ASSERT_TRUE(SetupDiGetINFClassA(inf.c_str(), &classGuid, className, sizeof className, &required));
    EXPECT_STREQ(className, "System");
    EXPECT_TRUE(IsEqualGUID(classGuid, SYSTEM_CLASS));

    ASSERT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_NONE, 0, nullptr, 0, nullptr, nullptr)) << GetLastError();
    EXPECT_EQ(ReadFileBytes(WindowsDir() + "\\inf\\" + bus + ".inf"), ReadFileBytes(inf));
    EXPECT_TRUE(FileExists(SystemDir() + CATROOT + bus + ".cat"));

    for (const std::string& hardwareId : build.hardwareIds)
        InstallRootDevice(inf, hardwareId);

    const std::string key = "System\\CurrentControlSet\\Services\\" + bus;
    DWORD type = 0;
    DWORD start = 0;
    std::string imagePath;
    EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, key, "Type", &type));
    EXPECT_EQ(type, static_cast<DWORD>(SERVICE_KERNEL_DRIVER));
    EXPECT_TRUE(RegReadDword(HKEY_LOCAL_MACHINE, key, "Start", &start));
    EXPECT_EQ(start, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, key, "ImagePath", &imagePath));
    const std::string driverFile = "\\drivers\\" + bus + ".sys";
    EXPECT_EQ(Lower(imagePath.substr(imagePath.size() - std::min(imagePath.size(), driverFile.size()))), driverFile)
        << imagePath;
    EXPECT_EQ(ReadFileBytes(SystemDir() + driverFile), ReadFileBytes(folder + "\\" + bus + ".sys"));

    const char* descriptions[] = {" Virtual USB Bus", " Virtual USB Host Controller"};
    for (size_t i = 0; i < build.hardwareIds.size(); ++i) {
        const std::vector<PresentDevice> devices = FindDevices(build.hardwareIds[i]);
        ASSERT_EQ(devices.size(), 1u) << build.hardwareIds[i];
        EXPECT_EQ(devices[0].service, bus) << build.hardwareIds[i];
        EXPECT_EQ(devices[0].className, "System") << build.hardwareIds[i];
        EXPECT_EQ(devices[0].description, std::string(build.product) + descriptions[i]);
    }
    RemoveTree(folder);
}

INSTANTIATE_TEST_SUITE_P(
    BothBuilds, SampleDriverPackage,
    ::testing::Values(DriverBuild{"server", "nexbus", "Velloran", {"*nexbusDevice", "*nexhcDevice"}},
                      DriverBuild{"client", "nexbuslt", "Velloran Client", {"*nexbusltDevice", "*nexhcltDevice"}}),
    [](const ::testing::TestParamInfo<DriverBuild>& info) { return std::string(info.param.build); });
