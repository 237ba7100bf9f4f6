// The command line the uninstaller hands its copy: read back with the
// setup's own splitter, it gives the original's path whole and exactly the
// switches the user gave.
#include "uninstaller/UninstallCommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SetupOptions SwitchesOf(const std::string& line)
{
    std::vector<char*> block(SplitBlockSize(line.size()) / sizeof(char*) + 1);
    char** words = nullptr;
    const int count = SplitCommandLine(line.data(), line.size(), block.data(), block.size() * sizeof(char*), &words);
    SetupOptions options;
    RecognizeSwitches(words, count, &options);
    return options;
}

}  // namespace

TEST(UninstallCommandLine, TheCopyFindsTheOriginalAndTheSwitchesGiven)
{
    const std::string copy = "C:\\ProgramData\\Velloran Client Uninstall 0a1b2c3d\\uninstall.exe";
    for (const std::string& original : {std::string("C:\\Program Files\\Velloran Client\\uninstall.exe"),
                                       std::string("D:\\x\\-silent\\uninstall.exe"), std::string("C:\\a b\\")}) {
        for (int mask = 0; mask < 8; ++mask) {
            SetupOptions given;
            given.silent = mask & 1;
            given.showMessages = (mask >> 1) & 1;
            given.noRestart = (mask >> 2) & 1;
            const std::string line = CopyCommandLine(copy, given, original);
            std::string found;
            EXPECT_TRUE(FindOriginal(line.c_str(), &found)) << line;
            EXPECT_EQ(found, original) << line;
            // The original's path is one word: a switch inside it is no switch.
            const SetupOptions read = SwitchesOf(line);
            EXPECT_EQ(read.silent, given.silent) << line;
            EXPECT_EQ(read.showMessages, given.showMessages) << line;
            EXPECT_EQ(read.noRestart, given.noRestart) << line;
            EXPECT_EQ(read.unpackOnly + read.logBesideSetup + read.advancedLog + read.acceptLicense, 0) << line;
        }
    }
}

TEST(UninstallCommandLine, OnlyAMarkerAfterTheProgramMakesACopy)
{
    std::string found = "stale";
    EXPECT_FALSE(FindOriginal("\"C:\\Program Files\\Velloran\\uninstall.exe\" -silent", &found));
    EXPECT_EQ(found, "");
    // The program's own name is never the marker.
    EXPECT_FALSE(FindOriginal("-original C:\\x.exe", &found));
    EXPECT_FALSE(FindOriginal("", &found));
    EXPECT_FALSE(FindOriginal(nullptr, &found));
    // A marker with nothing after it still marks a copy, which then has no original.
    EXPECT_TRUE(FindOriginal("uninstall.exe -silent -original", &found));
    EXPECT_EQ(found, "");
    EXPECT_TRUE(FindOriginal("uninstall.exe -original \"\" -im", &found));
    EXPECT_EQ(found, "");
    // Not a switch of the setup's kind: the case must match.
    EXPECT_FALSE(FindOriginal("uninstall.exe -ORIGINAL C:\\x.exe", &found));
}
