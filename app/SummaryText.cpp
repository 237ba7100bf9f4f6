#include "app/SummaryText.h"

namespace {

const char SHORT_INDENT[] = "\r\n      ";
const char LONG_INDENT[] = "\r\n            ";
const char PARAGRAPH_END[] = "\r\n\r\n";

}  // namespace

std::string ComposeSummaryText(const SummaryTexts& texts, const SummaryChoices& choices)
{
    std::string summary;
    summary += texts.destination;
    summary += SHORT_INDENT;
    summary += choices.destinationFolder;
    summary += PARAGRAPH_END;

    summary += texts.startMenu;
    summary += SHORT_INDENT;
    summary += choices.startMenuFolder;
    summary += PARAGRAPH_END;

    const bool desktop = choices.desktopIcon != 0;
    const bool quickLaunch = choices.quickLaunchIcon != 0;
    const bool firewall = choices.firewallRules != 0;
    if (!desktop && !quickLaunch && !firewall)
        return summary;

    summary += texts.tasks;
    summary += SHORT_INDENT;
    if (firewall) {
        summary += texts.firewall;
        summary += LONG_INDENT;
        summary += texts.firewallRules;
        summary += SHORT_INDENT;
    }
    if (desktop || quickLaunch) {
        summary += texts.icons;
        summary += LONG_INDENT;
    }
    if (desktop) {
        summary += texts.desktopIcon;
        summary += LONG_INDENT;
    }
    if (quickLaunch)
        summary += texts.quickLaunchIcon;
    return summary;
}
