#include "tests/support/EngineSupport.h"

#include "tests/support/TestSupport.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace testsupport {

namespace {

const char* const SESSION_MANAGER = "System\\CurrentControlSet\\Control\\Session Manager";
const char* const PENDING_RENAMES = "PendingFileRenameOperations";
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
