#include "app/CommandLine.h"

#include <cstring>

#ifdef _WIN32
#include "framework/Handles.h"

#include <windows.h>
#endif

namespace {

// Far beyond any command line Windows passes (32767 characters), and small
// enough that the block size cannot overflow and the word count fits an int.
constexpr size_t MAX_SPLIT_LENGTH = 0x3FFFFFFF;

constexpr const char* SWITCH_TEXTS[] = {"-log", "-advlog", "-unpack", "-silent", "-im", "-norestart", "-licenseaccept"};
constexpr int32_t SetupOptions::*SWITCH_FLAGS[] = {
    &SetupOptions::logBesideSetup, &SetupOptions::advancedLog, &SetupOptions::unpackOnly,
    &SetupOptions::silent,         &SetupOptions::showMessages, &SetupOptions::noRestart,
    &SetupOptions::acceptLicense};
static_assert(sizeof SWITCH_TEXTS / sizeof SWITCH_TEXTS[0] == sizeof SWITCH_FLAGS / sizeof SWITCH_FLAGS[0],
              "every switch needs its flag");

bool IsSeparator(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whole-word comparison that folds only ASCII letters, as _stricmp does in
// the C locale.
bool EqualsIgnoringAsciiCase(const char* word, const char* text)
{
    for (;; ++word, ++text) {
        if (AsciiLower(*word) != AsciiLower(*text))
            return false;
        if (*word == '\0')
            return true;
    }
}

size_t WordSlots(size_t length)
{
    return (length + 2) / 2 + 1;
}

}  // namespace

size_t SplitBlockSize(size_t length)
{
    if (length > MAX_SPLIT_LENGTH)
        return 0;
    return WordSlots(length) * sizeof(char*) + length + 2;
}

int SplitCommandLine(const char* text, size_t length, void* block, size_t blockSize, char*** words)
{
    const size_t needed = SplitBlockSize(length);
    if (needed == 0 || block == nullptr || blockSize < needed || (text == nullptr && length > 0) ||
        reinterpret_cast<uintptr_t>(block) % alignof(char*) != 0)
        return 0;
    char** list = static_cast<char**>(block);
    char* out = reinterpret_cast<char*>(list + WordSlots(length));
    int count = 0;
    bool quoting = false;
    // Inside a word; when off, the next byte that is not a separator begins one.
    bool inWord = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (quoting) {
            if (c == '"')
                quoting = false;
            else
                *out++ = c;
            continue;
        }
        if (IsSeparator(c)) {
            if (inWord)
                *out++ = '\0';
            inWord = false;
            continue;
        }
        if (!inWord)
            list[count++] = out;
        inWord = true;
        if (c == '"')
            quoting = true;
        else
            *out++ = c;
    }
    if (inWord)
        *out = '\0';
    list[count] = nullptr;
    if (words != nullptr)
        *words = list;
    return count;
}

void RecognizeSwitches(char* const* words, int count, SetupOptions* options)
{
    if (words == nullptr)
        return;
    for (int i = 0; i < count && words[i] != nullptr; ++i) {
        for (size_t s = 0; s < sizeof SWITCH_TEXTS / sizeof SWITCH_TEXTS[0]; ++s) {
            if (EqualsIgnoringAsciiCase(words[i], SWITCH_TEXTS[s])) {
                options->*SWITCH_FLAGS[s] = 1;
                break;
            }
        }
    }
}

#ifdef _WIN32
SetupOptions ParseOptions()
{
    SetupOptions options;
    const char* line = GetCommandLineA();
    if (line == nullptr)
        return options;
    const size_t length = std::strlen(line);
    const size_t size = SplitBlockSize(length);
    if (size == 0)
        return options;
    fw::CGlobalMem block(GlobalAlloc(GMEM_FIXED, size));
    if (!block)
        return options;
    char** words = nullptr;
    const int count = SplitCommandLine(line, length, block.get(), size, &words);
    RecognizeSwitches(words, count, &options);
    // The block goes as soon as the flags are set: nothing keeps the words.
    block.reset();
    return options;
}
#endif
