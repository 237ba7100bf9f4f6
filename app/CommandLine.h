// The setup's command line: a small splitter of its own (not the C runtime's
// argument parser) and the recognition of its seven switches. The splitter
// and the recognition are portable; ParseOptions reads the process's own
// command line on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

// The seven switches, each 0 or 1; all 0 before parsing.
struct SetupOptions {
    int32_t logBesideSetup = 0;  // "-log"
    int32_t advancedLog = 0;     // "-advlog"
    int32_t unpackOnly = 0;      // "-unpack"
    int32_t silent = 0;          // "-silent"
    int32_t showMessages = 0;    // "-im"
    int32_t noRestart = 0;       // "-norestart"
    int32_t acceptLicense = 0;   // "-licenseaccept"
};

// Bytes of the block that splitting a text of `length` bytes needs: room for
// (length + 2) / 2 + 1 word pointers, then length + 2 bytes of word texts.
// Every word but the last needs a separator after it, so no text can need
// more. 0 when the length is beyond what a command line can be.
size_t SplitBlockSize(size_t length);

// Splits `length` bytes of `text` into words inside `block`, which the caller
// provides with `blockSize` bytes, aligned for pointers. The block then
// starts with the word pointers, ended by a null entry, followed by the
// NUL-terminated word texts; *words points at the first entry. Returns the
// number of words. A block smaller than SplitBlockSize(length) is not
// touched and gives no words.
//
// Separators are TAB, LF, CR and SPACE; a double quote switches quoting on
// and off and is dropped; there is no escape character. A pair of quotes
// standing alone is an empty word; a quote never closed runs to the end.
int SplitCommandLine(const char* text, size_t length, void* block, size_t blockSize, char*** words);

// Sets the flag of every word that equals a switch, ignoring ASCII case;
// other words are ignored. Stops at `count` or at a null entry.
void RecognizeSwitches(char* const* words, int count, SetupOptions* options);

#ifdef _WIN32
// The switches of this process's command line. When the line cannot be read
// or split, all flags are 0: the run is then an ordinary wizard run.
SetupOptions ParseOptions();
#endif
