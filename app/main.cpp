#include "package/PackedTools.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CPackedTools reader;
    reader.LoadPackage();
    return reader.Status();
}
