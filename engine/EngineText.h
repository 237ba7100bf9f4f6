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

// "\??\path": how the rename list names a file.
std::u16string RenamePath(const std::string& path);
// The temporary file replaces the target at the restart.
RenamePair ReplacePair(const std::string& from, const std::string& target);
// The file is deleted at the restart.
RenamePair DeletePair(const std::string& path);
