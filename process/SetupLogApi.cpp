#include "process/SetupLogApi.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

const char* const SETUP_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char* const VALUE_LOG_LEVEL = "LogLevel";
const char* const VALUE_LOG_PATH = "LogPath";
const char* const LOG_NAME_NT5 = "\\setupapi.log";
const char* const LOG_NAME_NT6 = "\\setupapi.dev.log";
const char* const LOG_NAME_NT6_IN_WINDOWS = "\\inf\\setupapi.dev.log";
const char* const LINE_CAPTURE_BEGIN = "==== SetupApi log begin ====";
const char* const LINE_CAPTURE_END = "===== SetupApi log end =====";

constexpr DWORD LOG_LEVEL_NT5 = 0xFFFF;
constexpr DWORD LOG_LEVEL_NT6 = 0x5050;
constexpr DWORD MAX_LOG_PATH = 260;         // longer "LogPath" values are not followed
constexpr DWORD MAX_EXCERPT = 0x200000;     // bounds the one buffer the excerpt is read into
constexpr DWORD OSVERSIONINFOEXA_SIZE = 156;

DWORD MajorVersion()
{
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = OSVERSIONINFOEXA_SIZE;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    return version.dwMajorVersion;
}

// The Windows folder, or an empty string when it does not fit the limit.
std::string WindowsFolder()
{
    char folder[MAX_LOG_PATH + 1] = {};
    const UINT length = GetWindowsDirectoryA(folder, MAX_LOG_PATH);
    if (length == 0 || length >= MAX_LOG_PATH)
        return std::string();
    return std::string(folder, length);
}

// Where Windows 6 and later write the device-installation log: "LogPath" as
// stored (no environment expansion) when present, otherwise the inf folder.
std::string Nt6LogPath(HKEY setupKey)
{
    DWORD size = 0;
    if (RegQueryValueExA(setupKey, VALUE_LOG_PATH, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        const std::string windows = WindowsFolder();
        return windows.empty() ? windows : windows + LOG_NAME_NT6_IN_WINDOWS;
    }
    if (size > MAX_LOG_PATH)
        return std::string();
    // One spare zero byte: a stored string need not carry its terminator.
    std::vector<char> value(size + 1, '\0');
    if (RegQueryValueExA(setupKey, VALUE_LOG_PATH, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
        return std::string();
    return std::string(value.data()) + LOG_NAME_NT6;
}

}  // namespace

CSetupLogApi::CSetupLogApi(HANDLE logFile) : m_logFile(logFile) {}

CSetupLogApi::~CSetupLogApi()
{
    if (m_captureStarted)
        EndCapture();
    if (HasLog())
        FlushFileBuffers(m_logFile);
    m_setupKey.reset();
}

void CSetupLogApi::WriteLine(const char* message, const char* text)
{
    if (!HasLog() || message == nullptr)
        return;
    SetFilePointer(m_logFile, 0, nullptr, FILE_END);
    DWORD written = 0;
    if (!WriteFile(m_logFile, message, static_cast<DWORD>(strlen(message)), &written, nullptr))
        return;
    if (text != nullptr &&
        !WriteFile(m_logFile, text, static_cast<DWORD>(strlen(text)), &written, nullptr))
        return;
    WriteFile(m_logFile, "\r\n", 2, &written, nullptr);
}

int CSetupLogApi::StartCapture(const std::function<void(DWORD type, DWORD value)>& beforeRaise)
{
    if (m_captureStarted)
        return m_captureStarted;

    const DWORD major = MajorVersion();

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETUP_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return m_captureStarted;
    m_setupKey.reset(key);

    DWORD newLevel = LOG_LEVEL_NT6;
    try {
        if (major < 6) {
            const std::string windows = WindowsFolder();
            m_setupApiPath = windows.empty() ? windows : windows + LOG_NAME_NT5;
            newLevel = LOG_LEVEL_NT5;
        } else {
            m_setupApiPath = Nt6LogPath(m_setupKey.get());
        }
    } catch (const std::bad_alloc&) {
        m_setupApiPath.clear();
    }

    if (!m_setupApiPath.empty()) {
        WIN32_FIND_DATAA found;
        fw::CFindHandle search(FindFirstFileA(m_setupApiPath.c_str(), &found));
        if (search)
            m_startSize = found.nFileSizeLow;
    }

    // The level is raised only over a value that exists, so that restoring
    // it later puts back exactly what was there.
    DWORD level = 0;
    DWORD type = 0;
    DWORD size = sizeof level;
    if (RegQueryValueExA(m_setupKey.get(), VALUE_LOG_LEVEL, nullptr, &type,
                         reinterpret_cast<BYTE*>(&level), &size) == ERROR_SUCCESS &&
        size == sizeof level) {
        m_savedLevel = level;
        m_savedLevelType = type;
        if (beforeRaise)
            beforeRaise(type, level);
        if (RegSetValueExA(m_setupKey.get(), VALUE_LOG_LEVEL, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&newLevel), sizeof newLevel) == ERROR_SUCCESS)
            m_levelRaised = 1;
    }

    m_captureStarted = 1;
    return m_captureStarted;
}

void CSetupLogApi::EndCapture()
{
    if (m_levelRaised) {
        RegSetValueExA(m_setupKey.get(), VALUE_LOG_LEVEL, 0, m_savedLevelType,
                       reinterpret_cast<const BYTE*>(&m_savedLevel), sizeof m_savedLevel);
        m_levelRaised = 0;
    }
    m_captureStarted = 0;

    if (m_setupApiPath.empty())
        return;
    m_setupApiFile.reset(CreateFileA(m_setupApiPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_setupApiFile)
        return;

    const DWORD currentSize = GetFileSize(m_setupApiFile.get(), nullptr);
    // A log that shrank was replaced, and one that grew by 2 MiB or more is
    // not worth a buffer that size: neither is copied.
    if (currentSize == INVALID_FILE_SIZE || currentSize <= m_startSize ||
        currentSize - m_startSize >= MAX_EXCERPT) {
        m_setupApiFile.reset();
        return;
    }
    const DWORD excerptSize = currentSize - m_startSize;

    if (SetFilePointer(m_setupApiFile.get(), static_cast<LONG>(m_startSize), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        m_setupApiFile.reset();
        return;
    }
    fw::CVirtualMem buffer(VirtualAlloc(nullptr, excerptSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!buffer) {
        m_setupApiFile.reset();
        return;
    }

    DWORD read = 0;
    if (ReadFile(m_setupApiFile.get(), buffer.get(), excerptSize, &read, nullptr)) {
        WriteLine(LINE_CAPTURE_BEGIN, nullptr);
        if (HasLog()) {
            DWORD written = 0;
            SetFilePointer(m_logFile, 0, nullptr, FILE_END);
            WriteFile(m_logFile, buffer.get(), read, &written, nullptr);
        }
        WriteLine(LINE_CAPTURE_END, nullptr);
    }
    buffer.reset();
    m_setupApiFile.reset();
}
