#include "tests/support/PlantedLibraries.h"

#include "tests/support/TestSupport.h"

#include <windows.h>

namespace testsupport {

namespace {

constexpr char MARK_FILE[] = "C:\\velloran-planted-loaded.txt";
constexpr char OVERRIDES_KEY[] = "Software\\Wine\\DllOverrides";
constexpr char NATIVE_FIRST[] = "native,builtin";

}  // namespace

CPlantedLibraries::CPlantedLibraries(const std::vector<std::string>& names, const std::vector<std::string>& folders)
    : m_names(names)
{
    DeleteFileA(MARK_FILE);
    const std::string library = BinPath("planted.dll");
    for (const std::string& folder : folders) {
        for (const std::string& name : names) {
            const std::string file = folder + "\\" + name + ".dll";
            if (!CopyFileA(library.c_str(), file.c_str(), FALSE))
                m_planted = false;
            m_files.push_back(file);
        }
    }
    HKEY overrides = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, OVERRIDES_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &overrides,
                        nullptr) != ERROR_SUCCESS) {
        m_planted = false;
        return;
    }
    for (const std::string& name : names) {
        if (RegSetValueExA(overrides, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(NATIVE_FIRST),
                           sizeof NATIVE_FIRST) != ERROR_SUCCESS)
            m_planted = false;
    }
    RegCloseKey(overrides);
}

CPlantedLibraries::~CPlantedLibraries()
{
    HKEY overrides = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, OVERRIDES_KEY, 0, KEY_SET_VALUE, &overrides) == ERROR_SUCCESS) {
        for (const std::string& name : m_names)
            RegDeleteValueA(overrides, name.c_str());
        RegCloseKey(overrides);
    }
    for (const std::string& file : m_files)
        DeleteFileA(file.c_str());
}

std::string CPlantedLibraries::Marks()
{
    return ReadFileBytes(MARK_FILE);
}

}  // namespace testsupport
