// The splitter never writes outside the block it is given, whatever the bytes:
// random texts rich in quotes and separators, in blocks allocated exactly at
// the bound (AddressSanitizer watches the end) and between guard bytes.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t GUARD = 64;  // keeps the block's alignment
constexpr unsigned char GUARD_BYTE = 0xA5;

// What the words must be, worked out as quoted and unquoted runs.
std::vector<std::string> ExpectedWords(const std::string& text)
{
    std::vector<std::string> words;
    size_t i = 0;
    const auto separator = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < text.size()) {
        while (i < text.size() && separator(text[i]))
            ++i;
        if (i == text.size())
            break;
        std::string word;
        while (i < text.size() && !separator(text[i])) {
            if (text[i] == '"') {
                const size_t close = text.find('"', i + 1);
                const size_t end = close == std::string::npos ? text.size() : close;
                word.append(text, i + 1, end - i - 1);
                i = close == std::string::npos ? text.size() : close + 1;
            } else {
                word += text[i++];
            }
        }
        words.push_back(word);
    }
    return words;
}

// Splits in an exact block and in a guarded one; checks the layout and that
// the guard bytes are untouched.
void CheckSplit(const std::string& text)
{
    const size_t size = SplitBlockSize(text.size());
    ASSERT_GT(size, 0u);
    const std::vector<std::string> expected = ExpectedWords(text);

    void* exact = ::operator new(size);
    char** words = nullptr;
    const int exactCount = SplitCommandLine(text.data(), text.size(), exact, size, &words);
    ::operator delete(exact);
    ASSERT_EQ(exactCount, static_cast<int>(expected.size()));

    std::vector<unsigned char> guarded(GUARD + size + GUARD, GUARD_BYTE);
    unsigned char* block = guarded.data() + GUARD;
    const int count = SplitCommandLine(text.data(), text.size(), block, size, &words);
    ASSERT_EQ(count, static_cast<int>(expected.size()));
    for (size_t i = 0; i < GUARD; ++i) {
        ASSERT_EQ(guarded[i], GUARD_BYTE) << "written before the block";
        ASSERT_EQ(guarded[GUARD + size + i], GUARD_BYTE) << "written after the block, length " << text.size();
    }
    ASSERT_EQ(reinterpret_cast<unsigned char*>(words), block);
    ASSERT_EQ(words[count], nullptr);
    const char* textArea = reinterpret_cast<const char*>(block) + ((text.size() + 2) / 2 + 1) * sizeof(char*);
    const char* end = reinterpret_cast<const char*>(block) + size;
    const char* previousEnd = textArea;
    for (int i = 0; i < count; ++i) {
        ASSERT_GE(words[i], previousEnd) << "word " << i << " overlaps the one before";
        ASSERT_LT(words[i], end);
        const std::string& want = expected[static_cast<size_t>(i)];
        ASSERT_LE(want.size() + 1, static_cast<size_t>(end - words[i]));
        ASSERT_EQ(std::string(words[i], want.size()), want) << "word " << i;
        ASSERT_EQ(words[i][want.size()], '\0');
        previousEnd = words[i] + want.size() + 1;
    }
}

std::string RandomText(std::mt19937& random, size_t length)
{
    // Mostly the bytes that steer the splitter, then anything at all.
    static const char steering[] = {'"', '"', '"', ' ', ' ', '\t', '\r', '\n', 'a', '-', '\\', '\v'};
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_int_distribution<int> steer(0, sizeof steering - 1);
    std::uniform_int_distribution<int> anyByte(0, 255);
    std::string text(length, '\0');
    for (char& c : text)
        c = pick(random) < 80 ? steering[steer(random)] : static_cast<char>(anyByte(random));
    return text;
}

}  // namespace

TEST(CommandLineSplitBound, WorstCasesFillTheBlockExactly)
{
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 63u, 64u, 4095u, 32767u}) {
        SCOPED_TRACE(n);
        std::string manyWords;
        for (size_t i = 0; i < n; ++i)
            manyWords += (i % 2 == 0) ? 'a' : ' ';
        CheckSplit(manyWords);
        std::string emptyWords;
        for (size_t i = 0; i < n; ++i)
            emptyWords += (i % 3 == 2) ? ' ' : '"';
        CheckSplit(emptyWords);
        CheckSplit(std::string(n, '"'));
        CheckSplit(std::string(n, ' '));
        CheckSplit(std::string(n, 'x'));
    }
}

TEST(CommandLineSplitBound, RandomBytesNeverLeaveTheBlock)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> shortLength(0, 96);
    std::uniform_int_distribution<size_t> longLength(97, 2048);
    for (int round = 0; round < 20000; ++round) {
        const size_t length = round % 10 == 0 ? longLength(random) : shortLength(random);
        const std::string text = RandomText(random, length);
        CheckSplit(text);
        if (HasFatalFailure()) {
            std::string shown;
            for (unsigned char c : text)
                shown += (c >= 0x20 && c < 0x7f) ? std::string(1, static_cast<char>(c)) : "\\x" + std::to_string(c);
            FAIL() << "round " << round << ": [" << shown << "]";
        }
    }
}
