#include "engine/PendingRenames.h"

#include <algorithm>

namespace {

constexpr size_t UNIT_BYTES = 2;

// One complete pair where it stands in the value: bytes [begin, end).
struct StoredPair {
    size_t begin;
    size_t end;
    RenamePair pair;
};

char16_t UnitAt(const std::string& value, size_t unit)
{
    const auto low = static_cast<unsigned char>(value[unit * UNIT_BYTES]);
    const auto high = static_cast<unsigned char>(value[unit * UNIT_BYTES + 1]);
    return static_cast<char16_t>(low | (high << 8));
}

void AppendString(std::string* bytes, const std::u16string& text)
{
    for (const char16_t unit : text) {
        bytes->push_back(static_cast<char>(unit & 0xFF));
        bytes->push_back(static_cast<char>(unit >> 8));
    }
    bytes->append(UNIT_BYTES, '\0');
}

// Reads the string starting at `*unit` into `text` and moves `*unit` past its
// terminator; false, with nothing moved, when the terminator is not there.
bool ReadString(const std::string& value, size_t units, size_t* unit, std::u16string* text)
{
    size_t end = *unit;
    while (end < units && UnitAt(value, end) != 0)
        ++end;
    if (end >= units)
        return false;
    text->clear();
    for (size_t u = *unit; u < end; ++u)
        text->push_back(UnitAt(value, u));
    *unit = end + 1;
    return true;
}

// Units start at the value's first byte; a trailing odd byte is no unit.
std::vector<StoredPair> WalkPairs(const std::string& value)
{
    std::vector<StoredPair> pairs;
    const size_t units = value.size() / UNIT_BYTES;
    size_t unit = 0;
    for (;;) {
        StoredPair stored{unit * UNIT_BYTES, 0, {}};
        size_t next = unit;
        if (!ReadString(value, units, &next, &stored.pair.source) || stored.pair.source.empty())
            break;
        if (!ReadString(value, units, &next, &stored.pair.destination))
            break;
        stored.end = next * UNIT_BYTES;
        pairs.push_back(std::move(stored));
        unit = next;
    }
    return pairs;
}

// An empty source would end the list, a zero unit would split a string: either
// would shift the pairing of every entry after it.
bool Storable(const RenamePair& pair)
{
    const auto hasZero = [](const std::u16string& text) { return text.find(u'\0') != std::u16string::npos; };
    return !pair.source.empty() && !hasZero(pair.source) && !hasZero(pair.destination);
}

bool Contains(const std::vector<RenamePair>& pairs, const RenamePair& pair)
{
    return std::find(pairs.begin(), pairs.end(), pair) != pairs.end();
}

}  // namespace

std::vector<RenamePair> ParseRenamePairs(const std::string& value)
{
    std::vector<RenamePair> pairs;
    for (StoredPair& stored : WalkPairs(value))
        pairs.push_back(std::move(stored.pair));
    return pairs;
}

std::string AddRenamePairs(const std::string& value, const std::vector<RenamePair>& pairs, size_t* added)
{
    const std::vector<StoredPair> walked = WalkPairs(value);
    std::vector<RenamePair> present;
    for (const StoredPair& stored : walked)
        present.push_back(stored.pair);
    std::string ours;
    size_t count = 0;
    for (const RenamePair& pair : pairs) {
        if (!Storable(pair) || Contains(present, pair))
            continue;
        AppendString(&ours, pair.source);
        AppendString(&ours, pair.destination);
        present.push_back(pair);
        ++count;
    }
    if (added)
        *added = count;
    if (count == 0)
        return value;

    // Ours go where the walk stops, before whatever it could not read: a lone
    // string stays lone after ours instead of taking our source as its
    // partner, and an unterminated string still ends the bytes as before.
    // The walk stops on a unit boundary counted from the first byte, and ours
    // are whole units, so they stay aligned with the units the system reads;
    // a trailing odd byte, which is no unit, stays last. When no whole unit
    // follows (nothing, or only that odd byte), the list would end in our
    // last string: a terminator goes in after ours, before the odd byte.
    const size_t at = walked.empty() ? 0 : walked.back().end;
    if (value.size() - at < UNIT_BYTES)
        ours.append(UNIT_BYTES, '\0');

    std::string result;
    result.reserve(value.size() + ours.size());
    result.append(value, 0, at);
    result.append(ours);
    result.append(value, at, std::string::npos);
    return result;
}

std::string RemoveRenamePairs(const std::string& value, const std::vector<RenamePair>& pairs, size_t* removed)
{
    std::string result;
    result.reserve(value.size());
    size_t kept = 0;
    size_t count = 0;
    for (const StoredPair& stored : WalkPairs(value)) {
        if (!Contains(pairs, stored.pair))
            continue;
        result.append(value, kept, stored.begin - kept);
        kept = stored.end;
        ++count;
    }
    result.append(value, kept, std::string::npos);
    if (removed)
        *removed = count;
    return result;
}

size_t CountRenamePairs(const std::string& value)
{
    return WalkPairs(value).size();
}

bool HasRenamePair(const std::string& value, const RenamePair& pair)
{
    const std::vector<RenamePair> pairs = ParseRenamePairs(value);
    return Contains(pairs, pair);
}

bool RenameValueIsEmpty(const std::string& value)
{
    return value.find_first_not_of('\0') == std::string::npos;
}
