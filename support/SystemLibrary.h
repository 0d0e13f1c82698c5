#pragma once
// Optional system functions. Libraries other than the few that Windows always maps from its
// system folder are loaded by full path from that folder, never by bare name: the setup program
// runs elevated from folders it does not control, where a planted DLL would otherwise win.

#include <windows.h>

// Takes the program's folder and the current folder out of the search for libraries loaded by
// name, where the system allows it (SetDefaultDllDirectories: the system folder only), else at
// least the current folder (SetDllDirectoryA with an empty folder). Both are looked up at run
// time. True when the search is now limited to the system folder.
bool LimitLibrarySearch();

// True once LimitLibrarySearch has limited the search to the system folder.
bool IsLibrarySearchLimited();

// Loads name (a bare file name such as "psapi.dll") from the system folder; the library's own
// dependencies are searched there first too. Null when absent.
HMODULE LoadSystemLibrary(const char* name);

// The address of a function of a loaded library, or null.
template <typename Function>
Function GetSystemFunction(HMODULE module, const char* name)
{
    if (!module)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
