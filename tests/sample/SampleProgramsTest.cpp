// The stand-in product's other programs and texts, as a user or a script
// meets them without a display: what they print and how they exit.
#include "tests/support/SampleSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

std::string Quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(SamplePrograms, ConsoleToolStatusFollowsTheService)
{
    const std::string tool = Quoted(SamplePath("server", "velloransh.exe"));
    std::string output;
    EXPECT_EQ(RunCaptured(tool + " status", &output, 20000), 1);
    EXPECT_EQ(output, "Velloran Service is not running\r\n");

    CConsoleProduct product;
    ASSERT_TRUE(product.Start(SamplePath("server", "velloransrv.exe"), SAMPLE_SERVER_EVENT));
    EXPECT_EQ(RunCaptured(tool + " status", &output, 20000), 0);
    EXPECT_EQ(output, "Velloran Service is running, version 6.1 (0x61000)\r\n");

    EXPECT_EQ(RunCaptured(tool + " restart", &output, 20000), 2);
    EXPECT_TRUE(Contains(output, "Unknown command: restart\r\n")) << output;
}

TEST(SamplePrograms, UserProgramHelpEndsWithoutADisplay)
{
    std::string output;
    EXPECT_EQ(RunCaptured(Quoted(SamplePath("client", "velloranlt.exe")) + " -HELP", &output, 20000), 0);
    EXPECT_EQ(output.rfind("Usage: velloranlt.exe [-help]\n", 0), 0u) << output;
    EXPECT_TRUE(Contains(output, "whether the Velloran Client Service is running")) << output;

    EXPECT_EQ(RunCaptured(Quoted(SamplePath("client", "velloranlt.exe")) + " -silent", &output, 20000), 2);
    EXPECT_EQ(output.rfind("Unknown switch: -silent\n", 0), 0u) << output;
}

TEST(SamplePayload, TextsNameTheirProductAndUseWindowsLineEnds)
{
    struct Text {
        const char* build;
        const char* name;
        const char* firstLine;
    };
    const Text texts[] = {
        {"server", "license.txt", "Velloran 6.1 - Licence Agreement\r\n"},
        {"server", "readme.txt", "Velloran 6.1 - Read Me\r\n"},
        {"client", "license.txt", "Velloran Client 6.2.2 - Licence Agreement\r\n"},
        {"client", "readme.txt", "Velloran Client 6.2.2 - Read Me\r\n"},
        {"server", "nexbus.inf", "; nexbus.inf - Velloran virtual USB bus"},
        {"client", "nexbuslt.inf", "; nexbuslt.inf - Velloran Client virtual USB bus"},
        {"client", "license.rtf", "{\\rtf1\\ansi"},
    };
    for (const Text& text : texts) {
        const std::string bytes = ReadFileBytes(SamplePath(text.build, text.name));
        EXPECT_EQ(bytes.rfind(text.firstLine, 0), 0u) << text.build << "/" << text.name;
        size_t lineFeeds = 0;
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\n') {
                ++lineFeeds;
                EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r') << text.build << "/" << text.name << " offset " << i;
            }
        }
        EXPECT_GT(lineFeeds, 1u) << text.build << "/" << text.name;
    }
}
