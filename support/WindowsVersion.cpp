#include "support/WindowsVersion.h"

#include <string.h>

bool QueryWindowsVersion(OSVERSIONINFOEXA* info)
{
    memset(info, 0, sizeof(*info));
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info)))
        return true;
    // Windows 95 and NT 4 before SP6 know only the plain record.
    memset(info, 0, sizeof(*info));
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(info)) != FALSE;
}

bool HasGlobalNamespace()
{
    OSVERSIONINFOEXA info;
    return QueryWindowsVersion(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion >= 5;
}

bool IsWindowsNTPlatform()
{
    OSVERSIONINFOEXA info;
    return QueryWindowsVersion(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}
