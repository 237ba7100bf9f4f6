#include "framework/SystemLibrary.h"

#include <cstring>

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// Loaded by their bare names by the theme engine when it draws.
constexpr const char* THEME_LIBRARIES[] = {"msimg32.dll"};

// The error of a failed call, never 0: a failure must not read as success.
DWORD ErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

}  // namespace

namespace fw {

void RestrictLibrarySearch() noexcept
{
    // Looked up, not imported: older systems lack it, and a missing import
    // would stop the program before it starts.
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    const auto setDefaultDirectories =
        kernel != nullptr ? ProcAs<SetDefaultDllDirectoriesFn>(::GetProcAddress(kernel, "SetDefaultDllDirectories"))
                          : nullptr;
    if (setDefaultDirectories == nullptr || !setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        ::SetDllDirectoryA("");
}

void LoadThemeLibraries() noexcept
{
    for (const char* name : THEME_LIBRARIES)
        LoadSystemLibrary(name);
}

HMODULE LoadSystemLibrary(const char* name) noexcept
{
    char path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        ::SetLastError(ErrorOr(ERROR_PATH_NOT_FOUND));
        return nullptr;
    }
    const size_t nameLength = std::strlen(name);
    if (length + 1 + nameLength >= MAX_PATH) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    path[length] = '\\';
    std::memcpy(path + length + 1, name, nameLength + 1);
    return ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

SystemProc FindSystemProc(const char* library, const char* entry) noexcept
{
    // The library stays loaded for the rest of the run: the address is kept.
    HMODULE module = LoadSystemLibrary(library);
    if (module == nullptr)
        return SystemProc{nullptr, ErrorOr(ERROR_MOD_NOT_FOUND)};
    const FARPROC address = ::GetProcAddress(module, entry);
    if (address == nullptr)
        return SystemProc{nullptr, ErrorOr(ERROR_PROC_NOT_FOUND)};
    return SystemProc{address, ERROR_SUCCESS};
}

}  // namespace fw
