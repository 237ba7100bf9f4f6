// Conversions between the setup's own ANSI texts and the UTF-16 the system
// keeps other programs' data in, and the pairs of the restart's rename list
// the engine writes for its own files.
#pragma once

#include "engine/PendingRenames.h"

#include <string>

// The ANSI text in UTF-16 (the system code page); empty when it cannot be converted.
std::u16string Widen(const std::string& text);
// For the log only: UTF-16 in the system code page, with '?' for what it lacks.
std::string Narrow(const std::u16string& text);

// Sets a registry value to exactly these bytes. The registry adds a
// terminator to string data that lacks one when the unit after the buffer
// happens to be zero; a unit that is not zero follows the bytes given, so
// that another program's unterminated string is stored as it was.
long SetValueExactly(void* key, const wchar_t* name, unsigned long type, const std::string& bytes);

// "\??\path": how the rename list names a file.
std::u16string RenamePath(const std::string& path);
// The temporary file replaces the target at the restart.
RenamePair ReplacePair(const std::string& from, const std::string& target);
// The file is deleted at the restart.
RenamePair DeletePair(const std::string& path);
