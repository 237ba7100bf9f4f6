#include "engine/PendingRenames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// The value's bytes: UTF-16LE of `units`, embedded zeros included.
std::string Le(const std::u16string& units)
{
    std::string bytes;
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

std::vector<RenamePair> Joined(std::vector<RenamePair> pairs, const std::vector<RenamePair>& more)
{
    pairs.insert(pairs.end(), more.begin(), more.end());
    return pairs;
}

const RenamePair OURS{u"\\??\\C:\\Program Files\\Velloran\\core.dll.tmp",
                      u"!\\??\\C:\\Program Files\\Velloran\\core.dll"};
const RenamePair OURS_DELETE{u"\\??\\C:\\Program Files\\Velloran\\core.dll.backup", u""};

}  // namespace

TEST(PendingRenames, OtherProgramsNonAsciiEntriesSurviveOurAddAndRemove)
{
    // Japanese, Greek, and U+4E00, whose low byte is zero: a byte-wise scan
    // or an ANSI round trip would cut or garble these.
    const std::u16string japanese = u"\\??\\C:\\\u65E5\u672C\\\u4E00.txt";
    const std::u16string greek = u"!\\??\\C:\\\u03B1\u03B2\u03B3\\\u03A9.txt";
    const std::u16string temp = u"\\??\\C:\\\u03C4\u03B5\u03BC\u03C0";
    const std::string original = Le(japanese + u"\0"s + greek + u"\0"s + temp + u"\0\0\0"s);
    const std::vector<RenamePair> theirs{{japanese, greek}, {temp, u""}};
    ASSERT_EQ(ParseRenamePairs(original), theirs);

    const std::string added = AddRenamePairs(original, {OURS, OURS_DELETE});
    EXPECT_EQ(added, Le(japanese + u"\0"s + greek + u"\0"s + temp + u"\0\0"s + OURS.source + u"\0"s +
                        OURS.destination + u"\0"s + OURS_DELETE.source + u"\0\0\0"s));
    EXPECT_EQ(ParseRenamePairs(added), Joined(theirs, {OURS, OURS_DELETE}));

    size_t removed = 0;
    EXPECT_EQ(RemoveRenamePairs(added, {OURS, OURS_DELETE}, &removed), original);
    EXPECT_EQ(removed, 2u);
    EXPECT_FALSE(RenameValueIsEmpty(original));
}

TEST(PendingRenames, OddValuesComeBackAsTheyWereAfterOurAddAndRemove)
{
    struct Case {
        const char* what;
        std::string original;
        std::vector<RenamePair> theirs;
        std::string afterRemove;
    };
    const std::vector<RenamePair> ab{{u"A", u"B"}};
    const Case cases[] = {
        {"lone string at the end", Le(u"A\0B\0C\0"s), ab, Le(u"A\0B\0C\0"s)},
        {"only a lone string", Le(u"C\0"s), {}, Le(u"C\0"s)},
        {"last string unterminated", Le(u"A\0B\0C\0D"s), ab, Le(u"A\0B\0C\0D"s)},
        {"entries after the list's end", Le(u"A\0B\0\0C\0D\0\0"s), ab, Le(u"A\0B\0\0C\0D\0\0"s)},
        {"odd byte after the list", Le(u"A\0B\0\0"s) + "\x7f", ab, Le(u"A\0B\0\0"s) + "\x7f"},
        // Where the list ended in a string, our add had to end it; that
        // terminator stays (before an odd byte, which is no unit).
        {"no list terminator", Le(u"A\0B\0"s), ab, Le(u"A\0B\0\0"s)},
        {"odd byte right after a pair", Le(u"A\0B\0"s) + "\x7f", ab, Le(u"A\0B\0\0"s) + "\x7f"},
        {"empty value", "", {}, Le(u"\0"s)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(ParseRenamePairs(c.original), c.theirs);
        const std::string added = AddRenamePairs(c.original, {OURS});
        // Ours walk as one pair right after theirs, never paired with a lone string.
        EXPECT_EQ(ParseRenamePairs(added), Joined(c.theirs, {OURS}));
        size_t removed = 0;
        const std::string after = RemoveRenamePairs(added, {OURS}, &removed);
        EXPECT_EQ(after, c.afterRemove);
        EXPECT_EQ(removed, 1u);
    }
    // Our pair gone from a value that held only ours: the caller deletes it.
    EXPECT_TRUE(RenameValueIsEmpty(RemoveRenamePairs(AddRenamePairs("", {OURS}), {OURS})));
    EXPECT_FALSE(RenameValueIsEmpty(Le(u"C\0"s)));
}

TEST(PendingRenames, AddsOnceAndRemovesOnlyExactPairs)
{
    const std::string original = Le(u"A\0B\0\0"s);
    size_t added = 0;
    const std::string once = AddRenamePairs(original, {OURS, OURS}, &added);
    EXPECT_EQ(added, 1u);
    EXPECT_EQ(AddRenamePairs(once, {OURS}, &added), once);
    EXPECT_EQ(added, 0u);
    // A pair that would end the list or split in two is never written.
    EXPECT_EQ(AddRenamePairs(original, {{u"", u"X"}, {u"X\0Y"s, u"Z"}}, &added), original);
    EXPECT_EQ(added, 0u);

    // Same source with another destination, another case, or ours twice (an
    // earlier run's leftover): only exact matches go, each of them.
    const std::u16string upper = u"\\??\\C:\\PROGRAM FILES\\VELLORAN\\CORE.DLL.TMP";
    const std::u16string plain = OURS.destination.substr(1);
    const std::string mixed = Le(OURS.source + u"\0"s + plain + u"\0"s + upper + u"\0"s + OURS.destination +
                                 u"\0"s + OURS.source + u"\0\0"s + OURS.source + u"\0"s + OURS.destination + u"\0"s +
                                 OURS.source + u"\0"s + OURS.destination + u"\0\0"s);
    size_t removed = 0;
    EXPECT_EQ(RemoveRenamePairs(mixed, {OURS}, &removed),
              Le(OURS.source + u"\0"s + plain + u"\0"s + upper + u"\0"s + OURS.destination + u"\0"s +
                 OURS.source + u"\0\0\0"s));
    EXPECT_EQ(removed, 2u);
    EXPECT_EQ(CountRenamePairs(mixed), 5u);
    EXPECT_TRUE(HasRenamePair(mixed, {OURS.source, u""}));
}

TEST(PendingRenames, DeletePairWithEmptyDestinationRoundTrips)
{
    // "src\0\0" is a delete of src, not a lone src and the list's end.
    const std::string theirs = Le(u"\\??\\C:\\old.log\0\0"s);
    EXPECT_EQ(ParseRenamePairs(theirs), (std::vector<RenamePair>{{u"\\??\\C:\\old.log", u""}}));

    const std::string added = AddRenamePairs(theirs, {OURS_DELETE});
    EXPECT_EQ(added, Le(u"\\??\\C:\\old.log\0\0"s + OURS_DELETE.source + u"\0\0\0"s));
    EXPECT_TRUE(HasRenamePair(added, OURS_DELETE));
    EXPECT_EQ(RemoveRenamePairs(added, {OURS_DELETE}), theirs + Le(u"\0"s));
}
