#include "support/SystemLibrary.h"

#include "support/Text.h"

namespace {

// Not in the headers of older systems.
enum : DWORD { kSearchSystemFolderOnly = 0x00000800 };  // LOAD_LIBRARY_SEARCH_SYSTEM32

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryAFunction)(const char* folder);

bool g_searchLimited = false;

}  // namespace

bool LimitLibrarySearch()
{
    // kernel32 is mapped into every process: its handle needs no search.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefault =
        GetSystemFunction<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
    if (setDefault && setDefault(kSearchSystemFolderOnly)) {
        g_searchLimited = true;
        return true;
    }
    SetDllDirectoryAFunction setFolder = GetSystemFunction<SetDllDirectoryAFunction>(kernel, "SetDllDirectoryA");
    if (setFolder)
        (void)setFolder("");
    return g_searchLimited;
}

bool IsLibrarySearchLimited()
{
    return g_searchLimited;
}

HMODULE LoadSystemLibrary(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return nullptr;
    if (!AppendText(path, sizeof(path), "\\") || !AppendText(path, sizeof(path), name))
        return nullptr;
    // With the altered search, the library's dependencies are looked for beside it (the system
    // folder) before anywhere else, never in the program's folder.
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
