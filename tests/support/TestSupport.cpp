#include "tests/support/TestSupport.h"

#include "framework/Handles.h"

#include <sddl.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

std::string EnvPath(const char* name)
{
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0')
        return std::string();
    return WinePath(value);
}

}  // namespace

std::string WinePath(const std::string& unixPath)
{
    if (unixPath.empty() || unixPath[0] != '/')
        return unixPath;
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    while (path.size() > 3 && path.back() == '\\')
        path.pop_back();
    return path;
}

std::string SourceDir()
{
    return EnvPath("VELLORAN_SOURCE_DIR");
}

std::string BuildDir()
{
    return EnvPath("VELLORAN_BUILD_DIR");
}

std::string BinPath(const std::string& name)
{
    return BuildDir() + "\\bin\\" + name;
}

long RunProcess(const std::string& commandLine, DWORD timeoutMs, const std::string& currentDirectory)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                        &info))
        return -1000;
    fw::CKernelHandle process(info.hProcess);
    fw::CKernelHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
        return -1001;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<long>(static_cast<int32_t>(code));
}

bool FileExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::string& path)
{
    fw::CFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    fw::CFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string MakeTempDir(const std::string& prefix)
{
    const std::string base = TempDir() + "\\" + prefix;
    for (unsigned n = GetTickCount();; ++n) {
        const std::string path = base + std::to_string(n % 1000000);
        if (CreateDirectoryA(path.c_str(), nullptr))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return std::string();
    }
}

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA data;
    fw::CFindHandle find(FindFirstFileA((path + "\\*").c_str(), &data));
    if (find) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryA(path.c_str());
}

std::vector<std::string> ReadLines(const std::string& path)
{
    const std::string bytes = ReadFileBytes(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool RegKeyExists(HKEY root, const std::string& subkey)
{
    fw::CRegKey key;
    return RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool RegReadValue(HKEY root, const std::string& subkey, const std::string& value, std::string* data,
                  DWORD* type)
{
    fw::CRegKey key;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    DWORD valueType = 0;
    if (RegQueryValueExA(key.get(), value.c_str(), nullptr, &valueType, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::string bytes(size, '\0');
    if (RegQueryValueExA(key.get(), value.c_str(), nullptr, &valueType,
                         reinterpret_cast<BYTE*>(&bytes[0]), &size) != ERROR_SUCCESS)
        return false;
    bytes.resize(size);
    if (data)
        *data = bytes;
    if (type)
        *type = valueType;
    return true;
}

bool RegReadString(HKEY root, const std::string& subkey, const std::string& value, std::string* out)
{
    std::string bytes;
    DWORD type = 0;
    if (!RegReadValue(root, subkey, value, &bytes, &type) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    while (!bytes.empty() && bytes.back() == '\0')
        bytes.pop_back();
    *out = bytes;
    return true;
}

bool RegReadDword(HKEY root, const std::string& subkey, const std::string& value, DWORD* out)
{
    std::string bytes;
    DWORD type = 0;
    if (!RegReadValue(root, subkey, value, &bytes, &type) || type != REG_DWORD || bytes.size() != 4)
        return false;
    memcpy(out, bytes.data(), 4);
    return true;
}

std::vector<std::string> RegReadMultiString(HKEY root, const std::string& subkey,
                                            const std::string& value)
{
    std::string bytes;
    DWORD type = 0;
    std::vector<std::string> entries;
    if (!RegReadValue(root, subkey, value, &bytes, &type) || type != REG_MULTI_SZ)
        return entries;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find('\0', start);
        const std::string entry = bytes.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (entry.empty())
            break;
        entries.push_back(entry);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return entries;
}

std::string SystemDir()
{
    char buffer[MAX_PATH] = {};
    GetSystemDirectoryA(buffer, MAX_PATH);
    return buffer;
}

std::string WindowsDir()
{
    char buffer[MAX_PATH] = {};
    GetWindowsDirectoryA(buffer, MAX_PATH);
    return buffer;
}

std::string TempDir()
{
    char buffer[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, buffer);
    std::string path = buffer;
    while (path.size() > 3 && path.back() == '\\')
        path.pop_back();
    return path;
}

std::string ProcessUserSid()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return std::string();
    fw::CKernelHandle token(raw);
    BYTE buffer[256] = {};
    DWORD size = 0;
    char* text = nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text))
        return std::string();
    const std::string sid = text;
    LocalFree(text);
    return sid;
}

}  // namespace testsupport
