// Stands in for the browser and the text editor while the wizard tests run:
// registered as the handler of https addresses and of .log files, it appends
// the show command it was started with and its command line to
// C:\velloran-shell-opened.txt, one line per start, and exits.
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : -1;
    FILE* record = std::fopen("C:\\velloran-shell-opened.txt", "ab");
    if (record == nullptr)
        return 1;
    std::fprintf(record, "%d|%s\r\n", show, GetCommandLineA());
    std::fclose(record);
    return 0;
}
