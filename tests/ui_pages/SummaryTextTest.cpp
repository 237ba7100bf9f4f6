// The ready page's summary, byte for byte, for every combination of the three
// tasks in both builds' wording, and the product-named messages of the
// welcome page.
#include "app/MessageText.h"
#include "app/SummaryText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

SummaryTexts TextsOf(const std::string& tasksHeading)
{
    SummaryTexts texts;
    texts.destination = "Destination location:";
    texts.startMenu = "Start Menu folder:";
    texts.tasks = tasksHeading;
    texts.firewall = "Additional Firewall setup:";
    texts.firewallRules = "Create Windows Firewall rules";
    texts.icons = "Additionals Icons:";
    texts.desktopIcon = "Create a desktop icon";
    texts.quickLaunchIcon = "Create a Quick Launch icon";
    return texts;
}

const char FOLDERS[] =
    "Destination location:\r\n      C:\\Program Files\\Velloran\r\n\r\n"
    "Start Menu folder:\r\n      Velloran\r\n\r\n";

struct Combination {
    int desktop, quickLaunch, firewall;
    const char* tasks;  // what follows the folders; "@" stands for the build's heading
};

// Written out by hand: the indents (6 and 12 spaces) and where they are left
// at the end are what the page shows.
const Combination COMBINATIONS[] = {
    {0, 0, 0, ""},
    {0, 0, 1, "@\r\n      Additional Firewall setup:\r\n            Create Windows Firewall rules\r\n      "},
    {1, 0, 0, "@\r\n      Additionals Icons:\r\n            Create a desktop icon\r\n            "},
    {0, 1, 0, "@\r\n      Additionals Icons:\r\n            Create a Quick Launch icon"},
    {1, 1, 0,
     "@\r\n      Additionals Icons:\r\n            Create a desktop icon\r\n            Create a Quick Launch icon"},
    {1, 0, 1,
     "@\r\n      Additional Firewall setup:\r\n            Create Windows Firewall rules\r\n      "
     "Additionals Icons:\r\n            Create a desktop icon\r\n            "},
    {0, 1, 1,
     "@\r\n      Additional Firewall setup:\r\n            Create Windows Firewall rules\r\n      "
     "Additionals Icons:\r\n            Create a Quick Launch icon"},
    {1, 1, 1,
     "@\r\n      Additional Firewall setup:\r\n            Create Windows Firewall rules\r\n      "
     "Additionals Icons:\r\n            Create a desktop icon\r\n            Create a Quick Launch icon"},
};

std::string WithHeading(const char* tasks, const std::string& heading)
{
    std::string text = tasks;
    const size_t at = text.find('@');
    if (at != std::string::npos)
        text.replace(at, 1, heading);
    return text;
}

}  // namespace

TEST(SummaryText, EveryCombinationOfTasksInBothBuilds)
{
    for (const std::string heading : {"Additional Task:", "Additional Tasks:"}) {
        for (const Combination& c : COMBINATIONS) {
            SCOPED_TRACE(heading + " desktop " + std::to_string(c.desktop) + " quick launch " +
                         std::to_string(c.quickLaunch) + " firewall " + std::to_string(c.firewall));
            SummaryChoices choices;
            choices.destinationFolder = "C:\\Program Files\\Velloran";
            choices.startMenuFolder = "Velloran";
            choices.desktopIcon = c.desktop;
            choices.quickLaunchIcon = c.quickLaunch;
            choices.firewallRules = c.firewall;
            EXPECT_EQ(ComposeSummaryText(TextsOf(heading), choices), FOLDERS + WithHeading(c.tasks, heading));
        }
    }
}

TEST(SummaryText, FoldersAreShownAsTypedAndAnyNonZeroFlagCounts)
{
    SummaryChoices choices;
    choices.destinationFolder = "";
    choices.startMenuFolder = " Tools\\Velloran %s ";
    choices.desktopIcon = 2;  // an indeterminate check box
    EXPECT_EQ(ComposeSummaryText(TextsOf("Additional Task:"), choices),
              "Destination location:\r\n      \r\n\r\n"
              "Start Menu folder:\r\n       Tools\\Velloran %s \r\n\r\n"
              "Additional Task:\r\n      Additionals Icons:\r\n            Create a desktop icon\r\n            ");
}

TEST(ProductMessage, FillsTheProductNameAndKeepsEveryOtherDirectivePlain)
{
    EXPECT_EQ(FormatProductMessage("Installation package is damaged! Please download the latest version of %s "
                                   "from our web site and try again!",
                                   "Velloran Client"),
              "Installation package is damaged! Please download the latest version of Velloran Client from our "
              "web site and try again!");
    // A version text sent by a running product, escaped by the check, comes
    // out as sent; unescaped directives cannot reach a printf.
    EXPECT_EQ(FormatProductMessage("version 6.1 you need to uninstall 7.0 %%s%%n%%x first.\n", "Velloran"),
              "version 6.1 you need to uninstall 7.0 %s%n%x first.\n");
    EXPECT_EQ(FormatProductMessage("7.0 %n%x%d%.8x %", "Velloran"), "7.0 %n%x%d%.8x %");
    EXPECT_EQ(FormatProductMessage("%s%s", "V"), "VV");
    EXPECT_EQ(FormatProductMessage("", "V"), "");
}
