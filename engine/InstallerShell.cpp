#include "engine/Installer.h"

#include "engine/PlatformCalls.h"

namespace {

const char* const CURRENT_VERSION_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char* const LOG_RUNONCE_CREATED = "Create 'RunOnce' registry key entry";

}  // namespace

void CInstaller::EnsureRunOnceKey()
{
    fw::CRegKey parent;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CURRENT_VERSION_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, parent.put(), nullptr) != ERROR_SUCCESS)
        return;
    fw::CRegKey runOnce;
    DWORD disposition = 0;
    if (RegCreateKeyExA(parent.get(), "RunOnce", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, runOnce.put(), &disposition) == ERROR_SUCCESS) {
        runOnce.reset();
        if (disposition == REG_CREATED_NEW_KEY)
            WriteLog(LOG_RUNONCE_CREATED);
    }
}
