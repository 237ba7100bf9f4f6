// The platform calls of the engine that Wine cannot be made to fail on its
// own, and every call into SetupAPI and the driver-update library. The engine
// calls them through this table, which points at the real functions; tests
// swap single entries to reach the failure paths behind them. Nothing in the
// engine knows whether an entry was swapped.
//
// setupapi.dll and newdev.dll are not imported: their entries load them from
// the system folder on first use (framework/SystemLibrary.h). A library that
// cannot be loaded makes its entries fail with the load's error.
#pragma once

#include "framework/Handles.h"

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

struct EnginePlatformCalls {
    // administrator check
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    // Service Control Manager connection
    decltype(&::OpenSCManagerA) OpenSCManagerA;
    // OS classification
    decltype(&::GetVersionExA) GetVersionExA;
    // files
    decltype(&::WriteFile) WriteFile;
    decltype(&::MoveFileExA) MoveFileExA;
    // shell links
    decltype(&::CoInitialize) CoInitialize;
    decltype(&::CoCreateInstance) CoCreateInstance;
    // Plug and Play (setupapi.dll, newdev.dll)
    decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
    decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) SetupDiGetDeviceRegistryPropertyA;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
    decltype(&::SetupDiGetINFClassA) SetupDiGetINFClassA;
    decltype(&::SetupDiCreateDeviceInfoList) SetupDiCreateDeviceInfoList;
    decltype(&::SetupDiCreateDeviceInfoA) SetupDiCreateDeviceInfoA;
    decltype(&::SetupDiSetDeviceRegistryPropertyA) SetupDiSetDeviceRegistryPropertyA;
    decltype(&::SetupDiCallClassInstaller) SetupDiCallClassInstaller;
    BOOL(WINAPI* UpdateDriverForPlugAndPlayDevicesA)(HWND, LPCSTR, LPCSTR, DWORD, PBOOL);
    decltype(&::SetupCopyOEMInfA) SetupCopyOEMInfA;
    decltype(&::SetupUninstallOEMInfA) SetupUninstallOEMInfA;
    // restart
    decltype(&::ExitWindowsEx) ExitWindowsEx;
};

// The table the engine uses.
EnginePlatformCalls& EngineCalls();

// Points every entry back at the real function.
void ResetEngineCalls();

// A device-information list of the engine, destroyed through the table.
struct EngineSetupApi {
    static void DestroyDeviceInfoList(HDEVINFO h) noexcept { EngineCalls().SetupDiDestroyDeviceInfoList(h); }
};
using CEngineDevInfoList = fw::CHandleT<fw::DevInfoTraits<EngineSetupApi>>;
