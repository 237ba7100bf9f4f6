#include "engine/PlatformCalls.h"

#include <newdev.h>

namespace {

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
    calls.SetupDiGetClassDevsA = &::SetupDiGetClassDevsA;
    calls.SetupDiGetINFClassA = &::SetupDiGetINFClassA;
    calls.SetupDiCreateDeviceInfoList = &::SetupDiCreateDeviceInfoList;
    calls.SetupDiCreateDeviceInfoA = &::SetupDiCreateDeviceInfoA;
    calls.SetupDiSetDeviceRegistryPropertyA = &::SetupDiSetDeviceRegistryPropertyA;
    calls.SetupDiCallClassInstaller = &::SetupDiCallClassInstaller;
    calls.UpdateDriverForPlugAndPlayDevicesA = &::UpdateDriverForPlugAndPlayDevicesA;
    calls.SetupCopyOEMInfA = &::SetupCopyOEMInfA;
    calls.SetupUninstallOEMInfA = &::SetupUninstallOEMInfA;
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
