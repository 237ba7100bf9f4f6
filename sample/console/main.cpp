// The product's console tool. It has one real command, "status", which asks
// the running service for its version the way a setup does.
#include "framework/SystemLibrary.h"
#include "sample/common/SampleIdentity.h"
#include "sample/common/VersionClient.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD PIPE_WAIT_MS = 2000;

void PrintUsage()
{
    std::printf("%s: %s %s console tool.\n"
                "Usage: %s [-help | status | version]\n"
                "  status   ask the %s whether it runs and which version it is\n"
                "  version  the version of this tool\n",
                SAMPLE_CONSOLE_TOOL, SAMPLE_PRODUCT_NAME, SAMPLE_VERSION_STRING, SAMPLE_CONSOLE_TOOL,
                SAMPLE_SERVICE_DISPLAY_NAME);
}

int PrintStatus()
{
    CVersionClient client(SAMPLE_PRESENCE_EVENT, SAMPLE_PIPE_NAME);
    switch (client.Query(PIPE_WAIT_MS)) {
    case CVersionClient::Result::Answered:
        std::printf("%s is running, version %s (0x%X)\n", SAMPLE_SERVICE_DISPLAY_NAME, client.Text().c_str(),
                    static_cast<unsigned>(client.Version()));
        return 0;
    case CVersionClient::Result::NoAnswer:
        std::printf("%s is running but does not answer\n", SAMPLE_SERVICE_DISPLAY_NAME);
        return 1;
    case CVersionClient::Result::NotRunning:
    default:
        std::printf("%s is not running\n", SAMPLE_SERVICE_DISPLAY_NAME);
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    fw::RestrictLibrarySearch();
    try {
        if (argc < 2 || _stricmp(argv[1], "-help") == 0) {
            PrintUsage();
            return 0;
        }
        if (_stricmp(argv[1], "status") == 0)
            return PrintStatus();
        if (_stricmp(argv[1], "version") == 0) {
            std::printf("%s %s\n", SAMPLE_CONSOLE_TOOL, SAMPLE_VERSION_STRING);
            return 0;
        }
        std::printf("Unknown command: %s\n", argv[1]);
        PrintUsage();
        return 2;
    } catch (...) {
        return 1;
    }
}
