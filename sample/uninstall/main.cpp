// The product's uninstaller, a stand-in: it says what a real one would remove
// and removes nothing, so that an installed test machine stays as the setup
// left it.
#include "framework/Handles.h"
#include "framework/SystemLibrary.h"
#include "sample/common/SampleIdentity.h"
#include "sample/common/StdOutput.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

bool ReadUninstallValue(HKEY key, const char* name, std::string* value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    std::vector<char> bytes(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) != ERROR_SUCCESS)
        return false;
    *value = bytes.data();  // stops at the stored terminator, or at the one added above
    return true;
}

// What a real uninstaller would do; false when the product is not registered.
bool ComposePlan(std::string* text)
{
    const std::string entry = std::string("HKEY_LOCAL_MACHINE\\") + SAMPLE_UNINSTALL_KEY;
    fw::CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SAMPLE_UNINSTALL_KEY, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        *text = std::string(SAMPLE_PRODUCT_NAME) + " is not installed: there is no uninstall entry " + entry +
                ".\nNothing to do.\n";
        return false;
    }
    std::string folder;
    std::string startMenu;
    ReadUninstallValue(key.get(), "InstallLocation", &folder);
    ReadUninstallValue(key.get(), "StartMenuLocation", &startMenu);
    *text = std::string("This is the ") + SAMPLE_PRODUCT_NAME +
            " stand-in uninstaller: it removes nothing. A real uninstaller would\n" +
            "- stop and delete the service " + SAMPLE_SERVICE_NAME + " (" + SAMPLE_SERVICE_DISPLAY_NAME + ")\n" +
            "- remove the devices " + SAMPLE_DEVICE_IDS + " and the driver services " + SAMPLE_DRIVER_SERVICES +
            "\n" + "- delete the folder " + (folder.empty() ? std::string("(unknown)") : folder) + "\n" +
            "- delete the Start Menu folder " + (startMenu.empty() ? std::string("(unknown)") : startMenu) + "\n" +
            "- delete the uninstall entry " + entry + "\n";
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    fw::RestrictLibrarySearch();
    fw::LoadThemeLibraries();
    try {
        std::string text;
        const bool installed = ComposePlan(&text);
        WriteStdOutput(text);
        const std::string caption = std::string(SAMPLE_PRODUCT_NAME) + " Uninstall";
        MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | (installed ? MB_ICONINFORMATION : MB_ICONWARNING));
        return installed ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
