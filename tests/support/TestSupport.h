// Helpers for the Windows test programs that run under Wine: where the build
// is, running programs, reading files and registry values.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A Unix path as the Windows program sees it (Wine's Z: drive).
std::string WinePath(const std::string& unixPath);

// The source tree and the windows build folder (from the environment ctest
// sets), as Windows paths without a trailing backslash.
std::string SourceDir();
std::string BuildDir();
// A file of the build's bin folder, e.g. BinPath("velloran_setup.exe").
std::string BinPath(const std::string& name);

// Runs a command line and waits; returns the exit code, or -1000 when the
// program could not be started and -1001 when it ran longer than the limit
// (it is then terminated).
long RunProcess(const std::string& commandLine, DWORD timeoutMs = 120000,
                const std::string& currentDirectory = std::string());

// Files.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
std::string ReadFileBytes(const std::string& path);  // empty when missing
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// A new empty folder below the temporary folder.
std::string MakeTempDir(const std::string& prefix);
// Deletes a folder and everything in it; best effort.
void RemoveTree(const std::string& path);
// The lines of a text file split at CR LF (the setup log's format).
std::vector<std::string> ReadLines(const std::string& path);

// Registry (HKEY_LOCAL_MACHINE unless a root is given).
bool RegKeyExists(HKEY root, const std::string& subkey);
bool RegReadString(HKEY root, const std::string& subkey, const std::string& value, std::string* out);
bool RegReadDword(HKEY root, const std::string& subkey, const std::string& value, DWORD* out);
// Raw bytes and type of a value.
bool RegReadValue(HKEY root, const std::string& subkey, const std::string& value, std::string* data,
                  DWORD* type);
// The entries of a REG_MULTI_SZ value.
std::vector<std::string> RegReadMultiString(HKEY root, const std::string& subkey,
                                            const std::string& value);

// Special folders and system paths.
std::string SystemDir();
std::string WindowsDir();
std::string TempDir();  // without trailing backslash

// The account this process runs as, as a SID string; empty when it cannot be read.
std::string ProcessUserSid();

}  // namespace testsupport
