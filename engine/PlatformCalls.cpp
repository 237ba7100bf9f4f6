#include "engine/PlatformCalls.h"

#include "framework/SystemLibrary.h"

#include <newdev.h>
#include <shlobj.h>

// Declared here only so that SYSTEM_ENTRY can name it: the program never
// imports it, and systems before Windows 10 1703 do not have it.
extern "C" BOOL WINAPI DiUninstallDriverA(HWND, LPCSTR, DWORD, PBOOL);

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

EnginePlatformCalls MakeRealCalls()
{
    EnginePlatformCalls calls{};
    calls.OpenProcessToken = &::OpenProcessToken;
    calls.GetTokenInformation = &::GetTokenInformation;
    calls.OpenSCManagerA = &::OpenSCManagerA;
    calls.GetVersionExA = &::GetVersionExA;

    calls.GetSystemDirectoryA = &::GetSystemDirectoryA;
    calls.GetWindowsDirectoryA = &::GetWindowsDirectoryA;
    calls.SHGetSpecialFolderPathA = &::SHGetSpecialFolderPathA;
    calls.GetFileAttributesA = &::GetFileAttributesA;
    calls.FindFirstFileA = &::FindFirstFileA;
    calls.FindNextFileA = &::FindNextFileA;
    calls.CreateFileA = &::CreateFileA;
    calls.ReadFile = &::ReadFile;
    calls.SetFilePointerEx = &::SetFilePointerEx;
    calls.SetEndOfFile = &::SetEndOfFile;
    calls.WriteFile = &::WriteFile;
    calls.FlushFileBuffers = &::FlushFileBuffers;
    calls.CopyFileA = &::CopyFileA;
    calls.DeleteFileA = &::DeleteFileA;
    calls.MoveFileExA = &::MoveFileExA;
    calls.CreateDirectoryA = &::CreateDirectoryA;
    calls.RemoveDirectoryA = &::RemoveDirectoryA;
    calls.GetPrivateProfileStringA = &::GetPrivateProfileStringA;

    calls.GetNamedSecurityInfoA = &::GetNamedSecurityInfoA;
    calls.CreateMutexA = &::CreateMutexA;

    calls.RegOpenKeyExW = &::RegOpenKeyExW;
    calls.RegCreateKeyExW = &::RegCreateKeyExW;
    calls.RegQueryInfoKeyW = &::RegQueryInfoKeyW;
    calls.RegEnumValueW = &::RegEnumValueW;
    calls.RegQueryValueExW = &::RegQueryValueExW;
    calls.RegSetValueExW = &::RegSetValueExW;
    calls.RegDeleteValueW = &::RegDeleteValueW;
    calls.RegDeleteKeyW = &::RegDeleteKeyW;

    calls.OpenServiceA = &::OpenServiceA;
    calls.CreateServiceA = &::CreateServiceA;
    calls.CreateServiceW = &::CreateServiceW;
    calls.ChangeServiceConfigA = &::ChangeServiceConfigA;
    calls.ChangeServiceConfigW = &::ChangeServiceConfigW;
    calls.ChangeServiceConfig2A = &::ChangeServiceConfig2A;
    calls.ChangeServiceConfig2W = &::ChangeServiceConfig2W;
    calls.QueryServiceStatus = &::QueryServiceStatus;
    calls.StartServiceA = &::StartServiceA;
    calls.ControlService = &::ControlService;
    calls.DeleteService = &::DeleteService;
    calls.LockServiceDatabase = &::LockServiceDatabase;

    calls.SetupDiGetClassDevsA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetClassDevsA);
    calls.SetupDiEnumDeviceInfo = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiEnumDeviceInfo);
    calls.SetupDiGetDeviceRegistryPropertyA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetDeviceRegistryPropertyA);
    calls.SetupDiGetDeviceInstallParamsA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetDeviceInstallParamsA);
    calls.SetupDiDestroyDeviceInfoList = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiDestroyDeviceInfoList);
    calls.SetupDiGetINFClassA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiGetINFClassA);
    calls.SetupDiCreateDeviceInfoList = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCreateDeviceInfoList);
    calls.SetupDiCreateDeviceInfoA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCreateDeviceInfoA);
    calls.SetupDiSetDeviceRegistryPropertyA = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiSetDeviceRegistryPropertyA);
    calls.SetupDiCallClassInstaller = SYSTEM_ENTRY(SetupApiLibrary(), SetupDiCallClassInstaller);
    calls.UpdateDriverForPlugAndPlayDevicesA = SYSTEM_ENTRY(NewDevLibrary(), UpdateDriverForPlugAndPlayDevicesA);
    calls.DiUninstallDriverA = SYSTEM_ENTRY(NewDevLibrary(), DiUninstallDriverA);
    calls.SetupCopyOEMInfA = SYSTEM_ENTRY(SetupApiLibrary(), SetupCopyOEMInfA);
    calls.SetupUninstallOEMInfA = SYSTEM_ENTRY(SetupApiLibrary(), SetupUninstallOEMInfA);

    calls.CoInitialize = &::CoInitialize;
    calls.CoInitializeEx = &::CoInitializeEx;
    calls.CoCreateInstance = &::CoCreateInstance;

    calls.ExitWindowsEx = &::ExitWindowsEx;
    return calls;
}

}  // namespace

// Made on first use, so that whatever runs before main (a test build's
// wrappers) finds the table whole.
EnginePlatformCalls& EngineCalls()
{
    static EnginePlatformCalls calls = RealEngineCalls();
    return calls;
}

const EnginePlatformCalls& RealEngineCalls()
{
    static const EnginePlatformCalls real = MakeRealCalls();
    return real;
}

void ResetEngineCalls()
{
    EngineCalls() = RealEngineCalls();
}
