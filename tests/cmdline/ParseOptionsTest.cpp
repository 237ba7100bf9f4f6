// ParseOptions reads the process's real command line, as CreateProcess hands
// it over, quotes and separators included.
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

enum : long { LOG = 1, ADVLOG = 2, UNPACK = 4, SILENT = 8, IM = 16, NORESTART = 32, LICENSEACCEPT = 64 };

}  // namespace

TEST(ParseOptions, ReadsTheSwitchesOfTheProcessCommandLine)
{
    // A program path with a space, as setups are often started from.
    const std::string folder = MakeTempDir("Velloran Setup ");
    ASSERT_FALSE(folder.empty());
    const std::string probe = folder + "\\options probe.exe";
    ASSERT_TRUE(CopyFileA(BinPath("cmdline_probe.exe").c_str(), probe.c_str(), FALSE));
    const std::string program = "\"" + probe + "\"";

    EXPECT_EQ(RunProcess(program), 0);
    EXPECT_EQ(RunProcess(program + " -SILENT \"-licenseaccept\" -Im"), SILENT | LICENSEACCEPT | IM);
    EXPECT_EQ(RunProcess(program + "\t-log\r\n-advlog   -unpack -norestart"), LOG | ADVLOG | UNPACK | NORESTART);
    EXPECT_EQ(RunProcess(program + " /silent -silent=1 -silent-log \"-silent -log\" -si lent"), 0);
    // A quote inside a word only groups; one never closed runs to the end.
    EXPECT_EQ(RunProcess(program + " -no\"rest\"art -si\"lent"), NORESTART | SILENT);
    RemoveTree(folder);
}
