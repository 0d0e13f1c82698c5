#pragma once
// Optional system functions. Libraries other than the few that Windows always maps from its
// system folder are loaded by full path from that folder, never by bare name: the setup program
// runs elevated from folders it does not control, where a planted DLL would otherwise win.

#include <windows.h>

// Loads name (a bare file name such as "psapi.dll") from the system folder; null when absent.
HMODULE LoadSystemLibrary(const char* name);

// The address of a function of a loaded library, or null.
template <typename Function>
Function GetSystemFunction(HMODULE module, const char* name)
{
    if (!module)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
