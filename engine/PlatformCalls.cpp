#include "engine/PlatformCalls.h"

#include "framework/SystemLibrary.h"

#include <newdev.h>

namespace {

// SetupAPI loads the trust-verification library by its bare name when it
// copies an INF with its catalog. Loaded first from the system folder, it is
// the one that name then finds, also where the search still includes the
// setup's folder (systems without SetDefaultDllDirectories, and Wine, whose
// on-demand loads ignore it).
void LoadSetupApiDependencies()
{
    static const HMODULE trust = fw::LoadSystemLibrary("wintrust.dll");
    (void)trust;
}

const char* SetupApiLibrary()
{
    LoadSetupApiDependencies();
    return "setupapi.dll";
}

// The driver update works through SetupAPI.
const char* NewDevLibrary()
{
    LoadSetupApiDependencies();
    return "newdev.dll";
}

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
    calls.SetupDiGetClassDevsA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetClassDevsA);
    calls.SetupDiEnumDeviceInfo = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiEnumDeviceInfo);
    calls.SetupDiGetDeviceRegistryPropertyA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetDeviceRegistryPropertyA);
    calls.SetupDiDestroyDeviceInfoList = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiDestroyDeviceInfoList);
    calls.SetupDiGetINFClassA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetINFClassA);
    calls.SetupDiCreateDeviceInfoList = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCreateDeviceInfoList);
    calls.SetupDiCreateDeviceInfoA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCreateDeviceInfoA);
    calls.SetupDiSetDeviceRegistryPropertyA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiSetDeviceRegistryPropertyA);
    calls.SetupDiCallClassInstaller = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCallClassInstaller);
    calls.UpdateDriverForPlugAndPlayDevicesA = SYSTEM_ENTRY(NewDevLibrary(), UpdateDriverForPlugAndPlayDevicesA);
    calls.SetupCopyOEMInfA = SYSTEM_ENTRY(SetupApiLibrary(), SetupCopyOEMInfA);
    calls.SetupUninstallOEMInfA = SYSTEM_ENTRY(SetupApiLibrary(), SetupUninstallOEMInfA);
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
