#include "support/SystemLibrary.h"

#include "support/Text.h"

HMODULE LoadSystemLibrary(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return nullptr;
    if (!AppendText(path, sizeof(path), "\\") || !AppendText(path, sizeof(path), name))
        return nullptr;
    return LoadLibraryA(path);
}
