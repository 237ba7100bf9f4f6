// The raw bytes of HKLM\System\CurrentControlSet\Control\Session Manager
// PendingFileRenameOperations, edited in place. MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT rewrites the whole value under Wine, and the
// ANSI registry calls garble other programs' non-ASCII paths, so the engine
// reads and writes the value with the wide calls and changes only the bytes
// of its own pairs here.
//
// The value is REG_MULTI_SZ in UTF-16LE: zero-terminated strings taken in
// pairs (source, destination), then an empty string ending the list. Paths
// are stored as "\??\C:\dir\file"; a destination starting with "!" replaces
// an existing file, an empty destination deletes the source. Whatever does
// not walk as a complete pair (a lone string, an unterminated string, an odd
// byte, anything after the list's end) belongs to someone else and is kept
// byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One entry exactly as stored, with "\??\" and "!".
struct RenamePair {
    std::u16string source;
    std::u16string destination;

    bool operator==(const RenamePair& other) const
    {
        return source == other.source && destination == other.destination;
    }
    bool operator!=(const RenamePair& other) const { return !(*this == other); }
};

// The complete pairs, in order, as the session manager walks them at restart:
// from the first byte, a source and its destination, each with its
// terminator, until an empty source or the end of the bytes. A string whose
// terminator is not there is not read.
std::vector<RenamePair> ParseRenamePairs(const std::string& value);

// The value with `pairs` put right after its last complete pair, every byte
// of `value` kept around them. A pair already in the value (unit for unit),
// or given twice, goes in once; a pair with an empty source or a zero unit
// inside cannot be stored as one pair and is left out. When no whole unit
// followed the insertion point, a list terminator follows ours. `added`
// (optional) receives how many pairs went in; with none the value comes back
// as it was.
std::string AddRenamePairs(const std::string& value, const std::vector<RenamePair>& pairs,
                           size_t* added = nullptr);

// The value without the bytes of every complete pair equal to one of
// `pairs`; every other byte is kept. `removed` (optional) receives how many
// pairs went.
std::string RemoveRenamePairs(const std::string& value, const std::vector<RenamePair>& pairs,
                              size_t* removed = nullptr);

size_t CountRenamePairs(const std::string& value);
bool HasRenamePair(const std::string& value, const RenamePair& pair);

// Nothing but zero bytes (or no bytes): the list is spent and the caller
// deletes the value, as the system leaves it after a restart. A lone string
// or any other program's leftover keeps the value.
bool RenameValueIsEmpty(const std::string& value);
