// Reports the switches of its own command line as its exit code: bit 0
// logBesideSetup, 1 advancedLog, 2 unpackOnly, 3 silent, 4 showMessages,
// 5 noRestart, 6 acceptLicense.
#include "app/CommandLine.h"

int main()
{
    const SetupOptions options = ParseOptions();
    return options.logBesideSetup | options.advancedLog << 1 | options.unpackOnly << 2 | options.silent << 3 |
           options.showMessages << 4 | options.noRestart << 5 | options.acceptLicense << 6;
}
