// A second process for the engine's tests, since some things only happen
// between processes or only in a process started after a prefix change:
//   hold PATH SHARE READY RELEASE   opens PATH for reading with the share
//                                   mode, sets event READY, waits for event
//                                   RELEASE (at most a minute);
//   capture LOG APPEND              starts the SetupAPI capture into LOG,
//                                   logs "LogLevel" as the run sees it,
//                                   appends the bytes "appended by the run"
//                                   to APPEND, then ends the capture.
#include "framework/Handles.h"
#include "process/SetupLogApi.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD HOLD_LIMIT_MS = 60000;

int Hold(const char* path, DWORD share, const char* ready, const char* release)
{
    fw::CKernelHandle releaseEvent(OpenEventA(SYNCHRONIZE, FALSE, release));
    fw::CFileHandle file(CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !releaseEvent)
        return 2;
    fw::CKernelHandle readyEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, ready));
    if (!readyEvent)
        return 3;
    SetEvent(readyEvent.get());
    WaitForSingleObject(releaseEvent.get(), HOLD_LIMIT_MS);
    return 0;
}

int Capture(const char* logPath, const char* appendPath)
{
    fw::CFileHandle log(CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log)
        return 2;
    {
        CSetupLogApi writer(log.get());
        if (!writer.StartCapture())
            return 3;
        DWORD level = 0;
        DWORD size = sizeof level;
        char text[32] = "none";
        if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Setup",
                         "LogLevel", RRF_RT_REG_DWORD, nullptr, &level, &size) == ERROR_SUCCESS)
            snprintf(text, sizeof text, "0x%lX", level);
        writer.WriteLine("LogLevel during the run: ", text);

        fw::CFileHandle append(CreateFileA(appendPath, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        const char bytes[] = "appended by the run";
        DWORD written = 0;
        if (!append || !WriteFile(append.get(), bytes, sizeof bytes - 1, &written, nullptr))
            return 4;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], static_cast<DWORD>(strtoul(argv[3], nullptr, 10)), argv[4], argv[5]);
    if (argc == 4 && strcmp(argv[1], "capture") == 0)
        return Capture(argv[2], argv[3]);
    return 1;
}
