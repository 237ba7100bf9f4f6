// What the install tests know about the two setups, stated independently of
// the product code, and how they make setups with packages of their own.
#pragma once

#include "tests/support/MachineSnapshot.h"

#include <string>
#include <vector>

namespace installtest {

struct TestProduct {
    std::string setup;          // "velloran_setup"
    std::string sampleFolder;   // "server": where the build keeps the payload
    std::string name;           // "Velloran"
    std::string logFile;        // "velloran-install.log"
    std::string serviceProgram; // "velloransrv.exe"
    std::string serviceName;
    std::string busService;
    std::vector<std::string> entries;       // the package, in stored order
    std::vector<std::string> kernelDrivers; // own kernel-driver services
    std::string uninstallKey;
};

const TestProduct& Server();
const TestProduct& Client();

// The payload file the build packed for `entry`.
std::string PayloadFile(const TestProduct& product, const std::string& entry);
std::string PayloadBytes(const TestProduct& product, const std::string& entry);

// The setup with its real package (the build's deliverable).
std::string PackedSetup(const TestProduct& product);
// A copy of the stub setup with a package of the payload without the listed
// entries, written as folder\<setup>.exe; returns its path.
std::string SetupWithout(const TestProduct& product, const std::vector<std::string>& missing,
                         const std::string& folder);
// A copy of the stub without any package.
std::string StubSetup(const TestProduct& product, const std::string& folder);

// Folders of the installed product on this (Wine) machine.
std::string InstallFolder(const TestProduct& product);  // C:\Program Files\<name>
std::string StartMenuFolder(const TestProduct& product);
std::string DesktopFolder();
std::string TempLog(const TestProduct& product);

// Where an installation writes: for before/after comparisons.
testsupport::MachineScope InstallScope(const TestProduct& product);

// Runs the setup with the given switches and returns its exit code.
long RunSetup(const std::string& setupPath, const std::string& switches, DWORD timeoutMs = 120000);

// The product as a complete installation leaves it, checked with gtest
// expectations: its files, services, devices, driver store, shortcuts,
// uninstall entry, the running service, and the setup log placed in the
// install folder with the plan's lines and no warning.
void CheckInstalled(const TestProduct& product);

// `needles` appear in `lines` in this order (not necessarily adjacent);
// returns the first needle not found in order, or empty.
std::string MissingInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles);

}  // namespace installtest
