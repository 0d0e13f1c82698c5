#pragma once
// Idempotent release helpers: each takes the variable, releases it when it holds something and
// resets it to its "nothing" value, so one exit label can release everything unconditionally.
// CreateFileA and FindFirstFileA fail with INVALID_HANDLE_VALUE, most other calls with null.

#include <windows.h>

inline void CloseHandleIfOpen(HANDLE& handle)
{
    if (handle) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

inline void CloseFile(HANDLE& file)
{
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
}

inline void CloseFind(HANDLE& find)
{
    if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        find = INVALID_HANDLE_VALUE;
    }
}

inline void CloseKey(HKEY& key)
{
    if (key) {
        RegCloseKey(key);
        key = nullptr;
    }
}

inline void FreeLibraryIfLoaded(HMODULE& module)
{
    if (module) {
        FreeLibrary(module);
        module = nullptr;
    }
}

inline void CloseService(SC_HANDLE& service)
{
    if (service) {
        CloseServiceHandle(service);
        service = nullptr;
    }
}
