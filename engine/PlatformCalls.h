// Every platform call through which the engine and the install process look
// at or change the machine: files, registry, services, security, SetupAPI and
// the driver-update library, COM (shell links, firewall) and the restart. They
// go through this one table, which points at the real functions. Tests swap
// single entries to reach the failure paths behind them, and a test build of
// the setup wraps every entry to fail, fault or end the process at the Nth
// call. Nothing in the engine knows whether an entry was swapped.
//
// Not in the table: calls that cannot fail or only free what was had
// (CloseHandle, RegCloseKey, GetLastError, string conversions), and the
// setup log's own writes.
//
// setupapi.dll and newdev.dll are not imported: their entries load them from
// the system folder on first use (framework/SystemLibrary.h). A library that
// cannot be loaded makes its entries fail with the load's error.
#pragma once

#include "framework/Handles.h"

#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>

// Windows 10 1703 and later; mingw-w64's headers do not declare it.
using DiUninstallDriverAFn = BOOL(WINAPI*)(HWND, LPCSTR, DWORD, PBOOL);
using UpdateDriverForPlugAndPlayDevicesAFn = BOOL(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);

// How an entry reports failure, for whoever makes it fail on purpose.
enum class CallFailure {
    Bool,        // FALSE, the error in GetLastError
    Handle,      // INVALID_HANDLE_VALUE, the error in GetLastError
    Null,        // a null pointer or handle, the error in GetLastError
    Status,      // the error itself as the result (the registry's LSTATUS)
    Result,      // a failed HRESULT made from the error
    Zero,        // 0, the error in GetLastError (lengths, counts)
    AllBits,     // the all-ones value of its type (INVALID_FILE_ATTRIBUTES)
};

// X(name, type of the entry, how it fails, whether it changes the machine)
#define VELLORAN_PLATFORM_CALLS(X)                                                                        \
    /* administrator check, Service Control Manager connection, OS class */                             \
    X(OpenProcessToken, decltype(&::OpenProcessToken), Bool, false)                                     \
    X(GetTokenInformation, decltype(&::GetTokenInformation), Bool, false)                               \
    X(OpenSCManagerA, decltype(&::OpenSCManagerA), Null, false)                                         \
    X(GetVersionExA, decltype(&::GetVersionExA), Bool, false)                                           \
    /* files and folders */                                                                             \
    X(GetSystemDirectoryA, decltype(&::GetSystemDirectoryA), Zero, false)                               \
    X(GetWindowsDirectoryA, decltype(&::GetWindowsDirectoryA), Zero, false)                             \
    X(SHGetSpecialFolderPathA, decltype(&::SHGetSpecialFolderPathA), Bool, false)                       \
    X(GetFileAttributesA, decltype(&::GetFileAttributesA), AllBits, false)                              \
    X(FindFirstFileA, decltype(&::FindFirstFileA), Handle, false)                                       \
    X(FindNextFileA, decltype(&::FindNextFileA), Bool, false)                                           \
    X(CreateFileA, decltype(&::CreateFileA), Handle, true)                                              \
    X(ReadFile, decltype(&::ReadFile), Bool, false)                                                     \
    X(SetFilePointerEx, decltype(&::SetFilePointerEx), Bool, false)                                     \
    X(SetEndOfFile, decltype(&::SetEndOfFile), Bool, true)                                              \
    X(WriteFile, decltype(&::WriteFile), Bool, true)                                                    \
    X(FlushFileBuffers, decltype(&::FlushFileBuffers), Bool, false)                                     \
    X(CopyFileA, decltype(&::CopyFileA), Bool, true)                                                    \
    X(DeleteFileA, decltype(&::DeleteFileA), Bool, true)                                                \
    X(MoveFileExA, decltype(&::MoveFileExA), Bool, true)                                                \
    X(CreateDirectoryA, decltype(&::CreateDirectoryA), Bool, true)                                      \
    X(RemoveDirectoryA, decltype(&::RemoveDirectoryA), Bool, true)                                      \
    X(GetPrivateProfileStringA, decltype(&::GetPrivateProfileStringA), Zero, false)                     \
    /* security of the folders the setup trusts */                                                      \
    X(GetNamedSecurityInfoA, decltype(&::GetNamedSecurityInfoA), Status, false)                         \
    X(CreateMutexA, decltype(&::CreateMutexA), Null, false)                                             \
    /* registry: other programs' values pass through, so wide */                                        \
    X(RegOpenKeyExW, decltype(&::RegOpenKeyExW), Status, false)                                         \
    X(RegCreateKeyExW, decltype(&::RegCreateKeyExW), Status, true)                                      \
    X(RegQueryInfoKeyW, decltype(&::RegQueryInfoKeyW), Status, false)                                   \
    X(RegEnumValueW, decltype(&::RegEnumValueW), Status, false)                                         \
    X(RegQueryValueExW, decltype(&::RegQueryValueExW), Status, false)                                   \
    X(RegSetValueExW, decltype(&::RegSetValueExW), Status, true)                                        \
    X(RegDeleteValueW, decltype(&::RegDeleteValueW), Status, true)                                      \
    X(RegDeleteKeyW, decltype(&::RegDeleteKeyW), Status, true)                                          \
    /* services */                                                                                      \
    X(OpenServiceA, decltype(&::OpenServiceA), Null, false)                                             \
    X(CreateServiceA, decltype(&::CreateServiceA), Null, true)                                          \
    X(CreateServiceW, decltype(&::CreateServiceW), Null, true)                                          \
    X(ChangeServiceConfigA, decltype(&::ChangeServiceConfigA), Bool, true)                              \
    X(ChangeServiceConfigW, decltype(&::ChangeServiceConfigW), Bool, true)                              \
    X(ChangeServiceConfig2A, decltype(&::ChangeServiceConfig2A), Bool, true)                            \
    X(ChangeServiceConfig2W, decltype(&::ChangeServiceConfig2W), Bool, true)                            \
    X(QueryServiceStatus, decltype(&::QueryServiceStatus), Bool, false)                                 \
    X(StartServiceA, decltype(&::StartServiceA), Bool, true)                                            \
    X(ControlService, decltype(&::ControlService), Bool, true)                                          \
    X(DeleteService, decltype(&::DeleteService), Bool, true)                                            \
    X(LockServiceDatabase, decltype(&::LockServiceDatabase), Null, false)                               \
    /* Plug and Play (setupapi.dll, newdev.dll) */                                                      \
    X(SetupDiGetClassDevsA, decltype(&::SetupDiGetClassDevsA), Handle, false)                           \
    X(SetupDiEnumDeviceInfo, decltype(&::SetupDiEnumDeviceInfo), Bool, false)                           \
    X(SetupDiGetDeviceRegistryPropertyA, decltype(&::SetupDiGetDeviceRegistryPropertyA), Bool, false)   \
    X(SetupDiGetDeviceInstallParamsA, decltype(&::SetupDiGetDeviceInstallParamsA), Bool, false)         \
    X(SetupDiDestroyDeviceInfoList, decltype(&::SetupDiDestroyDeviceInfoList), Bool, false)             \
    X(SetupDiGetINFClassA, decltype(&::SetupDiGetINFClassA), Bool, false)                               \
    X(SetupDiCreateDeviceInfoList, decltype(&::SetupDiCreateDeviceInfoList), Handle, false)             \
    X(SetupDiCreateDeviceInfoA, decltype(&::SetupDiCreateDeviceInfoA), Bool, false)                     \
    X(SetupDiSetDeviceRegistryPropertyA, decltype(&::SetupDiSetDeviceRegistryPropertyA), Bool, false)   \
    X(SetupDiCallClassInstaller, decltype(&::SetupDiCallClassInstaller), Bool, true)                    \
    X(UpdateDriverForPlugAndPlayDevicesA, UpdateDriverForPlugAndPlayDevicesAFn, Bool, true)             \
    X(DiUninstallDriverA, DiUninstallDriverAFn, Bool, true)                                             \
    X(SetupCopyOEMInfA, decltype(&::SetupCopyOEMInfA), Bool, true)                                      \
    X(SetupUninstallOEMInfA, decltype(&::SetupUninstallOEMInfA), Bool, true)                            \
    /* COM: shell links and the firewall */                                                             \
    X(CoInitialize, decltype(&::CoInitialize), Result, false)                                           \
    X(CoInitializeEx, decltype(&::CoInitializeEx), Result, false)                                       \
    X(CoCreateInstance, decltype(&::CoCreateInstance), Result, false)                                   \
    /* restart */                                                                                       \
    X(ExitWindowsEx, decltype(&::ExitWindowsEx), Bool, true)

struct EnginePlatformCalls {
#define VELLORAN_DECLARE_ENTRY(name, type, failure, changes) type name;
    VELLORAN_PLATFORM_CALLS(VELLORAN_DECLARE_ENTRY)
#undef VELLORAN_DECLARE_ENTRY
};

// The table the engine and the install process use.
EnginePlatformCalls& EngineCalls();

// The table as the program starts: every entry the real function.
const EnginePlatformCalls& RealEngineCalls();

// Points every entry back at the real function.
void ResetEngineCalls();

// A device-information list of the engine, destroyed through the table.
struct EngineSetupApi {
    static void DestroyDeviceInfoList(HDEVINFO h) noexcept { EngineCalls().SetupDiDestroyDeviceInfoList(h); }
};
using CEngineDevInfoList = fw::CHandleT<fw::DevInfoTraits<EngineSetupApi>>;
