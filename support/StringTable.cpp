#include "support/StringTable.h"

#include <windows.h>

void LoadProgramText(int stringId, char* buffer, int size)
{
    buffer[0] = '\0';
    // The module of the process: also before any window exists, and in the tests' programs,
    // which carry the same string table.
    if (LoadStringA(GetModuleHandleA(nullptr), (UINT)stringId, buffer, size) <= 0)
        buffer[0] = '\0';
}
