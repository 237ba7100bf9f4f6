// What the engine journals about a run, one record per change, written before
// the change is made. The engine's journals in memory are nothing but these
// records applied in order, so a run's journal read back from disk gives the
// same journals, and the same rollback, as the run that wrote it.
//
// Portable: no windows.h. Texts of our own (paths, names) are the setup's
// ANSI bytes; what belongs to other programs (registry value names, the
// restart's rename list, firewall names) stays in UTF-16 as the system keeps it.
#pragma once

#include "engine/PendingRenames.h"

#include <cstdint>
#include <string>
#include <vector>

// Kinds of the engine's operation journal (key: path, service name, hardware
// id, or "HKLM\" + key) and the value of its started-services entries.
enum : int32_t {
    JOURNAL_DIRECTORY = 0,
    JOURNAL_FILE = 1,
    JOURNAL_REGISTRY_KEY = 2,      // "HKLM\" + a key this run created
    JOURNAL_SERVICE_STARTED = 3,
    JOURNAL_SERVICE = 4,
    JOURNAL_PNP_DEVICE = 5,
    JOURNAL_DRIVER_PACKAGE = 6,    // an INF this run added to the driver store
};

// One registry value as it was before the run changed its key: name, type and
// data exactly as stored.
struct SavedRegistryValue {
    std::u16string name;
    std::string data;  // binary-safe: the value's bytes
    uint32_t type = 0;
};

// One change the firewall step made, with what undoes it.
struct FirewallChange {
    enum Kind : int32_t {
        RULE_ADDED = 1,
        RULE_CHANGED = 2,
        APPLICATION_ADDED = 3,
        APPLICATION_CHANGED = 4,
    };
    int32_t kind = RULE_ADDED;
    std::u16string name;  // the rule's name (rules)
    std::u16string path;  // the program's path
    int32_t direction = 0;        // rules: inbound 1, outbound 2
    int32_t previousEnabled = 0;  // *_CHANGED: 0 or 1
    int32_t previousAction = 0;   // RULE_CHANGED: block 0, allow 1
};

enum class RecordKind : uint16_t {
    // m_journal[key] = kind (a file, folder, key, service, device or package
    // the run is about to create)
    Entry = 1,
    // The backup of a target is complete: m_backups[target] = backup.
    Backup = 2,
    // The target itself stays as it was; only a replacement at the restart
    // waits for it.
    TargetDeferred = 3,
    // The run is about to write a target it had only deferred so far.
    TargetWritten = 4,
    ServiceStarted = 5,
    // A key's values as they were before the run.
    KeySaved = 6,
    // The restart's rename list before the run's first change to it.
    RenamesBefore = 7,
    // A replacement of a target by a temporary file at the restart.
    ReplacementScheduled = 8,
    ReplacementCancelled = 9,
    // Work a rollback or a commit left for the restart (restores, deletions).
    RestartWork = 10,
    // The rename list as the run's last change left it.
    RenamesAfter = 11,
    Firewall = 12,
    // The run is final; nothing of it is undone any more.
    Committed = 13,
    // The journal's first record: its format and the product it belongs to.
    Header = 20,
    // A run starts (what kind of run: install or uninstall).
    RunBegun = 21,
    // The run's rollback is done; what it left for the restart stays named.
    RolledBack = 22,
    // A package is about to be handed to the driver store (by copying the
    // INF, or by a device's driver install): the INF, the device's hardware
    // id when a device install does it, and the store's INF names before.
    PackageIntent = 23,
    // The package the store took for that INF is journaled (or was there).
    PackageResolved = 24,
    // The SetupAPI logging level before the run raised it, and its restore.
    LogLevelRaised = 25,
    LogLevelRestored = 26,
    // An uninstall's changes, each undone by putting the thing back.
    ServiceStopped = 30,    // a service that ran is stopped
    DeviceRemoved = 31,     // the devices of a hardware id go; the INF that installs them
    PackageRemoved = 32,    // a package leaves the store; where a copy of its INF is kept
    ServiceRemoved = 33,    // a service is deleted (its key's values are saved before)
    DirectoryRemoved = 34,  // a folder goes
    RemovalScheduled = 35,  // a file in use goes at the restart
    FirewallRemoved = 36,   // a firewall entry the installation made goes
};

enum : int32_t {
    RUN_INSTALL = 1,
    RUN_UNINSTALL = 2,
    // An installation made without a journal, recorded as it stands: never
    // rolled back (it changed nothing), only dropped when cut short.
    RUN_TAKEOVER = 3,
};

struct JournalRecord {
    RecordKind kind = RecordKind::Entry;
    std::vector<std::string> fields;  // byte strings; their meaning by kind

    static JournalRecord MakeEntry(const std::string& key, int32_t journalKind);
    static JournalRecord MakeBackup(const std::string& target, const std::string& backup);
    static JournalRecord MakeTarget(RecordKind kind, const std::string& target);
    static JournalRecord MakeServiceStarted(const std::string& name);
    static JournalRecord MakeKeySaved(const std::string& subkey, const std::vector<SavedRegistryValue>& values);
    static JournalRecord MakeRenameList(RecordKind kind, bool exists, const std::string& bytes);
    static JournalRecord MakeReplacement(RecordKind kind, const RenamePair& pair);
    // Blocking work (a rollback's restores, an uninstall's deletions) keeps
    // every later run of the product waiting for the restart.
    static JournalRecord MakeRestartWork(const std::vector<RenamePair>& pairs, bool blocking);
    static JournalRecord MakeFirewall(const FirewallChange& change);
    static JournalRecord MakeCommitted();
    static JournalRecord MakeHeader(const std::string& productKey);
    static JournalRecord MakeRunBegun(int32_t runKind);
    static JournalRecord MakeRolledBack();
    static JournalRecord MakePackageIntent(const std::string& inf, const std::string& hardwareId,
                                           const std::vector<std::string>& storeInfs, const std::string& catalogName,
                                           bool catalogExisted, bool catalogFolderExisted);
    static JournalRecord MakePackageResolved(const std::string& inf);
    static JournalRecord MakeLogLevelRaised(uint32_t type, const std::string& value);
    static JournalRecord MakeLogLevelRestored();
    static JournalRecord MakeText(RecordKind kind, const std::string& text);
    static JournalRecord MakeTexts(RecordKind kind, const std::string& first, const std::string& second);
    static JournalRecord MakeRemoval(const std::vector<RenamePair>& pairs);
    static JournalRecord MakeFirewallRemoved(const FirewallChange& change);
};

// The texts of a field that holds several, each followed by a zero byte.
std::string JoinTexts(const std::vector<std::string>& texts);
std::vector<std::string> SplitTexts(const std::string& field);

// Field codecs; each decoder answers false for bytes it cannot read whole.
std::string EncodeInt(int32_t value);
bool DecodeInt(const std::string& field, int32_t* value);
std::string EncodeText16(const std::u16string& text);
bool DecodeText16(const std::string& field, std::u16string* text);
std::string EncodeValues(const std::vector<SavedRegistryValue>& values);
bool DecodeValues(const std::string& field, std::vector<SavedRegistryValue>* values);
std::string EncodePairs(const std::vector<RenamePair>& pairs);
bool DecodePairs(const std::string& field, std::vector<RenamePair>* pairs);
std::string EncodeFirewall(const FirewallChange& change);
bool DecodeFirewall(const std::string& field, FirewallChange* change);
