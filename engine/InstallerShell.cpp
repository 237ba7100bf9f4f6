#include "engine/Installer.h"

#include "engine/EngineText.h"
#include "engine/PlatformCalls.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

namespace {

// Shortcut sites (server numbering; the product's shift is added).
constexpr int LOC_COM_INIT = 804;
constexpr int LOC_CREATE_LINK = 812;
constexpr int LOC_PERSIST_FILE = 816;
constexpr int LOC_SET_PATH = 820;
constexpr int LOC_SET_DESCRIPTION = 826;
constexpr int LOC_SET_WORKING_DIRECTORY = 838;
constexpr int LOC_SET_ICON = 843;
constexpr int LOC_SAVE_LINK = 854;

// The link path travels to IPersistFile::Save in a buffer of this many
// UTF-16 units; a longer path cannot be converted and the save fails.
constexpr int LINK_PATH_CHARS = 260;

const wchar_t* const CURRENT_VERSION_KEY = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char* const UNINSTALL_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const char* const INTERNET_SHORTCUT_HEAD = "[InternetShortcut]\r\nURL=";
const char* const SHUTDOWN_PRIVILEGE = "SeShutdownPrivilege";
const char* const LINK_EXTENSION = ".lnk";

const char* const LOG_RUNONCE_CREATED = "Create 'RunOnce' registry key entry";
const char* const LOG_CREATE_SHORTCUT = "CreateShortcuts: ";
const char* const LOG_RESTART_SYSTEM = "Restart System";
const char* const LOG_VALUE_NOT_WRITTEN = "Warning: Uninstall entry value not written: ";

// Balances a successful CoInitialize. Declared before the interface
// pointers, so that they are released before COM goes away.
class CComApartment {
public:
    CComApartment() = default;
    ~CComApartment()
    {
        if (m_entered)
            CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    void Entered() { m_entered = true; }

private:
    bool m_entered = false;
};

// Whether anything stands at the path; a failed question is the save's failure.
bool LinkExists(const std::string& path, DWORD* error)
{
    if (EngineCalls().GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    *error = GetLastError();
    return false;
}

const wchar_t* Wide(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

void SetDwordValue(CInstaller& engine, HKEY key, const char* name, DWORD value)
{
    const std::u16string wideName = Widen(name);
    if (EngineCalls().RegSetValueExW(key, Wide(wideName), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                     sizeof value) != ERROR_SUCCESS)
        engine.WriteLog("Warning: Uninstall entry value not written: ", name);
}

// REG_SZ with its terminating zero. The entry is for people and tools to read:
// a value that cannot be written is a warning, never the installation's failure.
void SetStringValue(CInstaller& engine, HKEY key, const char* name, const std::string& value)
{
    const std::u16string wideName = Widen(name);
    const std::u16string wideValue = Widen(value);
    const LONG result = EngineCalls().RegSetValueExW(key, Wide(wideName), 0, REG_SZ,
                                                     reinterpret_cast<const BYTE*>(wideValue.c_str()),
                                                     static_cast<DWORD>((wideValue.size() + 1) * sizeof(char16_t)));
    if (result != ERROR_SUCCESS)
        engine.WriteLog(LOG_VALUE_NOT_WRITTEN, name);
}

}  // namespace

void CInstaller::CreateShortcut(const std::string& targetFileName, const std::string& targetDirectory,
                                const std::string& linkFolder, const std::string& linkName,
                                const char* arguments)
{
    const std::string targetPath = targetDirectory + "\\" + targetFileName;
    const std::string linkPath = linkFolder + "\\" + linkName + LINK_EXTENSION;
    WriteLog(LOG_CREATE_SHORTCUT, linkPath.c_str());

    EnginePlatformCalls& calls = EngineCalls();
    CComApartment apartment;
    if (FAILED(calls.CoInitialize(nullptr)))
        ThrowAt(LOC_COM_INIT, GetLastError());
    apartment.Entered();

    fw::CComPtr<IShellLinkA> link;
    if (FAILED(calls.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      link.put_void())) ||
        !link)
        ThrowAt(LOC_CREATE_LINK, GetLastError());

    fw::CComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) || !file)
        ThrowAt(LOC_PERSIST_FILE, GetLastError());

    if (FAILED(link->SetPath(targetPath.c_str())))
        ThrowAt(LOC_SET_PATH, GetLastError());
    if (FAILED(link->SetDescription(linkName.c_str())))
        ThrowAt(LOC_SET_DESCRIPTION, GetLastError());
    if (arguments != nullptr)
        link->SetArguments(arguments);  // a link without its arguments still starts the program
    if (FAILED(link->SetWorkingDirectory(targetDirectory.c_str())))
        ThrowAt(LOC_SET_WORKING_DIRECTORY, GetLastError());
    if (FAILED(link->SetIconLocation(targetPath.c_str(), 0)))
        ThrowAt(LOC_SET_ICON, GetLastError());

    WCHAR widePath[LINK_PATH_CHARS];
    if (MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, widePath, LINK_PATH_CHARS) == 0)
        ThrowAt(LOC_SAVE_LINK, GetLastError());

    // An existing link (an earlier installation's) is backed up like any
    // overwritten file and comes back with a rollback; a new one is deleted.
    DWORD error = 0;
    if (LinkExists(linkPath, &error))
        BackupFile(linkName + LINK_EXTENSION, linkFolder);
    else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
        ThrowAt(LOC_SAVE_LINK, error);
    else
        Journal(JournalRecord::MakeEntry(linkPath, JOURNAL_FILE));
    if (FAILED(file->Save(widePath, FALSE)))
        ThrowAt(LOC_SAVE_LINK, GetLastError());
}

void CInstaller::CreateUrlShortcut(const std::string& fileName, const std::string& folder,
                                   const std::string& url)
{
    const std::string bytes = INTERNET_SHORTCUT_HEAD + url;
    InstallFile(fileName, folder, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void CInstaller::RegisterUninstall(const std::string& keyName, const std::string& installDirectory,
                                   const std::string& startMenuText,
                                   const std::string& uninstallerFileName,
                                   const std::string& displayName, const UninstallEntryDetails& details)
{
    const std::string subkey = UNINSTALL_KEY + keyName;
    // An earlier installation's entry comes back with a rollback; a new one goes.
    SaveOrJournalRegistryKey(subkey);
    fw::CRegKey key;
    const std::u16string wideKey = Widen(subkey);
    const LONG result = EngineCalls().RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(wideKey), 0, nullptr,
                                                      REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                                      nullptr, key.put(), nullptr);
    if (result != ERROR_SUCCESS) {
        WriteLog(LOG_VALUE_NOT_WRITTEN, subkey.c_str());
        return;
    }
    // Quoted: Windows reads the value as a command line, and a path with
    // spaces must not be split at them.
    const std::string uninstaller = "\"" + installDirectory + "\\" + uninstallerFileName + "\"";
    SetStringValue(*this, key.get(), "InstallLocation", installDirectory);
    SetStringValue(*this, key.get(), "UninstallString", uninstaller);
    SetStringValue(*this, key.get(), "QuietUninstallString", uninstaller + " -silent");
    SetStringValue(*this, key.get(), "StartMenuLocation", startMenuText);
    SetStringValue(*this, key.get(), "DisplayName", displayName);
    SetStringValue(*this, key.get(), "DisplayVersion", details.displayVersion);
    SetStringValue(*this, key.get(), "Publisher", details.publisher);
    SetStringValue(*this, key.get(), "DisplayIcon", details.displayIcon);
    SetDwordValue(*this, key.get(), "EstimatedSize", details.estimatedSizeKb);
    SetDwordValue(*this, key.get(), "NoModify", 1);
    SetDwordValue(*this, key.get(), "NoRepair", 1);
}

void CInstaller::EnsureRunOnceKey()
{
    EnginePlatformCalls& calls = EngineCalls();
    fw::CRegKey parent;
    if (calls.RegCreateKeyExW(HKEY_LOCAL_MACHINE, CURRENT_VERSION_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, parent.put(), nullptr) != ERROR_SUCCESS)
        return;
    fw::CRegKey runOnce;
    DWORD disposition = 0;
    if (calls.RegCreateKeyExW(parent.get(), L"RunOnce", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                              nullptr, runOnce.put(), &disposition) == ERROR_SUCCESS) {
        runOnce.reset();
        if (disposition == REG_CREATED_NEW_KEY)
            WriteLog(LOG_RUNONCE_CREATED);
    }
}

BOOL CInstaller::RestartSystem()
{
    WriteLog(LOG_RESTART_SYSTEM);

    // Without the privilege ExitWindowsEx refuses; a failure to get it is
    // left for ExitWindowsEx to report through its result.
    HANDLE rawToken = nullptr;
    if (EngineCalls().OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &rawToken)) {
        fw::CKernelHandle token(rawToken);
        TOKEN_PRIVILEGES privileges{};
        if (LookupPrivilegeValueA(nullptr, SHUTDOWN_PRIVILEGE, &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
        }
    }

    // Only starts the restart; the caller goes on and ends normally.
    return EngineCalls().ExitWindowsEx(EWX_REBOOT, 0);
}
