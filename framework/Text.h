// Texts from the program's string table, and bounded printf-style formatting
// into std::string. Every user-visible message comes through here by number.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace fw {

// The string resource `id` of the running program; empty when it is missing.
inline std::string LoadText(UINT id)
{
    // LoadStringA with a zero-length buffer is not portable across platforms;
    // grow a buffer until the text fits.
    std::string text(256, '\0');
    for (;;) {
        const int length = ::LoadStringA(::GetModuleHandleA(nullptr), id, &text[0],
                                         static_cast<int>(text.size()));
        if (length <= 0)
            return std::string();
        if (static_cast<size_t>(length) + 1 < text.size()) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

// printf-style formatting without a fixed limit: the result is as long as it
// needs to be.
inline std::string FormatV(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    if (static_cast<size_t>(length) < sizeof small)
        return std::string(small, static_cast<size_t>(length));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

inline std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

// The string resource `id` used as the format.
inline std::string FormatText(UINT id, ...)
{
    const std::string format = LoadText(id);
    va_list args;
    va_start(args, id);
    std::string text = FormatV(format.c_str(), args);
    va_end(args);
    return text;
}

}  // namespace fw
