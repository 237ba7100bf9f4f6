// libFuzzer target: our add and remove over arbitrary bytes of the rename
// list. The input's first bytes make up to three pairs (any units, empty or
// with zeros inside, or a copy of a pair already in the value); the rest is
// the value. Whatever the system would not walk as a complete pair must come
// back byte for byte after an add and a remove of ours.
#include "engine/PendingRenames.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_PAIRS = 3;
constexpr size_t MAX_UNITS = 7;
constexpr uint8_t COPY_EXISTING = 0x80;

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;

    uint8_t Byte()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
};

std::u16string Units(Input* in, uint8_t length)
{
    std::u16string text;
    for (size_t i = 0; i < length % (MAX_UNITS + 1); ++i) {
        const uint8_t low = in->Byte();
        text.push_back(static_cast<char16_t>(low | (in->Byte() << 8)));
    }
    return text;
}

std::string Bytes(const std::vector<RenamePair>& pairs)
{
    std::string bytes;
    for (const RenamePair& pair : pairs) {
        for (const std::u16string* text : {&pair.source, &pair.destination}) {
            for (const char16_t unit : *text) {
                bytes.push_back(static_cast<char>(unit & 0xFF));
                bytes.push_back(static_cast<char>(unit >> 8));
            }
            bytes.append(2, '\0');
        }
    }
    return bytes;
}

bool Listed(const std::vector<RenamePair>& pairs, const RenamePair& pair)
{
    return std::find(pairs.begin(), pairs.end(), pair) != pairs.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in{data, size};
    const size_t count = in.Byte() % (MAX_PAIRS + 1);
    std::vector<uint8_t> copies;
    std::vector<RenamePair> asked;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t sourceLength = in.Byte();
        RenamePair pair;
        pair.source = Units(&in, sourceLength);
        pair.destination = Units(&in, in.Byte());
        copies.push_back(sourceLength & COPY_EXISTING ? in.Byte() : 0);
        asked.push_back(pair);
    }
    const std::string value(reinterpret_cast<const char*>(in.data), in.size);

    // The walk reads contiguous pairs from the first byte.
    const std::vector<RenamePair> theirs = ParseRenamePairs(value);
    const std::string walked = Bytes(theirs);
    Check(value.compare(0, walked.size(), walked) == 0);
    Check(CountRenamePairs(value) == theirs.size());
    for (size_t i = 0; i < asked.size(); ++i) {
        if (copies[i] && !theirs.empty())
            asked[i] = theirs[copies[i] % theirs.size()];
    }

    std::vector<RenamePair> expected = theirs;
    bool overlap = false;
    for (const RenamePair& pair : asked) {
        const bool storable = !pair.source.empty() && pair.source.find(u'\0') == std::u16string::npos &&
                              pair.destination.find(u'\0') == std::u16string::npos;
        overlap = overlap || Listed(theirs, pair);
        if (storable && !Listed(expected, pair))
            expected.push_back(pair);
    }
    size_t added = 0;
    const std::string withOurs = AddRenamePairs(value, asked, &added);
    Check(ParseRenamePairs(withOurs) == expected);
    Check(added == expected.size() - theirs.size());
    for (size_t i = theirs.size(); i < expected.size(); ++i)
        Check(HasRenamePair(withOurs, expected[i]));

    size_t removed = 0;
    const std::string after = RemoveRenamePairs(withOurs, asked, &removed);
    std::vector<RenamePair> left;
    for (const RenamePair& pair : expected) {
        if (!Listed(asked, pair))
            left.push_back(pair);
    }
    Check(ParseRenamePairs(after) == left);
    Check(removed == expected.size() - left.size());
    if (added == 0) {
        Check(withOurs == value);
    } else if (!overlap) {
        // Back as it was, but for the terminator our add placed where the
        // list had none after its last pair.
        const std::string tail = value.substr(walked.size());
        Check(after == (tail.size() >= 2 ? value : walked + std::string(2, '\0') + tail));
    }
    Check(RenameValueIsEmpty(after) == (after.find_first_not_of('\0') == std::string::npos));
    return 0;
}
