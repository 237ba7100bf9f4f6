// A picture of the parts of the machine an installation touches, taken before
// and after a run, so a test can say "the rollback left everything as it
// was" and name what differs.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct MachineScope {
    std::vector<std::string> trees;         // folders, recursively (need not exist)
    std::vector<std::string> files;         // single files (need not exist)
    std::vector<std::string> patterns;      // files matching a wildcard path ("C:\\x\\name*")
    std::vector<std::string> registryKeys;  // below HKEY_LOCAL_MACHINE, recursively
    // Single values below HKEY_LOCAL_MACHINE: {key, value name}.
    std::vector<std::pair<std::string, std::string>> registryValues;
    bool services = true;                   // which services exist
    // Services whose state (running or stopped) and configuration, as the
    // Service Control Manager reports them, count too. Other services come
    // and go with the system (the RPC service starts on first use), so only
    // their existence is compared.
    std::vector<std::string> serviceStates;
    bool devices = true;                    // every present device's hardware ids
    // Each device also with the driver package its driver key names
    // (InfPath), where the device class key itself is left out of the scope.
    bool devicePackages = false;
};

class CMachineSnapshot {
public:
    static CMachineSnapshot Take(const MachineScope& scope);

    // One line per difference ("file added: ...", "registry value changed: ..."),
    // empty when the two are alike.
    std::vector<std::string> DifferencesTo(const CMachineSnapshot& later) const;

    // Kept in a file between programs (one item a line); false when the
    // file cannot be written or read, or does not hold a snapshot.
    bool Save(const std::string& path) const;
    static bool Load(const std::string& path, CMachineSnapshot* snapshot);

    // Key: a description ("file C:\\x", "reg HKLM\\k\\v", "service n", "device id");
    // value: what stands there.
    std::map<std::string, std::string> items;
};

// The hardware ids of every present device, one entry per device (ids of one
// device joined by '|').
std::vector<std::string> PresentDeviceIds();

}  // namespace testsupport
