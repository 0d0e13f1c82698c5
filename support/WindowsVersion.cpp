#include "support/WindowsVersion.h"

#include <string.h>

#include "support/SystemLibrary.h"

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

bool Is64BitWindows()
{
    typedef void(WINAPI * GetNativeSystemInfoFunction)(SYSTEM_INFO*);
    OSVERSIONINFOEXA version;
    if (!QueryWindowsVersion(&version))
        return false;
    // Only Windows XP x64 / Server 2003 and later exist in 64-bit form.
    if (version.dwMajorVersion < 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion < 2))
        return false;
    SYSTEM_INFO info;
    memset(&info, 0, sizeof(info));
    GetSystemInfo(&info);
    // A 32-bit program sees its own emulated processor; the native one is what counts.
    GetNativeSystemInfoFunction getNative =
        GetSystemFunction<GetNativeSystemInfoFunction>(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
    if (getNative)
        getNative(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ;
}

