// The uninstaller's command line: the setup's switches it honours
// (app/CommandLine.h: "-silent", "-im", "-norestart"; the others are
// ignored), and the marker with which the program started by the user hands
// the work to its copy, naming itself. Portable: split with the setup's own
// splitter, so quoting works the same for both programs.
#pragma once

#include "app/CommandLine.h"

#include <string>

// Precedes the original program's path on the copy's command line.
constexpr const char ORIGINAL_MARKER[] = "-original";

// Whether the command line carries the marker (the program's own name, the
// first word, never counts), and the word after it: empty when nothing
// follows it. A program started with the marker is a copy and never makes
// another one.
bool FindOriginal(const char* commandLine, std::string* original);

// The copy's command line: the copy's path quoted, the switches it honours
// as they were given, the marker and the original's path quoted. Windows
// paths hold no double quote, and the splitter has no escape character, so
// a quoted path comes back whole, spaces and a trailing backslash included.
std::string CopyCommandLine(const std::string& copy, const SetupOptions& options, const std::string& original);

#ifdef _WIN32
// FindOriginal on this process's command line.
bool OriginalFromCommandLine(std::string* original);
#endif
