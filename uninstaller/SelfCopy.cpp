#include "uninstaller/SelfCopy.h"

#include "engine/ExceptionEx.h"
#include "framework/Handles.h"
#include "uninstaller/UninstallCommandLine.h"

#include <objbase.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

namespace {

// Throw sites (module MODULE_PROCESS).
constexpr int LOC_COPY_FOLDER_ACCESS = 961;
constexpr int LOC_COPY_FOLDER = 962;
constexpr int LOC_COPY_PROGRAM = 963;
constexpr int LOC_COPY_START = 964;
constexpr int LOC_COPY_WAIT = 965;

// As the journal's folder: SYSTEM and the administrators only, nothing
// inherited from %ProgramData%, where ordinary users may create folders and
// files. The copy runs elevated from here.
const char* const COPY_FOLDER_ACCESS = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const char* const COPY_FOLDER_INFIX = " Uninstall ";
const char* const COPY_FILE_NAME = "uninstall.exe";
constexpr size_t SUFFIX_DIGITS = 8;
// New names tried before the folder is given up: each one that exists
// already (someone may have made it on purpose) is passed over.
constexpr int FOLDER_ATTEMPTS = 16;

std::string RandomSuffix()
{
    GUID guid{};
    unsigned long bits = GetTickCount() ^ GetCurrentProcessId();
    if (SUCCEEDED(CoCreateGuid(&guid)))
        bits = guid.Data1;
    char text[16];
    snprintf(text, sizeof text, "%0*lx", static_cast<int>(SUFFIX_DIGITS), bits);
    return text;
}

// The folder part of a full path, without its last backslash; empty
// without one.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool SameText(const std::string& a, const std::string& b)
{
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

std::string ModulePath()
{
    char buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_PROGRAM, length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
    return std::string(buffer, length);
}

std::string SystemFolder()
{
    char buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_START, length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW);
    return std::string(buffer, length);
}

}  // namespace

CSelfCopy::CSelfCopy(const std::string& parent, const std::string& productName)
{
    const std::string self = ModulePath();
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(COPY_FOLDER_ACCESS, SDDL_REVISION_1, &raw, nullptr))
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_FOLDER_ACCESS, GetLastError());
    const fw::CLocalMem descriptor(raw);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = raw;

    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < FOLDER_ATTEMPTS && error == ERROR_ALREADY_EXISTS; ++attempt) {
        const std::string folder = parent + "\\" + productName + COPY_FOLDER_INFIX + RandomSuffix();
        // Only a folder made now carries our access list.
        if (CreateDirectoryA(folder.c_str(), &attributes)) {
            m_folder = folder;
            break;
        }
        error = GetLastError();
    }
    if (m_folder.empty())
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_FOLDER, error);

    m_program = m_folder + "\\" + COPY_FILE_NAME;
    if (!CopyFileA(self.c_str(), m_program.c_str(), TRUE)) {
        error = GetLastError();
        DeleteFileA(m_program.c_str());
        RemoveDirectoryA(m_folder.c_str());
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_PROGRAM, error);
    }
}

CSelfCopy::~CSelfCopy()
{
    DeleteFileA(m_program.c_str());
    // Not empty while the original waits in it for the restart.
    RemoveDirectoryA(m_folder.c_str());
}

int32_t CSelfCopy::Run(const SetupOptions& options, const std::string& original)
{
    const std::string line = CopyCommandLine(m_program, options, original);
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');  // CreateProcessA may write into its command line
    const std::string system = SystemFolder();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(m_program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        system.c_str(), &startup, &started))
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_START, GetLastError());
    const fw::CKernelHandle process(started.hProcess);
    const fw::CKernelHandle thread(started.hThread);
    // The user started this program: the copy's windows may come to the front.
    AllowSetForegroundWindow(started.dwProcessId);
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        TerminateProcess(process.get(), static_cast<UINT>(-1));
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_START, error);
    }
    DWORD code = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &code))
        ThrowExceptionEx(MODULE_PROCESS, LOC_COPY_WAIT, GetLastError());
    return static_cast<int32_t>(code);
}

bool CSelfCopy::IsCopy(const std::string& program, const std::string& parent, const std::string& productName)
{
    const std::string folder = FolderOf(program);
    const std::string prefix = productName + COPY_FOLDER_INFIX;
    if (!SameText(program.substr(folder.size()), std::string("\\") + COPY_FILE_NAME) ||
        !SameText(FolderOf(folder), parent))
        return false;
    const std::string name = folder.substr(parent.size() + 1);
    if (name.size() != prefix.size() + SUFFIX_DIGITS || !SameText(name.substr(0, prefix.size()), prefix))
        return false;
    return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

std::vector<std::string> CSelfCopy::Leftovers(const std::string& program)
{
    const std::string folder = FolderOf(program);
    std::vector<std::string> paths;
    WIN32_FIND_DATAA found;
    fw::CFindHandle search(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (search) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                paths.push_back(folder + "\\" + found.cFileName);
        } while (FindNextFileA(search.get(), &found));
    }
    paths.push_back(folder);
    return paths;
}
