#include "tests/support/EngineSupport.h"

#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace testsupport {

namespace {

const char* const SESSION_MANAGER = "System\\CurrentControlSet\\Control\\Session Manager";
const char* const PENDING_RENAMES = "PendingFileRenameOperations";
const wchar_t* const SESSION_MANAGER_W = L"System\\CurrentControlSet\\Control\\Session Manager";
const wchar_t* const PENDING_RENAMES_W = L"PendingFileRenameOperations";
constexpr DWORD HOLDER_READY_TIMEOUT_MS = 20000;

std::string UniqueName(const char* what)
{
    static unsigned counter = 0;
    char name[96];
    snprintf(name, sizeof name, "velloran-test-%s-%lu-%u", what, GetCurrentProcessId(), ++counter);
    return name;
}

}  // namespace

TestLogFile::TestLogFile(const std::string& name) : path(TempDir() + "\\" + name)
{
    handle.reset(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::vector<std::string> TestLogFile::Lines() const
{
    return ReadLines(path);
}

std::string TestLogFile::Bytes() const
{
    return ReadFileBytes(path);
}

Thrown CatchEx(const std::function<void()>& operation)
{
    Thrown result;
    try {
        operation();
    } catch (CExceptionEx* e) {
        std::unique_ptr<CExceptionEx> owned(e);
        result.thrown = true;
        result.module = e->module;
        result.location = e->location;
        result.code = e->code;
    }
    return result;
}

FileHolder::FileHolder(const std::string& path, DWORD shareMode)
{
    const std::string readyName = UniqueName("ready");
    const std::string releaseName = UniqueName("release");
    fw::CKernelHandle ready(CreateEventA(nullptr, TRUE, FALSE, readyName.c_str()));
    m_release.reset(CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str()));

    std::string commandLine = "\"" + BinPath("engine_test_helper.exe") + "\" hold \"" + path + "\" " +
                              std::to_string(shareMode) + " " + readyName + " " + releaseName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return;
    m_process.reset(info.hProcess);
    fw::CKernelHandle thread(info.hThread);

    // Either the file is held (ready) or the helper gave up (exited).
    HANDLE waits[2] = {ready.get(), m_process.get()};
    m_holding = WaitForMultipleObjects(2, waits, FALSE, HOLDER_READY_TIMEOUT_MS) == WAIT_OBJECT_0;
}

FileHolder::~FileHolder()
{
    Release();
}

void FileHolder::Release()
{
    if (m_release)
        SetEvent(m_release.get());
    if (m_process)
        WaitForSingleObject(m_process.get(), HOLDER_READY_TIMEOUT_MS);
    m_process.reset();
    m_holding = false;
}

std::vector<std::pair<std::string, std::string>> PendingRenames()
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string bytes;
    DWORD type = 0;
    if (!RegReadValue(HKEY_LOCAL_MACHINE, SESSION_MANAGER, PENDING_RENAMES, &bytes, &type))
        return pairs;
    // Source and destination alternate; an empty destination is a delete, an
    // empty source ends the list.
    size_t pos = 0;
    auto next = [&]() {
        const size_t end = bytes.find('\0', pos);
        std::string entry = bytes.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? bytes.size() : end + 1;
        return entry;
    };
    while (pos < bytes.size()) {
        std::string source = next();
        if (source.empty())
            break;
        pairs.emplace_back(source, next());
    }
    return pairs;
}

void ClearPendingRenames()
{
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SESSION_MANAGER, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        RegDeleteValueA(key.get(), PENDING_RENAMES);
}

bool ReadPendingRenamesRaw(std::string* bytes, DWORD* type)
{
    fw::CRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_W, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), PENDING_RENAMES_W, nullptr, type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    bytes->assign(size + 1, '\0');
    if (RegQueryValueExW(key.get(), PENDING_RENAMES_W, nullptr, type, reinterpret_cast<BYTE*>(&(*bytes)[0]),
                         &size) != ERROR_SUCCESS)
        return false;
    bytes->resize(size);
    return true;
}

bool WritePendingRenamesRaw(const std::string& bytes, DWORD type)
{
    fw::CRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SESSION_MANAGER_W, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    // The system adds a terminator the count left out when the unit after
    // the data is zero: a unit that is not keeps the bytes exactly as given.
    std::string guarded = bytes;
    guarded.append(2, '\xff');
    return RegSetValueExW(key.get(), PENDING_RENAMES_W, 0, type, reinterpret_cast<const BYTE*>(guarded.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

std::string RenameString(const std::u16string& text)
{
    std::string bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
    return bytes;
}

std::vector<std::string> ListFolder(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    fw::CFindHandle find(FindFirstFileA((folder + "\\*").c_str(), &data));
    if (!find)
        return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find.get(), &data));
    return names;
}

}  // namespace testsupport
