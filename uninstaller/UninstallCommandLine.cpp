#include "uninstaller/UninstallCommandLine.h"

#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

}  // namespace

bool FindOriginal(const char* commandLine, std::string* original)
{
    original->clear();
    if (commandLine == nullptr)
        return false;
    const size_t length = std::strlen(commandLine);
    const size_t size = SplitBlockSize(length);
    if (size == 0)
        return false;
    // Pointer-aligned, as the splitter needs its block.
    std::vector<char*> block((size + sizeof(char*) - 1) / sizeof(char*));
    char** words = nullptr;
    const int count = SplitCommandLine(commandLine, length, block.data(), block.size() * sizeof(char*), &words);
    for (int i = 1; i < count; ++i) {
        if (std::strcmp(words[i], ORIGINAL_MARKER) == 0) {
            if (i + 1 < count)
                *original = words[i + 1];
            return true;
        }
    }
    return false;
}

std::string CopyCommandLine(const std::string& copy, const SetupOptions& options, const std::string& original)
{
    std::string line = Quoted(copy);
    if (options.silent)
        line += " -silent";
    if (options.showMessages)
        line += " -im";
    if (options.noRestart)
        line += " -norestart";
    return line + " " + ORIGINAL_MARKER + " " + Quoted(original);
}

#ifdef _WIN32
bool OriginalFromCommandLine(std::string* original)
{
    return FindOriginal(GetCommandLineA(), original);
}
#endif
