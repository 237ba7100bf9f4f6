// The setup's own command-line splitter and switch recognition.
#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

// A block of exactly the size the splitter asks for, so AddressSanitizer
// reports the first byte written beyond it.
class ExactBlock {
public:
    explicit ExactBlock(size_t length) : m_size(SplitBlockSize(length)), m_bytes(::operator new(m_size)) {}
    ~ExactBlock() { ::operator delete(m_bytes); }
    ExactBlock(const ExactBlock&) = delete;
    ExactBlock& operator=(const ExactBlock&) = delete;
    void* get() const { return m_bytes; }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    void* m_bytes;
};

std::vector<std::string> Split(const std::string& text)
{
    ExactBlock block(text.size());
    char** words = nullptr;
    const int count = SplitCommandLine(text.data(), text.size(), block.get(), block.size(), &words);
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i)
        result.emplace_back(words[i]);
    EXPECT_EQ(words[count], nullptr) << "list not ended for [" << text << "]";
    return result;
}

SetupOptions Parse(const std::string& text)
{
    ExactBlock block(text.size());
    char** words = nullptr;
    const int count = SplitCommandLine(text.data(), text.size(), block.get(), block.size(), &words);
    SetupOptions options;
    RecognizeSwitches(words, count, &options);
    return options;
}

std::vector<int32_t> Flags(const SetupOptions& o)
{
    return {o.logBesideSetup, o.advancedLog, o.unpackOnly, o.silent, o.showMessages, o.noRestart, o.acceptLicense};
}

using Words = std::vector<std::string>;

}  // namespace

TEST(CommandLineSplit, SeparatorsAndRunsOfThem)
{
    EXPECT_EQ(Split("setup.exe -log  -silent"), (Words{"setup.exe", "-log", "-silent"}));
    EXPECT_EQ(Split("a\tb\rc\nd"), (Words{"a", "b", "c", "d"}));
    // Vertical tab and form feed are ordinary bytes.
    EXPECT_EQ(Split("a\vb\fc"), (Words{"a\vb\fc"}));
    EXPECT_EQ(Split(" \t\r\n  a  \t "), (Words{"a"}));
    EXPECT_EQ(Split(""), Words{});
    EXPECT_EQ(Split(" \t \r\n "), Words{});
}

TEST(CommandLineSplit, QuotesGroupAndAreDropped)
{
    EXPECT_EQ(Split("a\"b c\"d"), (Words{"ab cd"}));
    EXPECT_EQ(Split("\"C:\\Program Files\\setup.exe\" -silent"), (Words{"C:\\Program Files\\setup.exe", "-silent"}));
    EXPECT_EQ(Split("x \"\" y"), (Words{"x", "", "y"}));
    EXPECT_EQ(Split("\"\""), (Words{""}));
    EXPECT_EQ(Split("\"\"\"\""), (Words{""}));
    EXPECT_EQ(Split("a \"b  c"), (Words{"a", "b  c"}));   // never closed: runs to the end
    EXPECT_EQ(Split("a\\\"b c\""), (Words{"a\\b c"}));    // a backslash escapes nothing
    EXPECT_EQ(Split("\"tab\there\" end"), (Words{"tab\there", "end"}));
}

TEST(CommandLineSplit, EveryOtherByteBelongsToTheWord)
{
    const std::string text("\x01\x7f\x80\xff" "a\0b", 7);
    const std::vector<std::string> words = Split(text);
    ASSERT_EQ(words.size(), 1u);
    // The splitter copies a NUL like any byte; the word then ends there for
    // whoever reads it as text.
    EXPECT_EQ(words[0], "\x01\x7f\x80\xff" "a");
}

TEST(CommandLineSplit, ABlockBelowTheBoundIsLeftAlone)
{
    const std::string text = "setup.exe -silent";
    std::vector<char*> storage(SplitBlockSize(text.size()) / sizeof(char*) + 1);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(storage.data());
    std::memset(bytes, 0xA5, storage.size() * sizeof(char*));
    char** words = nullptr;
    EXPECT_EQ(SplitCommandLine(text.data(), text.size(), storage.data(), SplitBlockSize(text.size()) - 1, &words), 0);
    for (size_t i = 0; i < storage.size() * sizeof(char*); ++i)
        ASSERT_EQ(bytes[i], 0xA5) << "byte " << i;
    EXPECT_EQ(SplitBlockSize(size_t(1) << 31), 0u);
}

TEST(CommandLineRecognize, SwitchesInAnyAsciiCaseSetTheirOwnFlag)
{
    EXPECT_EQ(Flags(Parse("setup.exe -log")), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -ADVLOG")), (std::vector<int32_t>{0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -UnPack")), (std::vector<int32_t>{0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -Silent")), (std::vector<int32_t>{0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -iM")), (std::vector<int32_t>{0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -NORESTART")), (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(Flags(Parse("setup.exe -LicenseAccept")), (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Flags(Parse("setup.exe -im -silent -im -norestart -log -unpack -advlog -licenseaccept -log")),
              (std::vector<int32_t>{1, 1, 1, 1, 1, 1, 1}));
}

TEST(CommandLineRecognize, WordsThatAreNotExactlyASwitchSetNothing)
{
    const std::vector<int32_t> none(7, 0);
    EXPECT_EQ(Flags(Parse("")), none);
    EXPECT_EQ(Flags(Parse("\"C:\\Program Files\\Velloran -silent\\setup.exe\"")), none);
    EXPECT_EQ(Flags(Parse("setup.exe -silent-log /silent -silent=1 --silent silent -sílent -lo g")), none);
    EXPECT_EQ(Flags(Parse("setup.exe -silent\v -\fim")), none);
    // A quoted switch is still the switch: the quotes are gone after splitting.
    EXPECT_EQ(Flags(Parse("setup.exe \"-silent\" -lic\"ense\"accept")), (std::vector<int32_t>{0, 0, 0, 1, 0, 0, 1}));
    // The program's own word is visited too.
    EXPECT_EQ(Flags(Parse("-unpack")), (std::vector<int32_t>{0, 0, 1, 0, 0, 0, 0}));
}

TEST(CommandLineRecognize, StopsAtTheCountOrANullEntry)
{
    char w0[] = "setup.exe";
    char w1[] = "-log";
    char w2[] = "-silent";
    char* words[] = {w0, w1, w2, nullptr};
    SetupOptions options;
    RecognizeSwitches(words, 2, &options);
    EXPECT_EQ(Flags(options), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0}));
    char* early[] = {w0, nullptr, w2};
    SetupOptions none;
    RecognizeSwitches(early, 3, &none);
    EXPECT_EQ(Flags(none), std::vector<int32_t>(7, 0));
}
