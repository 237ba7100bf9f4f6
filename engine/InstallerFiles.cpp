#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/PlatformCalls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Throw sites (server numbering; the product's shift is added).
constexpr int LOC_BACKUP_COPY = 420;
constexpr int LOC_CREATE_TARGET = 615;
constexpr int LOC_CREATE_TEMP = 637;
constexpr int LOC_SHORT_WRITE_TEMP = 647;
constexpr int LOC_SCHEDULE_REPLACE = 656;
constexpr int LOC_SHORT_WRITE_TARGET = 673;
constexpr int LOC_CREATE_DIRECTORY = 720;

constexpr int TEMP_NAME_DIGITS = 8;
// Tries at a temporary name that no file has yet.
constexpr int TEMP_NAME_ATTEMPTS = 16;
// A list that keeps growing while it is read is given up after this many reads.
constexpr int RENAME_READ_ATTEMPTS = 4;
constexpr DWORD COMPARE_CHUNK = 64 * 1024;

const char* const LOG_INSTALL_FILE = "Install File: ";
const char* const LOG_CREATE_DIRECTORY = "CreateDirectory: ";
const char* const LOG_REMOVE_FILE = "RemoveInstallFiles: ";
const char* const LOG_ROLL_BACK_FILE = "RollBackInstallFiles: ";
const char* const LOG_LEFTOVERS_KEPT = "Warning: Uninstaller files not deleted at restart";

const char* const TEMP_SUFFIX = ".tmp";
const char* const BACKUP_SUFFIX = ".backup";

const wchar_t* const SESSION_MANAGER_KEY = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t* const PENDING_RENAMES_VALUE = L"PendingFileRenameOperations";

std::string JoinPath(const std::string& directory, const std::string& fileName)
{
    return directory + "\\" + fileName;
}

// Opens (creating or truncating) a file for the one write that fills it.
fw::CFileHandle CreateForWrite(const std::string& path)
{
    return fw::CFileHandle(EngineCalls().CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                     FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Truncates at the current position and writes the whole buffer at once;
// false when fewer bytes than asked went out.
bool WriteWhole(HANDLE file, const void* data, uint32_t size)
{
    EngineCalls().SetEndOfFile(file);
    DWORD written = 0;
    // A zero-length write still needs a valid buffer pointer.
    const void* bytes = data != nullptr ? data : "";
    EngineCalls().WriteFile(file, bytes, size, &written, nullptr);
    return written >= size;
}

// A file that is not there any more needs no deleting.
bool Gone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

enum class PathState { Absent, Present, Unknown };

// Whether anything stands at the path; Unknown, with the error, when the
// question itself failed.
PathState Probe(const std::string& path, DWORD* error)
{
    if (EngineCalls().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return PathState::Present;
    *error = GetLastError();
    return Gone(*error) ? PathState::Absent : PathState::Unknown;
}

// The rename list's bytes as stored, with their type; ERROR_SUCCESS and
// *exists false when there is none.
// Whether two files hold the same bytes; false when either cannot be read.
bool SameBytes(const std::string& first, const std::string& second)
{
    EnginePlatformCalls& calls = EngineCalls();
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    fw::CFileHandle a(calls.CreateFileA(first.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    fw::CFileHandle b(calls.CreateFileA(second.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!a || !b)
        return false;
    std::vector<char> left(COMPARE_CHUNK);
    std::vector<char> right(COMPARE_CHUNK);
    for (;;) {
        DWORD readLeft = 0;
        DWORD readRight = 0;
        if (!calls.ReadFile(a.get(), left.data(), COMPARE_CHUNK, &readLeft, nullptr) ||
            !calls.ReadFile(b.get(), right.data(), COMPARE_CHUNK, &readRight, nullptr))
            return false;
        if (readLeft != readRight || memcmp(left.data(), right.data(), readLeft) != 0)
            return false;
        if (readLeft == 0)
            return true;
    }
}

LONG ReadRenameList(HKEY key, bool* exists, std::string* bytes, DWORD* type)
{
    EnginePlatformCalls& calls = EngineCalls();
    for (int attempt = 0; attempt < RENAME_READ_ATTEMPTS; ++attempt) {
        DWORD size = 0;
        LONG result = calls.RegQueryValueExW(key, PENDING_RENAMES_VALUE, nullptr, type, nullptr, &size);
        if (result == ERROR_FILE_NOT_FOUND) {
            *exists = false;
            bytes->clear();
            return ERROR_SUCCESS;
        }
        if (result != ERROR_SUCCESS)
            return result;
        std::string data(size + 1, '\0');  // never a zero-size buffer
        DWORD read = size;
        result = calls.RegQueryValueExW(key, PENDING_RENAMES_VALUE, nullptr, type,
                                        reinterpret_cast<BYTE*>(&data[0]), &read);
        if (result == ERROR_MORE_DATA)
            continue;  // another program added to it in between
        if (result != ERROR_SUCCESS)
            return result;
        data.resize(read);
        *exists = true;
        *bytes = std::move(data);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

LONG WriteRenameList(HKEY key, bool exists, const std::string& bytes, DWORD type)
{
    if (!exists) {
        const LONG result = EngineCalls().RegDeleteValueW(key, PENDING_RENAMES_VALUE);
        return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
    }
    return SetValueExactly(key, PENDING_RENAMES_VALUE, type, bytes);
}

LONG OpenRenameKey(fw::CRegKey* key)
{
    return EngineCalls().RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                       key->put());
}

}  // namespace

std::string CInstaller::MakeTempFileName(const std::string& fileName, const std::string& directory)
{
    // The name must be new: a file of that name could be another program's,
    // or an older backup still needed, and a rollback deletes what it made.
    static unsigned salt = 0;
    std::string name;
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
        srand(GetTickCount() + salt++);
        name = JoinPath(directory, fileName) + "_";
        for (int i = 0; i < TEMP_NAME_DIGITS; ++i)
            name += static_cast<char>('1' + rand() % 9);
        name += TEMP_SUFFIX;
        DWORD error = 0;
        if (Probe(name, &error) == PathState::Absent && Probe(name + BACKUP_SUFFIX, &error) == PathState::Absent)
            break;
    }
    return name;
}

bool CInstaller::BackupFile(const std::string& fileName, const std::string& directory)
{
    const std::string target = JoinPath(directory, fileName);
    // The first backup of a run holds the state before it; a second one would
    // hold the run's own bytes. A file the run created has nothing to keep.
    if (m_backups.count(target) != 0)
        return false;
    const auto journaled = m_journal.find(target);
    if (journaled != m_journal.end() && journaled->second == JOURNAL_FILE)
        return false;

    const std::string backup = MakeTempFileName(fileName, directory) + BACKUP_SUFFIX;
    // Never over an existing file: that could be an older backup still needed.
    DWORD error = 0;
    const PathState state = Probe(backup, &error);
    if (state != PathState::Absent)
        ThrowAt(LOC_BACKUP_COPY, state == PathState::Present ? ERROR_FILE_EXISTS : error);
    // A copy cut short goes with a rollback; only a whole one is a backup.
    Journal(JournalRecord::MakeEntry(backup, JOURNAL_FILE));
    EnginePlatformCalls& calls = EngineCalls();
    if (!calls.CopyFileA(target.c_str(), backup.c_str(), TRUE))
        ThrowAt(LOC_BACKUP_COPY, GetLastError());
    // On disk before the target changes: a backup that a power loss could
    // still take away would be no backup.
    fw::CFileHandle copy(calls.CreateFileA(backup.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy || !calls.FlushFileBuffers(copy.get())) {
        const DWORD error = GetLastError();
        // A copy that is no backup must not outlive a run that goes on
        // without it (an optional link's failure is only a warning).
        copy.reset();
        calls.DeleteFileA(backup.c_str());
        ThrowAt(LOC_BACKUP_COPY, error);
    }
    copy.reset();
    try {
        Journal(JournalRecord::MakeBackup(target, backup));
    } catch (CExceptionEx*) {
        // Unrecorded, the copy is no backup either, and the run may go on.
        calls.DeleteFileA(backup.c_str());
        throw;
    }
    return true;
}

void CInstaller::InstallFile(const std::string& fileName, const std::string& directory,
                             const void* data, uint32_t size)
{
    const std::string target = JoinPath(directory, fileName);
    WriteLog(LOG_INSTALL_FILE, target.c_str());

    DWORD error = 0;
    const PathState state = Probe(target, &error);
    if (state == PathState::Unknown)
        ThrowAt(LOC_CREATE_TARGET, error);

    fw::CFileHandle file;
    if (state == PathState::Absent) {
        Journal(JournalRecord::MakeEntry(target, JOURNAL_FILE));
        file = CreateForWrite(target);
        if (!file)
            ThrowAt(LOC_CREATE_TARGET, GetLastError());
    } else {
        const bool firstBackup = BackupFile(fileName, directory);
        // Opening it for writing truncates it: from then on the backup must go back.
        const bool deferredBefore = m_deferredOnly.count(target) != 0;
        if (deferredBefore)
            Journal(JournalRecord::MakeTarget(RecordKind::TargetWritten, target));
        file = CreateForWrite(target);
        if (!file) {
            // The target is in use: the new content waits beside it and
            // replaces it at the next restart. Until then the target is as it
            // was, and a rollback only has to call the replacement off.
            if (firstBackup || deferredBefore)
                Journal(JournalRecord::MakeTarget(RecordKind::TargetDeferred, target));
            const std::string temp = MakeTempFileName(fileName, directory);
            Journal(JournalRecord::MakeEntry(temp, JOURNAL_FILE));
            fw::CFileHandle tempFile = CreateForWrite(temp);
            if (!tempFile)
                ThrowAt(LOC_CREATE_TEMP, GetLastError());

            const bool complete = WriteWhole(tempFile.get(), data, size);
            const DWORD writeError = complete ? ERROR_SUCCESS : GetLastError();
            tempFile.reset();

            SetRestartRequired();
            ScheduleRenames({ReplacePair(temp, target)}, LOC_SCHEDULE_REPLACE, RenameRole::Replacement);
            if (!complete)
                ThrowAt(LOC_SHORT_WRITE_TEMP, writeError);
            return;
        }
    }

    if (!WriteWhole(file.get(), data, size))
        ThrowAt(LOC_SHORT_WRITE_TARGET, GetLastError());
    file.reset();
}

void CInstaller::CreateInstallDirectory(const std::string& path)
{
    WriteLog(LOG_CREATE_DIRECTORY, path.c_str());
    // A folder that was there before is the user's: it is not journaled and
    // survives a rollback.
    DWORD error = 0;
    const PathState state = Probe(path, &error);
    if (state == PathState::Present)
        return;
    if (state == PathState::Unknown)
        ThrowAt(LOC_CREATE_DIRECTORY, error);
    Journal(JournalRecord::MakeEntry(path, JOURNAL_DIRECTORY));
    if (!EngineCalls().CreateDirectoryA(path.c_str(), nullptr))
        ThrowAt(LOC_CREATE_DIRECTORY, GetLastError());
}

void CInstaller::ScheduleRenames(const std::vector<RenamePair>& pairs, int location, RenameRole role)
{
    fw::CRegKey key;
    LONG result = OpenRenameKey(&key);
    if (result != ERROR_SUCCESS)
        ThrowAt(location, static_cast<DWORD>(result));
    // Read again right before the write: an entry another installer added
    // meanwhile stays.
    bool exists = false;
    std::string bytes;
    DWORD type = REG_MULTI_SZ;
    result = ReadRenameList(key.get(), &exists, &bytes, &type);
    if (result != ERROR_SUCCESS)
        ThrowAt(location, static_cast<DWORD>(result));
    if (!m_renames.touched)
        Journal(JournalRecord::MakeRenameList(RecordKind::RenamesBefore, exists, bytes));
    switch (role) {
    case RenameRole::Replacement:
        for (const RenamePair& pair : pairs)
            Journal(JournalRecord::MakeReplacement(RecordKind::ReplacementScheduled, pair));
        break;
    case RenameRole::Removal:
        Journal(JournalRecord::MakeRemoval(pairs));
        break;
    case RenameRole::RestartWork:
    case RenameRole::Cleanup:
        Journal(JournalRecord::MakeRestartWork(pairs, role == RenameRole::RestartWork));
        break;
    }
    const std::string updated = AddRenamePairs(bytes, pairs);
    result = WriteRenameList(key.get(), true, updated, exists ? type : REG_MULTI_SZ);
    if (result != ERROR_SUCCESS)
        ThrowAt(location, static_cast<DWORD>(result));
    Journal(JournalRecord::MakeRenameList(RecordKind::RenamesAfter, true, updated));
}

DWORD CInstaller::CancelRenames(const std::vector<RenamePair>& pairs) noexcept
{
    try {
        fw::CRegKey key;
        LONG result = OpenRenameKey(&key);
        if (result != ERROR_SUCCESS)
            return static_cast<DWORD>(result);
        bool exists = false;
        std::string bytes;
        DWORD type = REG_MULTI_SZ;
        result = ReadRenameList(key.get(), &exists, &bytes, &type);
        if (result != ERROR_SUCCESS)
            return static_cast<DWORD>(result);

        std::vector<RenamePair> remaining = m_renames.scheduled;
        for (const RenamePair& pair : pairs) {
            for (auto at = remaining.begin(); at != remaining.end();) {
                if (*at == pair)
                    at = remaining.erase(at);
                else
                    ++at;
            }
        }
        bool keep = exists;
        std::string updated;
        if (m_renames.touched && remaining.empty() && exists == m_renames.existsAfter &&
            bytes == m_renames.bytesAfter) {
            // Nobody touched the list since: it gets back exactly the bytes
            // it had before the run.
            keep = m_renames.existedBefore;
            updated = m_renames.bytesBefore;
        } else {
            updated = RemoveRenamePairs(bytes, pairs);
            // A spent list goes as a whole, as the system leaves it after the restart.
            if (RenameValueIsEmpty(updated) && !(m_renames.existedBefore && bytes == m_renames.bytesBefore))
                keep = false;
        }
        if (keep != exists || updated != bytes) {
            result = WriteRenameList(key.get(), keep, updated, type);
            if (result != ERROR_SUCCESS)
                return static_cast<DWORD>(result);
        }
        for (const RenamePair& pair : pairs)
            Journal(JournalRecord::MakeReplacement(RecordKind::ReplacementCancelled, pair));
        Journal(JournalRecord::MakeRenameList(RecordKind::RenamesAfter, keep, updated));
        return ERROR_SUCCESS;
    } catch (CExceptionEx* e) {
        const DWORD code = e->code;
        delete e;
        return code != 0 ? code : ERROR_WRITE_FAULT;
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CInstaller::CancelReplacementsFrom(const std::string& temp) noexcept
{
    try {
        const std::u16string source = RenamePath(temp);
        std::vector<RenamePair> pairs;
        for (const RenamePair& pair : m_replacements) {
            if (pair.source == source)
                pairs.push_back(pair);
        }
        return pairs.empty() ? ERROR_SUCCESS : CancelRenames(pairs);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool CInstaller::DeleteAtRestart(const std::string& path, bool blocking) noexcept
{
    try {
        ScheduleRenames({DeletePair(path)}, LOC_SCHEDULE_REPLACE,
                        blocking ? RenameRole::RestartWork : RenameRole::Cleanup);
        SetRestartRequired();
        return true;
    } catch (CExceptionEx* e) {
        RollbackStepFailed("DeleteAtRestart", path, e->code);
        delete e;
    } catch (...) {
        RollbackStepFailed("DeleteAtRestart", path, ERROR_NOT_ENOUGH_MEMORY);
    }
    return false;
}

bool CInstaller::DeleteLeftoversAtRestart(const std::vector<std::string>& paths) noexcept
{
    LONG result = ERROR_NOT_ENOUGH_MEMORY;
    try {
        std::vector<RenamePair> pairs;
        for (const std::string& path : paths)
            pairs.push_back(DeletePair(path));
        fw::CRegKey key;
        result = OpenRenameKey(&key);
        bool exists = false;
        std::string bytes;
        DWORD type = REG_MULTI_SZ;
        if (result == ERROR_SUCCESS)
            result = ReadRenameList(key.get(), &exists, &bytes, &type);
        if (result == ERROR_SUCCESS)
            result = WriteRenameList(key.get(), true, AddRenamePairs(bytes, pairs), exists ? type : REG_MULTI_SZ);
        if (result == ERROR_SUCCESS)
            return true;
    } catch (...) {
    }
    char code[32];
    snprintf(code, sizeof code, " (error 0x%.8lx)", static_cast<unsigned long>(result));
    WriteLog(LOG_LEFTOVERS_KEPT, code);
    return false;
}

bool CInstaller::MoveAtRestart(const std::string& from, const std::string& to) noexcept
{
    try {
        ScheduleRenames({ReplacePair(from, to)}, LOC_SCHEDULE_REPLACE, RenameRole::RestartWork);
        SetRestartRequired();
        return true;
    } catch (CExceptionEx* e) {
        RollbackStepFailed("MoveAtRestart", from, e->code);
        delete e;
    } catch (...) {
        RollbackStepFailed("MoveAtRestart", from, ERROR_NOT_ENOUGH_MEMORY);
    }
    return false;
}

bool CInstaller::ReplacedAtRestart(const std::string& target) const
{
    const std::u16string destination = u"!" + RenamePath(target);
    for (const RenamePair& pair : m_replacements) {
        if (pair.destination == destination)
            return true;
    }
    return false;
}

bool CInstaller::AnyRenamePending(const std::vector<RenamePair>& pairs, DWORD* error) const
{
    fw::CRegKey key;
    LONG result = EngineCalls().RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE, key.put());
    bool exists = false;
    std::string bytes;
    DWORD type = 0;
    if (result == ERROR_SUCCESS)
        result = ReadRenameList(key.get(), &exists, &bytes, &type);
    *error = static_cast<DWORD>(result);
    if (result != ERROR_SUCCESS || !exists)
        return false;
    for (const RenamePair& pair : pairs) {
        if (HasRenamePair(bytes, pair))
            return true;
    }
    return false;
}

void CInstaller::RemoveInstallFiles() noexcept
{
    EnginePlatformCalls& calls = EngineCalls();
    for (const auto& entry : m_journal) {
        if (entry.second != JOURNAL_FILE)
            continue;
        const std::string& path = entry.first;
        WriteLog(LOG_REMOVE_FILE, path.c_str());
        // A replacement waiting for the restart is called off first. Should
        // that fail, deleting the temporary file still leaves the replacement
        // without a source.
        const DWORD cancelError = CancelReplacementsFrom(path);
        if (cancelError != ERROR_SUCCESS) {
            RollbackStepFailed("CancelReplacement", path, cancelError);
            SetRestartRequired();
        }
        if (calls.DeleteFileA(path.c_str()) || Gone(GetLastError()))
            continue;
        DeleteAtRestart(path);
    }
}

void CInstaller::RollBackInstallFiles() noexcept
{
    EnginePlatformCalls& calls = EngineCalls();
    BackupMap kept;
    for (const auto& entry : m_backups) {
        const std::string& target = entry.first;
        const std::string& backup = entry.second;
        WriteLog(LOG_ROLL_BACK_FILE, target.c_str());
        if (m_deferredOnly.count(target) != 0) {
            // The run never changed the target: its backup is only a copy.
            if (calls.DeleteFileA(backup.c_str()) || Gone(GetLastError()))
                continue;
            if (!DeleteAtRestart(backup))
                kept.insert(entry);
            continue;
        }
        if (calls.MoveFileExA(backup.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
            continue;
        const DWORD error = GetLastError();
        if (Gone(error)) {
            // An earlier attempt at this rollback put it back already.
            DWORD probeError = 0;
            if (Probe(target, &probeError) == PathState::Present)
                continue;
        }
        // A target in use that holds the backup's bytes is as it was: a run
        // ended between its backup and its deferral never touched it, and a
        // restore would only ask for a restart.
        try {
            if (SameBytes(backup, target)) {
                if (!calls.DeleteFileA(backup.c_str()) && !Gone(GetLastError()) && !DeleteAtRestart(backup))
                    kept.insert(entry);
                continue;
            }
        } catch (...) {
            // Out of memory for the comparison: the restore goes ahead.
        }
        // A backup whose restore waits for the restart must outlive the
        // engine: neither the commit nor the destruction may delete it now.
        if (!MoveAtRestart(backup, target))
            kept.insert(entry);
    }
    m_backups = std::move(kept);
    m_deferredOnly.clear();
}

void CInstaller::RemoveInstallDirectories() noexcept
{
    // Deepest first: a folder made inside another folder of this run sorts
    // after it, and the outer one can only go once the inner one is gone.
    for (auto entry = m_journal.rbegin(); entry != m_journal.rend(); ++entry) {
        if (entry->second != JOURNAL_DIRECTORY)
            continue;
        if (EngineCalls().RemoveDirectoryA(entry->first.c_str()))
            continue;
        // A folder that still holds something is left to whoever put it there.
        const DWORD error = GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY && !Gone(error))
            RollbackStepFailed("RemoveInstallDirectories", entry->first, error);
    }
}
