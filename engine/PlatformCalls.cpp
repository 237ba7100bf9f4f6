#include "engine/PlatformCalls.h"

#include "framework/SystemLibrary.h"

#include <newdev.h>

namespace {

constexpr char SETUPAPI_LIBRARY[] = "setupapi.dll";
constexpr char NEWDEV_LIBRARY[] = "newdev.dll";

EnginePlatformCalls RealCalls()
{
    EnginePlatformCalls calls{};
    calls.OpenProcessToken = &::OpenProcessToken;
    calls.GetTokenInformation = &::GetTokenInformation;
    calls.OpenSCManagerA = &::OpenSCManagerA;
    calls.GetVersionExA = &::GetVersionExA;
    calls.WriteFile = &::WriteFile;
    calls.MoveFileExA = &::MoveFileExA;
    calls.CoInitialize = &::CoInitialize;
    calls.CoCreateInstance = &::CoCreateInstance;
    calls.SetupDiGetClassDevsA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiGetClassDevsA);
    calls.SetupDiEnumDeviceInfo = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiEnumDeviceInfo);
    calls.SetupDiGetDeviceRegistryPropertyA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiGetDeviceRegistryPropertyA);
    calls.SetupDiDestroyDeviceInfoList = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiDestroyDeviceInfoList);
    calls.SetupDiGetINFClassA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiGetINFClassA);
    calls.SetupDiCreateDeviceInfoList = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiCreateDeviceInfoList);
    calls.SetupDiCreateDeviceInfoA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiCreateDeviceInfoA);
    calls.SetupDiSetDeviceRegistryPropertyA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiSetDeviceRegistryPropertyA);
    calls.SetupDiCallClassInstaller = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupDiCallClassInstaller);
    calls.UpdateDriverForPlugAndPlayDevicesA = SYSTEM_ENTRY(NEWDEV_LIBRARY, UpdateDriverForPlugAndPlayDevicesA);
    calls.SetupCopyOEMInfA = SYSTEM_ENTRY(SETUPAPI_LIBRARY, SetupCopyOEMInfA);
    calls.ExitWindowsEx = &::ExitWindowsEx;
    return calls;
}

EnginePlatformCalls g_calls = RealCalls();

}  // namespace

EnginePlatformCalls& EngineCalls()
{
    return g_calls;
}

void ResetEngineCalls()
{
    g_calls = RealCalls();
}
