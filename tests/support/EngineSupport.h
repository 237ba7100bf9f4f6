// Helpers for the engine's Windows tests: a setup log to hand the engine,
// catching its error records, a second process that holds a file open, and
// the pending renames.
#pragma once

#include "engine/ExceptionEx.h"
#include "framework/Handles.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh setup-log file in the temporary folder, opened the way the
// application opens it. Close() lets the test read it while the writer lives.
struct TestLogFile {
    explicit TestLogFile(const std::string& name);
    void Close() { handle.reset(); }
    std::vector<std::string> Lines() const;
    std::string Bytes() const;

    std::string path;
    fw::CFileHandle handle;
};

// What an operation threw, if anything.
struct Thrown {
    bool thrown = false;
    uint16_t module = 0;
    uint16_t location = 0;
    uint32_t code = 0;
};
// Runs the operation and owns (and deletes) a thrown CExceptionEx.
Thrown CatchEx(const std::function<void()>& operation);

// Another process of the prefix holding a file open with the given share
// mode (sharing violations only happen between processes). The file is
// released when the object goes.
class FileHolder {
public:
    FileHolder(const std::string& path, DWORD shareMode);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool holding() const { return m_holding; }
    void Release();

private:
    fw::CKernelHandle m_release;
    fw::CKernelHandle m_process;
    bool m_holding = false;
};

// HKLM\System\CurrentControlSet\Control\Session Manager
// PendingFileRenameOperations as (source, destination) pairs, with the "\??\"
// prefixes as stored; a destination "" is a delete, "!" marks a replace.
std::vector<std::pair<std::string, std::string>> PendingRenames();
void ClearPendingRenames();
// The same value exactly as stored, read and written with the wide calls
// (the ANSI ones convert other programs' paths). False when there is none.
bool ReadPendingRenamesRaw(std::string* bytes, DWORD* type);
bool WritePendingRenamesRaw(const std::string& bytes, DWORD type = REG_MULTI_SZ);
// One string of the value: its UTF-16LE units and a zero unit.
std::string RenameString(const std::u16string& text);

// The names of the files directly in a folder (no "." and "..").
std::vector<std::string> ListFolder(const std::string& folder);

}  // namespace testsupport
