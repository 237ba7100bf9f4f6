// The product's journal on disk: one file in a folder of its own below
// %ProgramData%, which only SYSTEM and the administrators may write. A run
// holds the product's lock (a named mutex) and the file itself, opened
// without sharing, for its whole life. The file is made when the run's first
// change is journaled; each record is written through and flushed before the
// change it describes is made.
//
// The setup runs elevated and acts on the paths in this file, so a file or
// folder that someone else owns or may write is never trusted, and neither is
// one whose records are damaged anywhere but at the very end (where a kill
// cuts the last write short). Such a file is never deleted: it is set aside
// under a new name.
#pragma once

#include "engine/JournalFormat.h"
#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Takes the product's lock (a named mutex) for as long as `lock` holds it:
// false while another run of the product holds it. A run takes it before it
// touches anything, its own log in %TEMP% included; the journal's Open takes
// it once more on the same thread, which a mutex allows.
bool TakeProductLock(const std::string& lockName, fw::CKernelHandle* lock);

class CJournalFile {
public:
    // folder: the journal's folder (full path); productKey: what the header
    // names, so that another product's journal is told apart.
    CJournalFile(const std::string& folder, const std::string& productKey);
    virtual ~CJournalFile();

    CJournalFile(const CJournalFile&) = delete;
    CJournalFile& operator=(const CJournalFile&) = delete;

    enum class OpenStatus {
        Ready,      // opened (or none yet), its records read
        Busy,       // another run of the product holds it
        SetAside,   // not to be trusted; moved to SetAsidePath()
        Failed,     // could not be read or moved; Error() says why
    };
    // Takes the product's lock and reads the journal, if there is one.
    OpenStatus Open(const std::string& lockName);

    const JournalRuns& Runs() const { return m_runs; }
    const std::string& SetAsidePath() const { return m_setAsidePath; }
    const std::string& Reason() const { return m_reason; }
    DWORD Error() const { return m_error; }
    bool Exists() const { return m_file.valid(); }
    const std::string& Path() const { return m_path; }
    uint64_t Length() const { return m_length; }

    // Appends a record, through to the disk; makes the folder and the file
    // first when there are none. False, with the error, when it could not be
    // written whole; the file then ends where it ended before.
    bool Append(const JournalRecord& record, DWORD* error);
    // Cuts the file back to `length` (a run's records taken out again).
    bool TruncateTo(uint64_t length, DWORD* error);
    // Closes and deletes the file, and its folder when that is then empty.
    bool Remove(DWORD* error);

private:
    bool CreateFolderAndFile(DWORD* error);
    bool AppendRaw(const JournalRecord& record, DWORD* error);
    // Takes away a journal file and folder this run made before it held a record.
    void Unmake() noexcept;
    enum class Trust { Trusted, Untrusted, Unknown };
    // Unknown, with the error, when the question itself failed: nothing is
    // then decided about the file, and nothing is done to it.
    Trust Trusted(const std::string& path, std::string* reason, DWORD* error) const;
    bool SetAside(const std::string& path);
    bool ReadAll(std::string* bytes, DWORD* error);

    std::string m_folder;
    std::string m_path;
    std::string m_productKey;
    fw::CKernelHandle m_lock;
    fw::CFileHandle m_file;
    uint64_t m_length = 0;
    uint32_t m_nextSequence = 0;
    bool m_madeFolder = false;
    bool m_madeFile = false;
    JournalRuns m_runs;
    std::string m_setAsidePath;
    std::string m_reason;
    DWORD m_error = ERROR_SUCCESS;
};
