// A library named like the Rich Edit library, planted beside a setup and in
// its current folder: if a setup ever loads it, it leaves a mark naming the
// folder it was loaded from.
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
