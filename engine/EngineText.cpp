#include "engine/EngineText.h"

#include "engine/PlatformCalls.h"

#include <windows.h>

#include <vector>

namespace {

const char16_t NT_PATH_PREFIX[] = u"\\??\\";
const char16_t REPLACE_MARK[] = u"!";

}  // namespace

std::u16string Widen(const std::string& text)
{
    if (text.empty())
        return std::u16string();
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return std::u16string();
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    return std::u16string(wide.begin(), wide.end());
}

std::string Narrow(const std::u16string& text)
{
    if (text.empty())
        return std::string();
    const std::wstring wide(text.begin(), text.end());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

long SetValueExactly(void* key, const wchar_t* name, unsigned long type, const std::string& bytes)
{
    std::string buffer = bytes;
    buffer.append("\xFF\xFF", 2);
    return EngineCalls().RegSetValueExW(static_cast<HKEY>(key), name, 0, type,
                                        reinterpret_cast<const BYTE*>(buffer.data()),
                                        static_cast<DWORD>(bytes.size()));
}

std::u16string RenamePath(const std::string& path)
{
    return NT_PATH_PREFIX + Widen(path);
}

RenamePair ReplacePair(const std::string& from, const std::string& target)
{
    return RenamePair{RenamePath(from), REPLACE_MARK + RenamePath(target)};
}

RenamePair DeletePair(const std::string& path)
{
    return RenamePair{RenamePath(path), std::u16string()};
}
