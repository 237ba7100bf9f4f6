// Libraries of the system folder, and nothing else. A setup is run elevated
// from a folder full of other downloads: any library it looks for by name
// could be found there first. So a program restricts the search to the system
// folder before it does anything else, imports statically only libraries
// that Windows takes from its known-library list (or binds through the
// manifest), and loads every other library at run time by its full path.
//
// An entry point of such a library is reached through SYSTEM_ENTRY, which
// gives a function of the entry's own type that loads the library and looks
// the entry up on its first call. When either fails, every call fails the
// way the entry point documents failure (FALSE, or INVALID_HANDLE_VALUE for
// a handle), with the load's error as the last error; the operation that
// needed it reports that error like any other failure of the call.
//
//   using AlphaBlendFn = decltype(&::AlphaBlend);
//   AlphaBlendFn alphaBlend = SYSTEM_ENTRY("msimg32.dll", AlphaBlend);
#pragma once

#include <windows.h>

#include <type_traits>

namespace fw {

// Takes the program's folder and the current folder out of the library
// search, leaving the system folder. Where the system lacks
// SetDefaultDllDirectories (Windows 7 without its update), at least the
// current folder goes.
void RestrictLibrarySearch() noexcept;

// Where the search still includes the program's folder (systems without
// SetDefaultDllDirectories, and Wine, whose on-demand loads ignore it), a
// system library that loads another by its bare name on demand looks there
// first. A windowed program loads the libraries the theme engine loads that
// way when it draws (msimg32) from the system folder before its first
// window: the bare name then finds them loaded. They stay for the whole run.
void LoadThemeLibraries() noexcept;

// The library `name` of the system folder, loaded by its full path; its own
// imports are then looked for there too. nullptr with the last error set
// when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name) noexcept;

// Where an entry point of a system library lies, or why it is not there.
struct SystemProc {
    FARPROC address;
    DWORD error;  // when address is nullptr
};
SystemProc FindSystemProc(const char* library, const char* entry) noexcept;

// An address GetProcAddress returned, as the function it is. (Through
// void (*)(), the type that stands for any function.)
template <typename Function>
Function ProcAs(FARPROC address) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// How an entry point reports failure, by its result type.
template <typename Result>
Result FailedResult() noexcept
{
    if constexpr (std::is_same_v<Result, BOOL>) {
        return FALSE;
    } else if constexpr (std::is_same_v<Result, HANDLE>) {
        // Every handle the system libraries hand out this way (device lists,
        // INF files) reports failure as INVALID_HANDLE_VALUE.
        return INVALID_HANDLE_VALUE;
    } else {
        static_assert(std::is_same_v<Result, BOOL>, "say how this entry point reports failure");
        return Result();
    }
}

template <typename Function, typename Entry>
struct CSystemEntry;

template <typename Result, typename... Args, typename Entry>
struct CSystemEntry<Result(WINAPI*)(Args...), Entry> {
    static Result WINAPI Call(Args... args)
    {
        static const SystemProc proc = FindSystemProc(Entry::Library(), Entry::Name());
        if (proc.address == nullptr) {
            ::SetLastError(proc.error);
            return FailedResult<Result>();
        }
        return ProcAs<Result(WINAPI*)(Args...)>(proc.address)(args...);
    }
};

}  // namespace fw

// A function of `function`'s own type that calls it in the system folder's
// `library`. Only the declaration of `function` is used, so the program does
// not import it.
#define SYSTEM_ENTRY(library, function)                                                    \
    ([] {                                                                                  \
        struct Entry {                                                                     \
            static const char* Library() { return library; }                               \
            static const char* Name() { return #function; }                                \
        };                                                                                 \
        return &::fw::CSystemEntry<decltype(&::function), Entry>::Call;                    \
    }())
