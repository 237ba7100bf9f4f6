#include "engine/Installer.h"

#include "engine/PlatformCalls.h"

#include <cstdlib>

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

const char* const LOG_INSTALL_FILE = "Install File: ";
const char* const LOG_CREATE_DIRECTORY = "CreateDirectory: ";
const char* const LOG_REMOVE_FILE = "RemoveInstallFiles: ";
const char* const LOG_ROLL_BACK_FILE = "RollBackInstallFiles: ";

const char* const TEMP_SUFFIX = ".tmp";
const char* const BACKUP_SUFFIX = ".backup";

const char* const SESSION_MANAGER_KEY = "System\\CurrentControlSet\\Control\\Session Manager";
const char* const PENDING_RENAMES_VALUE = "PendingFileRenameOperations";
// How the restart's rename list names a path.
const char* const NT_PATH_PREFIX = "\\??\\";

std::string JoinPath(const std::string& directory, const std::string& fileName)
{
    return directory + "\\" + fileName;
}

// Opens (creating or truncating) a file for the one write that fills it.
fw::CFileHandle CreateForWrite(const std::string& path)
{
    return fw::CFileHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Truncates at the current position and writes the whole buffer at once;
// false when fewer bytes than asked went out.
bool WriteWhole(HANDLE file, const void* data, uint32_t size)
{
    SetEndOfFile(file);
    DWORD written = 0;
    // A zero-length write still needs a valid buffer pointer.
    const void* bytes = data != nullptr ? data : "";
    EngineCalls().WriteFile(file, bytes, size, &written, nullptr);
    return written >= size;
}

bool TargetExists(const std::string& path)
{
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(FindFirstFileA(path.c_str(), &found));
    return search.valid();
}

// A file that is not there any more needs no deleting.
bool Gone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool SamePath(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(),
                                                  static_cast<int>(a.size()), b.data(),
                                                  static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The rename list without the pairs whose source is `source`: a multi-string
// of (source, destination) pairs. Returns false when nothing was taken out.
bool DropRenamesOf(const std::string& source, std::string* list)
{
    std::vector<std::string> entries;
    for (size_t at = 0; at < list->size();) {
        const size_t zero = list->find('\0', at);
        const size_t end = zero == std::string::npos ? list->size() : zero;
        entries.push_back(list->substr(at, end - at));
        at = end + 1;
    }
    // The list ends in an empty entry (its double zero); that is no pair.
    while (!entries.empty() && entries.back().empty())
        entries.pop_back();

    std::string kept;
    bool dropped = false;
    for (size_t i = 0; i < entries.size(); i += 2) {
        const std::string& from = entries[i];
        const std::string to = i + 1 < entries.size() ? entries[i + 1] : std::string();
        if (SamePath(from, NT_PATH_PREFIX + source)) {
            dropped = true;
            continue;
        }
        kept += from;
        kept += '\0';
        kept += to;
        kept += '\0';
    }
    if (!kept.empty())
        kept += '\0';
    *list = kept;
    return dropped;
}

}  // namespace

std::string CInstaller::MakeTempFileName(const std::string& fileName, const std::string& directory)
{
    srand(GetTickCount());
    std::string name = JoinPath(directory, fileName) + "_";
    for (int i = 0; i < TEMP_NAME_DIGITS; ++i)
        name += static_cast<char>('1' + rand() % 9);
    return name + TEMP_SUFFIX;
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
    if (!CopyFileA(target.c_str(), backup.c_str(), TRUE))
        ThrowAt(LOC_BACKUP_COPY, GetLastError());
    m_backups[target] = backup;
    return true;
}

void CInstaller::InstallFile(const std::string& fileName, const std::string& directory,
                             const void* data, uint32_t size)
{
    const std::string target = JoinPath(directory, fileName);
    WriteLog(LOG_INSTALL_FILE, target.c_str());

    fw::CFileHandle file;
    if (!TargetExists(target)) {
        file = CreateForWrite(target);
        if (!file)
            ThrowAt(LOC_CREATE_TARGET, GetLastError());
        m_journal[target] = JOURNAL_FILE;
    } else {
        const bool firstBackup = BackupFile(fileName, directory);
        file = CreateForWrite(target);
        if (!file) {
            // The target is in use: the new content waits beside it and
            // replaces it at the next restart. Until then the target is as it
            // was, and a rollback only has to call the replacement off.
            if (firstBackup)
                m_deferredOnly.insert(target);
            const std::string temp = MakeTempFileName(fileName, directory);
            fw::CFileHandle tempFile = CreateForWrite(temp);
            if (!tempFile)
                ThrowAt(LOC_CREATE_TEMP, GetLastError());
            m_journal[temp] = JOURNAL_FILE;

            const bool complete = WriteWhole(tempFile.get(), data, size);
            const DWORD writeError = complete ? ERROR_SUCCESS : GetLastError();
            tempFile.reset();

            SetRestartRequired();
            if (!EngineCalls().MoveFileExA(temp.c_str(), target.c_str(),
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
                ThrowAt(LOC_SCHEDULE_REPLACE, GetLastError());
            m_pendingReplacements.insert(temp);
            if (!complete)
                ThrowAt(LOC_SHORT_WRITE_TEMP, writeError);
            return;
        }
        // From here the target's bytes are the run's: the rollback must put
        // the backup back.
        m_deferredOnly.erase(target);
    }

    if (!WriteWhole(file.get(), data, size))
        ThrowAt(LOC_SHORT_WRITE_TARGET, GetLastError());
    file.reset();
}

void CInstaller::CreateInstallDirectory(const std::string& path)
{
    WriteLog(LOG_CREATE_DIRECTORY, path.c_str());
    if (CreateDirectoryA(path.c_str(), nullptr)) {
        m_journal[path] = JOURNAL_DIRECTORY;
        return;
    }
    const DWORD error = GetLastError();
    // A folder that was there before is the user's: it is not journaled and
    // survives a rollback.
    if (error != ERROR_ALREADY_EXISTS)
        ThrowAt(LOC_CREATE_DIRECTORY, error);
}

void CInstaller::CancelPendingReplacement(const std::string& temp)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), PENDING_RENAMES_VALUE, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return;
    std::string list(size, '\0');
    if (size == 0 || RegQueryValueExA(key.get(), PENDING_RENAMES_VALUE, nullptr, &type,
                                      reinterpret_cast<BYTE*>(&list[0]), &size) != ERROR_SUCCESS)
        return;
    list.resize(size);
    if (!DropRenamesOf(temp, &list))
        return;
    // Other programs' renames stay; an emptied list goes as a whole, as the
    // system leaves it after the restart.
    if (list.empty())
        RegDeleteValueA(key.get(), PENDING_RENAMES_VALUE);
    else
        RegSetValueExA(key.get(), PENDING_RENAMES_VALUE, 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(list.data()), static_cast<DWORD>(list.size()));
}

void CInstaller::RemoveInstallFiles()
{
    for (const auto& entry : m_journal) {
        if (entry.second != JOURNAL_FILE)
            continue;
        const char* path = entry.first.c_str();
        WriteLog(LOG_REMOVE_FILE, path);
        // A replacement waiting for the restart is called off first: even a
        // temporary file that cannot go now must never reach its target.
        if (m_pendingReplacements.count(entry.first) != 0)
            CancelPendingReplacement(entry.first);
        if (!DeleteFileA(path) && !Gone(GetLastError())) {
            EngineCalls().MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            SetRestartRequired();
        }
    }
    m_pendingReplacements.clear();
}

void CInstaller::RollBackInstallFiles()
{
    for (const auto& entry : m_backups) {
        const char* target = entry.first.c_str();
        const char* backup = entry.second.c_str();
        WriteLog(LOG_ROLL_BACK_FILE, target);
        if (m_deferredOnly.count(entry.first) != 0) {
            // The run never changed the target: its backup is only a copy.
            if (!DeleteFileA(backup) && !Gone(GetLastError())) {
                EngineCalls().MoveFileExA(backup, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
                SetRestartRequired();
            }
            continue;
        }
        if (!EngineCalls().MoveFileExA(backup, target, MOVEFILE_REPLACE_EXISTING)) {
            EngineCalls().MoveFileExA(backup, target,
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
            SetRestartRequired();
        }
    }
    // A backup whose restore waits for the restart must outlive the engine:
    // neither the commit nor the destruction may delete it now.
    m_backups.clear();
    m_deferredOnly.clear();
}

void CInstaller::RemoveInstallDirectories()
{
    // Deepest first: a folder made inside another folder of this run sorts
    // after it, and the outer one can only go once the inner one is gone.
    for (auto entry = m_journal.rbegin(); entry != m_journal.rend(); ++entry) {
        if (entry->second == JOURNAL_DIRECTORY)
            RemoveDirectoryA(entry->first.c_str());
    }
}
