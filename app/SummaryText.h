// The ready page's summary of the user's choices: the two folders, then the
// additional tasks. Portable, so that its exact bytes (CR LF line ends, the
// indents, the indents left at the end) are tested natively for every
// combination of the tasks and for both builds' texts.
#pragma once

#include <cstdint>
#include <string>

// The string-table texts the summary is made of.
struct SummaryTexts {
    std::string destination;      // "Destination location:"
    std::string startMenu;        // "Start Menu folder:"
    std::string tasks;            // "Additional Task:" (client: "Additional Tasks:")
    std::string firewall;         // "Additional Firewall setup:"
    std::string firewallRules;    // "Create Windows Firewall rules"
    std::string icons;            // "Additionals Icons:"
    std::string desktopIcon;      // "Create a desktop icon"
    std::string quickLaunchIcon;  // "Create a Quick Launch icon"
};

// The choices the summary names; a flag counts as set when it is not 0.
struct SummaryChoices {
    std::string destinationFolder;
    std::string startMenuFolder;
    int32_t desktopIcon = 0;
    int32_t quickLaunchIcon = 0;
    int32_t firewallRules = 0;
};

// The summary text. Headings are followed by a short indent (CR LF and 6
// spaces) and their values, each paragraph ends with an empty line; the
// tasks part lists the firewall rules and the icons under long indents (CR
// LF and 12 spaces). The indent that follows the last task stays at the end.
std::string ComposeSummaryText(const SummaryTexts& texts, const SummaryChoices& choices);
