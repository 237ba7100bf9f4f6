// A library planted where a program must not look for it: beside a setup and
// in its current folder, under the name of a library the setup or a system
// library loads (tests copy this one file under every such name). If a
// program ever loads it, it leaves a mark naming the file it was loaded from.
#include <windows.h>

#include <cstdio>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(module, path, MAX_PATH);
        FILE* mark = std::fopen("C:\\velloran-planted-loaded.txt", "ab");
        if (mark != nullptr) {
            std::fprintf(mark, "%s\r\n", path);
            std::fclose(mark);
        }
    }
    return TRUE;
}
