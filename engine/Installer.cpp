#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/JournalFile.h"
#include "engine/PlatformCalls.h"
#include "package/PackedTools.h"
#include "process/SetupLogApi.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// Creation checks (server numbering; the product's shift is added).
constexpr int LOC_LOG_WRITER = 49;
constexpr int LOC_NOT_ADMIN = 61;
constexpr int LOC_SERVICE_MANAGER = 70;
constexpr int LOC_PACKAGE_READER = 104;
// The journal (server numbering of the operations; the product's shift is added).
constexpr int LOC_JOURNAL_WRITE = 2105;

constexpr DWORD CODE_NOT_ADMIN = 1313;
constexpr DWORD SC_MANAGER_ACCESS = 0xF003F;
constexpr DWORD TOKEN_GROUPS_BUFFER = 0x10000;
constexpr DWORD OSVERSIONINFOEXA_SIZE = 156;

const char* const LOG_NO_ADMIN = "Error: No such admin privilege";
const char* const LOG_NO_SCM = "Error: Init Service Control Manager";
const char* const LOG_NO_INSTALLER = "Error: Init installer";
const char* const LOG_REBOOT_REQUIRED = "Warning: === Reboot required to complete operation ===";
const char* const LOG_BACKUPS_KEPT = "Warning: === Rollback not completed, backup files kept ===";
const char* const LOG_BACKUP_KEPT = "Backup File Kept: ";
const char* const LOG_STEP_FAILED = "Warning: Rollback step failed: ";
const char* const LOG_BACKUP_AT_RESTART = "Warning: Backup File Deleted At Restart: ";
const char* const LOG_LEFTOVER_DELETED = "Leftover of a finished run deleted: ";
const char* const LOG_JOURNAL_NOT_WRITTEN = "Warning: Journal not updated: ";

const wchar_t* const SETUP_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
const wchar_t* const LOG_LEVEL_VALUE = L"LogLevel";

[[noreturn]] void ThrowCreation(const EngineSiteShift& shift, int location, DWORD code)
{
    ThrowExceptionEx(MODULE_INSTALLER, location + shift.creation, code);
}

bool Gone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void ErasePairs(const std::vector<RenamePair>& gone, std::vector<RenamePair>* pairs)
{
    for (const RenamePair& pair : gone) {
        for (auto at = pairs->begin(); at != pairs->end();) {
            if (*at == pair)
                at = pairs->erase(at);
            else
                ++at;
        }
    }
}

}  // namespace

CInstaller::CInstaller(HANDLE setupLog, int captureSetupApiLog, EngineSiteShift shift)
    : m_shift(shift)
{
    srand(GetTickCount());

    try {
        m_pSetupLog = std::make_unique<CSetupLogApi>(setupLog);
    } catch (const std::bad_alloc&) {
        ThrowCreation(m_shift, LOC_LOG_WRITER, GetLastError());
    }

    // From here on a failed check still ends the capture: the members are
    // destroyed as the exception leaves, so "LogLevel" goes back and the
    // Service Control Manager connection is closed.
    if (captureSetupApiLog)
        m_pSetupLog->StartCapture();

    if (!IsUserAdmin()) {
        WriteLog(LOG_NO_ADMIN);
        ThrowCreation(m_shift, LOC_NOT_ADMIN, CODE_NOT_ADMIN);
    }

    m_hSCManager.reset(EngineCalls().OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ACCESS));
    if (!m_hSCManager) {
        const DWORD error = GetLastError();
        WriteLog(LOG_NO_SCM);
        ThrowCreation(m_shift, LOC_SERVICE_MANAGER, error);
    }

    DetectOsClass();

    try {
        m_pPackedTools = std::make_unique<CPackedTools>();
    } catch (const std::bad_alloc&) {
        const DWORD error = GetLastError();
        WriteLog(LOG_NO_INSTALLER);
        ThrowCreation(m_shift, LOC_PACKAGE_READER, error);
    }
    if (const int32_t status = m_pPackedTools->Status()) {
        // The status itself is the error's identity: high half module, low half location.
        const uint32_t bits = static_cast<uint32_t>(status);
        throw new CExceptionEx(static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits & 0xFFFF),
                               ERROR_INTERNAL_ERROR);
    }

    EnsureRunOnceKey();

    m_restartRequired = 0;
    m_pRestartRequired = &m_restartRequired;
}

CInstaller::~CInstaller()
{
    // Never a commit here: a run that neither succeeded nor finished its
    // rollback (a fault in the rollback) leaves the backups, the only copies
    // of what it overwrote, in place.
    KeepBackups();
    m_hSCManager.reset();
    // Ending the capture puts the logging level back; the journal then says
    // so, where it still names the raise.
    m_pSetupLog.reset();
    if (m_logLevelJournaled && m_pJournalFile && m_pJournalFile->Exists()) {
        DWORD error = 0;
        if (!m_pJournalFile->Append(JournalRecord::MakeLogLevelRestored(), &error))
            WriteLog(LOG_JOURNAL_NOT_WRITTEN, "LogLevel");
    }
    m_pJournalFile.reset();
    m_pPackedTools.reset();
}

void CInstaller::WriteLog(const char* message, const char* text) noexcept
{
    if (m_pSetupLog)
        m_pSetupLog->WriteLine(message, text);
}

int32_t CInstaller::LoadPackage()
{
    m_pPackedTools->LoadPackage();
    return m_pPackedTools->Status();
}

void CInstaller::Journal(const JournalRecord& record)
{
    if (m_pJournalFile) {
        DWORD error = 0;
        if (!m_runBegun) {
            // The run's records start with its first change; a run that
            // changes nothing leaves no trace.
            m_runStart = m_pJournalFile->Exists() ? m_pJournalFile->Length() : 0;
            if (!m_pJournalFile->Append(JournalRecord::MakeRunBegun(m_runKind), &error))
                ThrowAt(LOC_JOURNAL_WRITE, error);
            m_runBegun = true;
            if (m_captureWanted && m_pSetupLog) {
                m_captureWanted = false;
                m_pSetupLog->StartCapture([this](DWORD type, DWORD value) {
                    DWORD failure = 0;
                    const std::string bytes(reinterpret_cast<const char*>(&value), sizeof value);
                    if (!m_pJournalFile->Append(JournalRecord::MakeLogLevelRaised(type, bytes), &failure))
                        ThrowAt(LOC_JOURNAL_WRITE, failure);
                    m_logLevelJournaled = true;
                });
            }
        }
        if (!m_pJournalFile->Append(record, &error)) {
            // A rollback goes on without its journal: its steps are safe to
            // repeat, and the records before still describe what to undo.
            if (!m_rollingBack)
                ThrowAt(LOC_JOURNAL_WRITE, error);
            if (!m_journalWarned)
                WriteLog(LOG_JOURNAL_NOT_WRITTEN, m_pJournalFile->Path().c_str());
            m_journalWarned = true;
        }
    }
    if (m_recordCopy != nullptr)
        m_recordCopy->push_back(record);
    Apply(record);
}

void CInstaller::AttachJournal(std::unique_ptr<CJournalFile> journal, int32_t runKind)
{
    m_pJournalFile = std::move(journal);
    m_runKind = runKind;
    m_runBegun = false;
    m_journalHeldRuns = m_pJournalFile && !m_pJournalFile->Runs().committed.empty();
}

void CInstaller::RestoreLogLevel(const JournalRecord& raised) noexcept
{
    if (raised.fields.size() < 2)
        return;
    int32_t type = REG_DWORD;
    DecodeInt(raised.fields[0], &type);
    const std::string& value = raised.fields[1];
    fw::CRegKey key;
    LONG result = EngineCalls().RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETUP_KEY, 0, KEY_SET_VALUE, key.put());
    if (result == ERROR_SUCCESS)
        result = SetValueExactly(key.get(), LOG_LEVEL_VALUE, static_cast<DWORD>(type), value);
    if (result != ERROR_SUCCESS) {
        RollbackStepFailed("RestoreLogLevel", "LogLevel", static_cast<DWORD>(result));
        return;
    }
    if (m_pJournalFile && m_pJournalFile->Exists()) {
        DWORD error = 0;
        if (!m_pJournalFile->Append(JournalRecord::MakeLogLevelRestored(), &error))
            WriteLog(LOG_JOURNAL_NOT_WRITTEN, "LogLevel");
    }
}

void CInstaller::LoadRun(const std::vector<JournalRecord>& records, uint64_t offset)
{
    for (const JournalRecord& record : records)
        Apply(record);
    if (offset != 0) {
        m_runBegun = true;
        m_runStart = offset;
    }
}

void CInstaller::FinishRollback() noexcept
{
    if (!m_pJournalFile || !m_runBegun)
        return;
    DWORD error = 0;
    bool done = false;
    if (m_blockingRestartWork) {
        // Its restores and deletions wait for the restart: until then no
        // other run of the product may start.
        done = m_pJournalFile->Append(JournalRecord::MakeRolledBack(), &error);
    } else if (!m_journalHeldRuns) {
        // The record of a first run goes with it, and its folder.
        done = m_pJournalFile->Remove(&error);
    } else {
        // The record of the installation, exactly as it was before the run.
        done = m_pJournalFile->TruncateTo(m_runStart, &error);
    }
    if (!done)
        RollbackStepFailed("FinishRollback", m_pJournalFile->Path(), error);
    else
        m_runBegun = false;
}

void CInstaller::ResetRun() noexcept
{
    m_journal.clear();
    m_startedServices.clear();
    m_backups.clear();
    m_deferredOnly.clear();
    m_renames = PendingRenameState();
    m_replacements.clear();
    m_savedServiceValues.clear();
    m_firewallChanges.clear();
    m_packageIntents.clear();
    m_blockingRestartWork = false;
    m_stoppedServices.clear();
    m_removedDevices.clear();
    m_removedPackages.clear();
    m_removedServices.clear();
    m_removedDirectories.clear();
    m_removals.clear();
    m_removedFirewall.clear();
    m_committed = false;
    m_rollbackIncomplete = false;
    m_rollingBack = false;
    m_runBegun = false;
    m_journalHeldRuns = m_pJournalFile && (m_journalHeldRuns || m_pJournalFile->Exists());
}

void CInstaller::Apply(const JournalRecord& record)
{
    const std::vector<std::string>& f = record.fields;
    const auto field = [&f](size_t i) -> const std::string& {
        static const std::string none;
        return i < f.size() ? f[i] : none;
    };
    switch (record.kind) {
    case RecordKind::Entry: {
        int32_t kind = JOURNAL_FILE;
        DecodeInt(field(1), &kind);
        m_journal[field(0)] = kind;
        break;
    }
    case RecordKind::Backup:
        // From now on the copy is a backup to restore, no longer a file to delete.
        m_backups[field(0)] = field(1);
        m_journal.erase(field(1));
        break;
    case RecordKind::TargetDeferred:
        m_deferredOnly.insert(field(0));
        break;
    case RecordKind::TargetWritten:
        m_deferredOnly.erase(field(0));
        break;
    case RecordKind::ServiceStarted:
        m_startedServices[field(0)] = JOURNAL_SERVICE_STARTED;
        break;
    case RecordKind::KeySaved: {
        std::vector<SavedRegistryValue> values;
        if (DecodeValues(field(1), &values) && m_savedServiceValues.count(field(0)) == 0)
            m_savedServiceValues[field(0)] = std::move(values);
        break;
    }
    case RecordKind::RenamesBefore: {
        int32_t exists = 0;
        DecodeInt(field(0), &exists);
        if (!m_renames.touched) {
            m_renames.touched = true;
            m_renames.existedBefore = exists != 0;
            m_renames.bytesBefore = field(1);
            m_renames.existsAfter = exists != 0;
            m_renames.bytesAfter = field(1);
        }
        break;
    }
    case RecordKind::RenamesAfter: {
        int32_t exists = 0;
        DecodeInt(field(0), &exists);
        m_renames.existsAfter = exists != 0;
        m_renames.bytesAfter = field(1);
        break;
    }
    case RecordKind::ReplacementScheduled:
    case RecordKind::RestartWork: {
        std::vector<RenamePair> pairs;
        if (!DecodePairs(field(0), &pairs))
            break;
        int32_t blocking = 0;
        if (record.kind == RecordKind::RestartWork && DecodeInt(field(1), &blocking) && blocking != 0)
            m_blockingRestartWork = true;
        m_renames.scheduled.insert(m_renames.scheduled.end(), pairs.begin(), pairs.end());
        if (record.kind == RecordKind::ReplacementScheduled)
            m_replacements.insert(m_replacements.end(), pairs.begin(), pairs.end());
        break;
    }
    case RecordKind::ReplacementCancelled: {
        std::vector<RenamePair> pairs;
        if (DecodePairs(field(0), &pairs)) {
            ErasePairs(pairs, &m_renames.scheduled);
            ErasePairs(pairs, &m_replacements);
            ErasePairs(pairs, &m_removals);
        }
        break;
    }
    case RecordKind::Firewall: {
        FirewallChange change;
        if (DecodeFirewall(field(0), &change))
            m_firewallChanges.push_back(change);
        break;
    }
    case RecordKind::Committed:
        m_committed = true;
        break;
    case RecordKind::PackageIntent: {
        PackageIntent intent;
        intent.hardwareId = field(1);
        for (const std::string& name : SplitTexts(field(2)))
            intent.before.infNames.insert(name);
        intent.before.catalogName = field(3);
        int32_t flag = 0;
        intent.before.catalogExisted = DecodeInt(field(4), &flag) && flag != 0;
        flag = 0;
        intent.before.catalogFolderExisted = DecodeInt(field(5), &flag) && flag != 0;
        m_packageIntents[field(0)] = std::move(intent);
        break;
    }
    case RecordKind::PackageResolved:
        m_packageIntents.erase(field(0));
        break;
    case RecordKind::ServiceStopped:
        m_stoppedServices.push_back(field(0));
        break;
    case RecordKind::DeviceRemoved:
        m_removedDevices[field(0)] = field(1);
        break;
    case RecordKind::PackageRemoved:
        m_removedPackages[field(0)] = field(1);
        break;
    case RecordKind::ServiceRemoved:
        m_removedServices.push_back(field(0));
        break;
    case RecordKind::DirectoryRemoved:
        m_removedDirectories.insert(field(0));
        break;
    case RecordKind::RemovalScheduled: {
        std::vector<RenamePair> pairs;
        if (DecodePairs(field(0), &pairs)) {
            m_removals.insert(m_removals.end(), pairs.begin(), pairs.end());
            m_renames.scheduled.insert(m_renames.scheduled.end(), pairs.begin(), pairs.end());
        }
        break;
    }
    case RecordKind::FirewallRemoved: {
        FirewallChange change;
        if (DecodeFirewall(field(0), &change))
            m_removedFirewall.push_back(change);
        break;
    }
    case RecordKind::Header:
    case RecordKind::RunBegun:
    case RecordKind::RolledBack:
    case RecordKind::LogLevelRaised:
    case RecordKind::LogLevelRestored:
        break;
    }
}

void CInstaller::CommitInstall()
{
    // The decision comes first: once it is recorded, the run is final and
    // nothing of it is undone any more, whatever happens while the backups go.
    Journal(JournalRecord::MakeCommitted());
    for (const auto& backup : m_backups) {
        if (EngineCalls().DeleteFileA(backup.second.c_str()) || Gone(GetLastError()))
            continue;
        // A backup held open by someone is no reason to fail a finished run.
        if (DeleteAtRestart(backup.second, false))
            WriteLog(LOG_BACKUP_AT_RESTART, backup.second.c_str());
        else
            WriteLog(LOG_BACKUP_KEPT, (backup.second + " (" + backup.first + ")").c_str());
    }
    m_backups.clear();
    m_deferredOnly.clear();
    m_savedServiceValues.clear();
    m_firewallChanges.clear();
    // A later change in this process is a run of its own.
    m_runBegun = false;
    m_journalHeldRuns = m_pJournalFile != nullptr;
}

void CInstaller::FinishCommittedRun(const std::vector<JournalRecord>& records, int32_t runKind) noexcept
{
    std::vector<std::string> leftAtRestart;
    try {
        std::vector<std::string> files;
        std::vector<std::string> folders;
        for (const JournalRecord& record : records) {
            const std::vector<std::string>& f = record.fields;
            int32_t kind = 0;
            if (record.kind == RecordKind::Backup && f.size() >= 2)
                files.push_back(f[1]);
            else if (runKind == RUN_UNINSTALL && record.kind == RecordKind::Entry && f.size() >= 2 &&
                     DecodeInt(f[1], &kind) && kind == JOURNAL_FILE)
                files.push_back(f[0]);
            else if (runKind == RUN_UNINSTALL && record.kind == RecordKind::Entry && f.size() >= 2 &&
                     DecodeInt(f[1], &kind) && kind == JOURNAL_DIRECTORY)
                folders.push_back(f[0]);
        }
        EnginePlatformCalls& calls = EngineCalls();
        for (const std::string& file : files) {
            if (calls.DeleteFileA(file.c_str()))
                WriteLog(LOG_LEFTOVER_DELETED, file.c_str());
            else if (!Gone(GetLastError()))
                leftAtRestart.push_back(file);
        }
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
            if (calls.RemoveDirectoryA(folder->c_str()))
                WriteLog(LOG_LEFTOVER_DELETED, folder->c_str());
            else if (!Gone(GetLastError()))
                leftAtRestart.push_back(*folder);
        }
    } catch (...) {
        // Out of memory: what is left stays, as it would have without this.
    }
    // Not journaled: no run of this process has begun, and these names are
    // nobody's any more.
    if (!leftAtRestart.empty())
        DeleteLeftoversAtRestart(leftAtRestart);
}

void CInstaller::PrepareRollback()
{
    *m_pRestartRequired = 0;
    m_rollingBack = true;
}

void CInstaller::KeepBackups() noexcept
{
    try {
        // The run's own replacements must never land over a half-restored
        // machine, or over a backup the user copied back by hand.
        if (!m_committed && !m_replacements.empty()) {
            const std::vector<RenamePair> replacements = m_replacements;
            const DWORD error = CancelRenames(replacements);
            if (error != ERROR_SUCCESS) {
                for (const RenamePair& pair : replacements)
                    RollbackStepFailed("CancelReplacement", Narrow(pair.source), error);
                SetRestartRequired();
            }
        }
        if (m_backups.empty() && !m_rollbackIncomplete)
            return;
        WriteLog(LOG_BACKUPS_KEPT);
        for (const auto& backup : m_backups)
            WriteLog(LOG_BACKUP_KEPT, (backup.second + " (" + backup.first + ")").c_str());
    } catch (...) {
        // Out of memory while naming them: the backups stay all the same.
    }
    // From here on nothing of the engine refers to them: no commit deletes them.
    m_backups.clear();
    m_deferredOnly.clear();
    m_rollbackIncomplete = false;
}

void CInstaller::SetRestartRequired() noexcept
{
    *m_pRestartRequired = 1;
    WriteLog(LOG_REBOOT_REQUIRED);
}

void CInstaller::RollbackStepFailed(const char* step, const std::string& subject, DWORD error) noexcept
{
    m_rollbackIncomplete = true;
    char code[32];
    snprintf(code, sizeof code, " (error 0x%.8lx)", static_cast<unsigned long>(error));
    try {
        WriteLog(LOG_STEP_FAILED, (std::string(step) + " " + subject + code).c_str());
    } catch (...) {
        WriteLog(LOG_STEP_FAILED, step);
    }
}

void CInstaller::ThrowAt(int location, DWORD code) const
{
    ThrowExceptionEx(MODULE_INSTALLER, location + m_shift.operation, code);
}

std::unique_ptr<CExceptionEx> CInstaller::ErrorAt(int location, DWORD code) const
{
    return std::make_unique<CExceptionEx>(MODULE_INSTALLER,
                                          static_cast<uint16_t>(location + m_shift.operation), code);
}

void CInstaller::JournalFirewallChange(const FirewallChange& change)
{
    Journal(JournalRecord::MakeFirewall(change));
}

bool CInstaller::IsUserAdmin()
{
    EnginePlatformCalls& calls = EngineCalls();

    HANDLE rawToken = nullptr;
    if (!calls.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken))
        return false;
    fw::CKernelHandle token(rawToken);

    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[TOKEN_GROUPS_BUFFER]);
    if (!buffer)
        return false;
    DWORD returned = 0;
    const BOOL read = calls.GetTokenInformation(token.get(), TokenGroups, buffer.get(),
                                                TOKEN_GROUPS_BUFFER, &returned);
    token.reset();
    if (!read)
        return false;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    fw::CSid administrators;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, administrators.put()))
        return false;

    // Attributes are not examined: a deny-only group still counts.
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if (EqualSid(groups->Groups[i].Sid, administrators.get()))
            return true;
    }
    return false;
}

void CInstaller::DetectOsClass()
{
    m_osClass = OS_CLASS_UNKNOWN;
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = OSVERSIONINFOEXA_SIZE;
    EngineCalls().GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    if (version.dwMajorVersion == 6)
        m_osClass = version.wProductType == VER_NT_WORKSTATION ? OS_CLASS_NT6_WORKSTATION
                                                               : OS_CLASS_NT6_SERVER;
    else
        m_osClass = OS_CLASS_OTHER;
}

void DebugPrint(const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    buffer[sizeof buffer - 1] = '\0';
    OutputDebugStringA(buffer);
}
