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

}  // namespace

std::string CInstaller::MakeTempFileName(const std::string& fileName, const std::string& directory)
{
    srand(GetTickCount());
    std::string name = JoinPath(directory, fileName) + "_";
    for (int i = 0; i < TEMP_NAME_DIGITS; ++i)
        name += static_cast<char>('1' + rand() % 9);
    return name + TEMP_SUFFIX;
}

void CInstaller::BackupFile(const std::string& fileName, const std::string& directory)
{
    const std::string target = JoinPath(directory, fileName);
    const std::string backup = MakeTempFileName(fileName, directory) + BACKUP_SUFFIX;
    // Never over an existing file: that could be an older backup still needed.
    if (!CopyFileA(target.c_str(), backup.c_str(), TRUE))
        ThrowAt(LOC_BACKUP_COPY, GetLastError());
    m_backups[target] = backup;
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
        BackupFile(fileName, directory);
        file = CreateForWrite(target);
        if (!file) {
            // The target is in use: the new content waits beside it and
            // replaces it at the next restart.
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

void CInstaller::RemoveInstallFiles()
{
    for (const auto& entry : m_journal) {
        if (entry.second != JOURNAL_FILE)
            continue;
        const char* path = entry.first.c_str();
        WriteLog(LOG_REMOVE_FILE, path);
        if (!DeleteFileA(path)) {
            EngineCalls().MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            SetRestartRequired();
        }
    }
}

void CInstaller::RollBackInstallFiles()
{
    for (const auto& entry : m_backups) {
        const char* target = entry.first.c_str();
        const char* backup = entry.second.c_str();
        WriteLog(LOG_ROLL_BACK_FILE, target);
        if (!EngineCalls().MoveFileExA(backup, target, MOVEFILE_REPLACE_EXISTING)) {
            EngineCalls().MoveFileExA(backup, target,
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
            SetRestartRequired();
        }
    }
    // A backup whose restore waits for the restart must outlive the engine:
    // neither the commit nor the destruction may delete it now.
    m_backups.clear();
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
