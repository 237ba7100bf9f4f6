// What one deliverable installs and how it names things. Each setup program
// links exactly one configuration (server or client); shared code reads the
// facts from here and never asks which product it is.
#pragma once

#include "engine/Installer.h"

#include <cstdint>
#include <string>
#include <vector>

// A package entry copied into a folder by a plan step, with the throw site
// used when the package lacks it.
struct ProductFile {
    const char* entry;
    int missingLocation;
};

// A kernel-driver service of the product's own (the server has two).
struct KernelDriverService {
    const char* file;         // in [Drivers]
    const char* serviceName;
    const char* displayName;
    DWORD startType;
    int failureLocation;      // InstallDriver returned 0
};

struct ProductShortcut {
    const char* linkName;     // without ".lnk"
    const char* targetFile;   // in [Install]
    const char* arguments;    // may be null
    bool required;            // a failure fails the install (otherwise a warning)
};

struct ProductConfig {
    // --- identity ---
    const char* productName;        // "Velloran" / "Velloran Client"
    const char* versionText;        // "Version 6.1" / "Version 6.2.2"
    uint32_t versionNumber;         // for the installed-version query
    const char* versionNumberText;  // "6.1" / "6.2.2"
    const char* logFileName;        // "velloran-install.log" / "velloran-client-setup.log"
    const char* publisher;          // the company of the version block
    const char* uninstallLogFileName; // "velloran-uninstall.log" / "velloran-client-uninstall.log"

    // --- installed product ---
    const char* serviceProgram;     // "velloransrv.exe"
    const char* serviceName;        // "velloransrv"
    const char* serviceDisplayName; // also the firewall rule name
    const char* serviceDescription;
    const char* userProgram;        // launched at the end of the wizard
    const char* consoleTool;
    const char* helpFile;
    const char* uninstaller;        // "uninstall.exe"
    const char* busDriverSys;
    const char* busDriverInf;
    const char* busDriverCat;
    const char* busServiceName;
    const char* busHardwareId;
    const char* hostControllerHardwareId;
    const char* uninstallKeyName;
    const char* webShortcutFile;    // "Velloran on Web.url"
    const char* webUrl;
    const char* quickStartUrl;

    // --- the journal on disk ---
    const char* journalFolder;      // below %ProgramData%: "Velloran Setup"
    const char* lockName;           // the named mutex every run of the product holds

    // --- installed-version query ---
    const char* presenceEvent;
    const char* pipeName;

    // --- plan contents ---
    std::vector<ProductFile> systemDriverFiles;            // into [Drivers] after the service program
    std::vector<KernelDriverService> kernelDriverServices; // InstallDrivers, in this order
    std::vector<ProductFile> programFiles;                 // CopyProgramFiles, in this order
    std::vector<ProductFile> busDriverFiles;               // InstallDrivers: .sys, .inf, .cat into [Install]
    std::vector<std::string> serviceDependencies;
    std::vector<std::string> servicesToStart;              // StartProductServices, in this order
    // Stopped after a failure, in this order; when the first cannot be
    // stopped, the others are left alone.
    std::vector<std::string> servicesToStop;
    std::vector<ProductShortcut> startMenuShortcuts;

    // --- unpack-only run ---
    std::vector<std::string> unpackFiles;

    // --- throw sites of the plan (module MODULE_PROCESS) ---
    int locCopySystemFolder;        // 303
    int locServiceProgramMissing;   // 306
    int locBusDriverSysMissing;     // 380
    int locInstallDriversFolder;    // 558 / 563
    int locCopyOemInf;              // 643 / 648
    int locBusDriverInUse;          // 617 / 622: the driver package's files in use
    int locServiceFolder;           // 736 / 741
    int locInstallService;          // 753 / 758
    int locProgramsFolder;          // 807 / 812

    // --- engine ---
    EngineSiteShift engineSites;
};

// The configuration this program was linked with.
const ProductConfig& Product();
